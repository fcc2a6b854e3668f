// WQL through the posix WMI client: the parser on arbitrary text and on
// statements spelt from a known query, and the query run against a table whose
// rows a reference evaluation predicts.
//
// Arbitrary text (UTF-8, or UTF-16 units as they come):
//   - WqlParse answers S_OK or WBEM_E_INVALID_QUERY, and ExecQuery agrees with it;
//   - a parsed query spelt out again in full (every condition in parentheses,
//     strings escaped) parses to the same query: the round trip;
//   - the enumerator's Next answers only what WMI documents for a query (a row,
//     WBEM_S_FALSE at the end, WBEM_E_INVALID_CLASS, WBEM_E_INVALID_QUERY).
// A query built from the input, spelt with keywords and names in any case, blanks
// of every kind, parentheses only where the grouping needs them (and some that it
// does not), literals on either side, "!=" or "<>", "= NULL" for IS NULL, either
// quote: it parses back to the query it was spelt from.
// Whenever the query names the table Fuzz_Table, the rows that come back are
// those a reference evaluation of the condition keeps, a query naming a property
// the table lacks fails with WBEM_E_INVALID_QUERY, and another class with
// WBEM_E_INVALID_CLASS. Nothing is left behind: no COM object, BSTR, safe array or
// heap block. Time stays bounded (the fuzzer's -timeout catches a runaway).
//
// The reference follows the comparison rules of the WMI client: text compares
// with a string without regard to case (ASCII and Latin-1 letters); numbers with
// a number or a string that holds one (decimal, optionally signed, with an
// optional fraction and exponent, nothing else); booleans with TRUE, FALSE, an
// integer or the string 'TRUE' or 'FALSE'; anything else, and a property without
// a value, makes a comparison false. LIKE applies to what WMI hands out as text
// (strings, and 64-bit numbers in decimal): "%" any run, "_" one
// character, "[set]" one of a set ("[^set]" none of it, "a-f" a range), an
// unclosed "[" itself.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "platform/posix/shared/seams.h"
#include "platform/posix/shared/utf.h"
#include "platform/posix/wbem/wbem_internal.h"
#include "platform/posix/wbem/wql_parser.h"
#include "platform/win32.h"
#include "tests/fuzz/fuzz_input.h"

namespace {

// ---- the table --------------------------------------------------------------

constexpr const char16_t* kTable = u"Fuzz_Table";

struct Column {
    const char16_t* name;
    CIMTYPE type;
};
const Column kColumns[] = {{u"Id", CIM_UINT32},    {u"Name", CIM_STRING},  {u"Count", CIM_UINT32},
                           {u"Level", CIM_SINT32}, {u"Flag", CIM_BOOLEAN}, {u"Size", CIM_UINT64},
                           {u"Ratio", CIM_REAL64}};
constexpr size_t kColumnCount = sizeof(kColumns) / sizeof(kColumns[0]);

std::vector<std::vector<WbemValue>> TableRows() {
    const double nan = std::nan("");
    auto row = [](int id, WbemValue name, WbemValue count, WbemValue level, WbemValue flag,
                  WbemValue size, WbemValue ratio) {
        return std::vector<WbemValue>{WbemValue::I4(id), name, count, level, flag, size, ratio};
    };
    return {
        row(1, WbemValue::Text(u"Alpha"), WbemValue::I4(7), WbemValue::I4(-3),
            WbemValue::Bool(true), WbemValue::Text(u"18446744073709551615"), WbemValue::R8(0.5)),
        // A uint32 of 4294967295 travels as the VT_I4 -1.
        row(2, WbemValue::Text(u"beta"), WbemValue::I4(-1), WbemValue::I4(0),
            WbemValue::Bool(false), WbemValue::Text(u"900"), WbemValue::R8(2.0)),
        row(3, WbemValue::Text(u"\u00e9cole"), WbemValue::I4(0), WbemValue::I4(2147483647),
            WbemValue::Bool(true), WbemValue::Text(u"0"), WbemValue::R8(-1.5)),
        row(4, WbemValue::Text(u"a_b%c[d]"), WbemValue::I4(100), WbemValue::I4(-2147483647 - 1),
            WbemValue::Bool(false), WbemValue::Text(u"12345678901234"), WbemValue::R8(1e300)),
        row(5, WbemValue::Null(), WbemValue::Null(), WbemValue::Null(), WbemValue::Null(),
            WbemValue::Null(), WbemValue::Null()),
        row(6, WbemValue::Text(u""), WbemValue::I4(1), WbemValue::I4(1), WbemValue::Bool(true),
            WbemValue::NullText(), WbemValue::R8(nan)),
    };
}

// ---- the reference evaluation -----------------------------------------------

char16_t Fold(char16_t c) {
    if (c >= u'a' && c <= u'z') {
        return static_cast<char16_t>(c - u'a' + u'A');
    }
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) {
        return static_cast<char16_t>(c - 0x20);
    }
    return c;
}
std::u16string Folded(std::u16string text) {
    for (char16_t& c : text) {
        c = Fold(c);
    }
    return text;
}
bool SameName(const std::u16string& a, const std::u16string& b) {
    return Folded(a) == Folded(b);
}

enum class Order { Less, Equal, Greater, Unordered };

template <typename T>
Order OrderOf(T a, T b) {
    return a < b ? Order::Less : (a == b ? Order::Equal : Order::Greater);
}

// A number: an integer (every 64-bit value, signed or unsigned) or a real.
struct Number {
    bool real = false;
    __int128 integer = 0;
    double value = 0;
};

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Text that is a decimal number and nothing else: [+-] digits, or with a
// fraction (digits on at least one side of the point) and/or an exponent.
bool NumberOfText(const std::u16string& wide, Number* number) {
    std::string text;
    for (const char16_t c : wide) {
        if (c > 0x7F) {
            return false;
        }
        text += static_cast<char>(c);
    }
    size_t at = text.empty() || (text[0] != '+' && text[0] != '-') ? 0 : 1;
    const size_t digitsAt = at;
    while (at < text.size() && IsDigit(text[at])) {
        ++at;
    }
    const size_t integerDigits = at - digitsAt;
    if (at == text.size()) {
        if (integerDigits == 0) {
            return false;
        }
        unsigned __int128 magnitude = 0;
        for (size_t i = digitsAt; i < text.size(); ++i) {
            magnitude = magnitude * 10 + static_cast<unsigned>(text[i] - '0');
            if (magnitude > static_cast<unsigned __int128>(UINT64_MAX)) {
                return false;
            }
        }
        number->integer =
            text[0] == '-' ? -static_cast<__int128>(magnitude) : static_cast<__int128>(magnitude);
        return true;
    }
    size_t fractionDigits = 0;
    if (text[at] == '.') {
        ++at;
        while (at < text.size() && IsDigit(text[at])) {
            ++at;
            ++fractionDigits;
        }
    }
    if (integerDigits + fractionDigits == 0) {
        return false;
    }
    if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
        ++at;
        if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
            ++at;
        }
        const size_t exponentAt = at;
        while (at < text.size() && IsDigit(text[at])) {
            ++at;
        }
        if (at == exponentAt) {
            return false;
        }
    }
    if (at != text.size()) {
        return false;
    }
    number->real = true;
    number->value = std::strtod(text.c_str(), nullptr);
    return true;
}

bool NumberOfLiteral(const WqlLiteral& literal, Number* number) {
    switch (literal.kind) {
        case WqlLiteral::Kind::Integer:
            number->integer = literal.integer;
            return true;
        case WqlLiteral::Kind::Real:
            number->real = true;
            number->value = literal.real;
            return true;
        case WqlLiteral::Kind::String:
            return NumberOfText(literal.text, number);
        default:
            return false;
    }
}

Order CompareNumbers(const Number& a, const Number& b) {
    if (!a.real && !b.real) {
        return OrderOf(a.integer, b.integer);
    }
    const double x = a.real ? a.value : static_cast<double>(a.integer);
    const double y = b.real ? b.value : static_cast<double>(b.integer);
    if (std::isnan(x) || std::isnan(y)) {
        return Order::Unordered;
    }
    return OrderOf(x, y);
}

bool IsNull(const WbemValue& value) {
    return value.vt == VT_NULL || (value.vt == VT_BSTR && value.nullText);
}

Order Compare(const WbemValue& value, CIMTYPE type, const WqlLiteral& literal) {
    if (IsNull(value)) {
        return Order::Unordered;
    }
    Number left;
    switch (type) {
        case CIM_STRING:
            if (literal.kind != WqlLiteral::Kind::String) {
                return Order::Unordered;
            }
            return OrderOf(Folded(value.text), Folded(literal.text));
        case CIM_BOOLEAN: {
            bool wanted = false;
            if (literal.kind == WqlLiteral::Kind::Boolean) {
                wanted = literal.boolean;
            } else if (literal.kind == WqlLiteral::Kind::Integer) {
                wanted = literal.integer != 0;
            } else if (literal.kind == WqlLiteral::Kind::String &&
                       (SameName(literal.text, u"TRUE") || SameName(literal.text, u"FALSE"))) {
                wanted = SameName(literal.text, u"TRUE");
            } else {
                return Order::Unordered;
            }
            return OrderOf(value.integer != 0 ? 1 : 0, wanted ? 1 : 0);
        }
        case CIM_UINT32:
            left.integer = static_cast<uint32_t>(value.integer);
            break;
        case CIM_SINT32:
            left.integer = static_cast<int32_t>(value.integer);
            break;
        case CIM_UINT64:
            if (!NumberOfText(value.text, &left)) {
                return Order::Unordered;
            }
            break;
        default:  // CIM_REAL64
            left.real = true;
            left.value = value.real;
            break;
    }
    Number right;
    if (!NumberOfLiteral(literal, &right)) {
        return Order::Unordered;
    }
    return CompareNumbers(left, right);
}

// One character of a LIKE pattern's set, or a range of them, folded.
struct SetRange {
    char16_t low;
    char16_t high;
};

// Whether text[t..] matches pattern[p..]; `memo` holds the answers found (0 not
// yet, 1 no, 2 yes), one per pair of positions.
bool LikeFrom(const std::u16string& text, size_t t, const std::u16string& pattern, size_t p,
              std::vector<char>& memo) {
    char& known = memo[p * (text.size() + 1) + t];
    if (known != 0) {
        return known == 2;
    }
    bool matches = false;
    if (p == pattern.size()) {
        matches = t == text.size();
    } else if (pattern[p] == u'%') {
        matches = LikeFrom(text, t, pattern, p + 1, memo) ||
                  (t < text.size() && LikeFrom(text, t + 1, pattern, p, memo));
    } else if (t < text.size()) {
        const char16_t c = Fold(text[t]);
        size_t next = p + 1;
        bool one = false;
        const size_t close = pattern[p] == u'[' ? pattern.find(u']', p + 1) : std::u16string::npos;
        if (pattern[p] == u'_') {
            one = true;
        } else if (close != std::u16string::npos) {
            std::u16string set = pattern.substr(p + 1, close - p - 1);
            const bool negated = !set.empty() && set[0] == u'^';
            if (negated) {
                set.erase(0, 1);
            }
            std::vector<SetRange> ranges;
            for (size_t i = 0; i < set.size(); ++i) {
                if (i + 2 < set.size() && set[i + 1] == u'-') {
                    ranges.push_back({Fold(set[i]), Fold(set[i + 2])});
                    i += 2;
                } else {
                    ranges.push_back({Fold(set[i]), Fold(set[i])});
                }
            }
            bool inside = false;
            for (const SetRange& range : ranges) {
                inside = inside || (c >= range.low && c <= range.high);
            }
            one = inside != negated;
            next = close + 1;
        } else {
            one = Fold(pattern[p]) == c;
        }
        matches = one && LikeFrom(text, t + 1, pattern, next, memo);
    }
    known = matches ? 2 : 1;
    return matches;
}

bool Like(const std::u16string& text, const std::u16string& pattern) {
    std::vector<char> memo((pattern.size() + 1) * (text.size() + 1), 0);
    return LikeFrom(text, 0, pattern, 0, memo);
}

size_t ColumnIndex(const std::u16string& name) {
    for (size_t i = 0; i < kColumnCount; ++i) {
        if (SameName(name, kColumns[i].name)) {
            return i;
        }
    }
    return kColumnCount;
}

bool Holds(const WqlCondition& c, const std::vector<WbemValue>& row) {
    switch (c.kind) {
        case WqlCondition::Kind::And:
            return Holds(*c.left, row) && Holds(*c.right, row);
        case WqlCondition::Kind::Or:
            return Holds(*c.left, row) || Holds(*c.right, row);
        case WqlCondition::Kind::Not:
            return !Holds(*c.left, row);
        default:
            break;
    }
    const size_t index = ColumnIndex(c.property);
    const WbemValue& value = row[index];
    if (c.kind == WqlCondition::Kind::IsNull) {
        return IsNull(value);
    }
    if (c.kind == WqlCondition::Kind::IsNotNull) {
        return !IsNull(value);
    }
    if (c.op == WqlOperator::Like) {
        // Text as WMI hands it out: strings, and 64-bit numbers in decimal.
        return value.vt == VT_BSTR && !IsNull(value) && Like(value.text, c.literal.text);
    }
    const Order order = Compare(value, kColumns[index].type, c.literal);
    switch (c.op) {
        case WqlOperator::Equal:
            return order == Order::Equal;
        case WqlOperator::NotEqual:
            return order == Order::Less || order == Order::Greater;
        case WqlOperator::Less:
            return order == Order::Less;
        case WqlOperator::Greater:
            return order == Order::Greater;
        case WqlOperator::LessOrEqual:
            return order == Order::Less || order == Order::Equal;
        case WqlOperator::GreaterOrEqual:
            return order == Order::Greater || order == Order::Equal;
        default:
            return false;
    }
}

bool NamesKnown(const WqlCondition& c) {
    switch (c.kind) {
        case WqlCondition::Kind::And:
        case WqlCondition::Kind::Or:
            return NamesKnown(*c.left) && NamesKnown(*c.right);
        case WqlCondition::Kind::Not:
            return NamesKnown(*c.left);
        default:
            return ColumnIndex(c.property) < kColumnCount;
    }
}

// ---- spelling queries out -----------------------------------------------------

std::u16string Ascii(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

std::u16string IntegerText(__int128 value) {
    const bool negative = value < 0;
    unsigned __int128 magnitude =
        negative ? -static_cast<unsigned __int128>(value) : static_cast<unsigned __int128>(value);
    std::u16string digits;
    do {
        digits.insert(digits.begin(), static_cast<char16_t>(u'0' + magnitude % 10));
        magnitude /= 10;
    } while (magnitude != 0);
    return negative ? u"-" + digits : digits;
}

// A real that reads back as the same double, with a point or an exponent so that
// it stays a real.
std::u16string RealText(double value) {
    char text[64];
    snprintf(text, sizeof(text), "%.17g", value);
    std::string spelt = text;
    if (spelt.find_first_of(".e") == std::string::npos) {
        spelt += ".0";
    }
    return Ascii(spelt);
}

std::u16string Quoted(const std::u16string& text, char16_t quote) {
    std::u16string spelt(1, quote);
    for (const char16_t c : text) {
        if (c == u'\\' || c == quote) {
            spelt += u'\\';
        }
        spelt += c;
    }
    return spelt + quote;
}

std::u16string LiteralText(const WqlLiteral& literal) {
    switch (literal.kind) {
        case WqlLiteral::Kind::String:
            return Quoted(literal.text, u'\'');
        case WqlLiteral::Kind::Integer:
            return IntegerText(literal.integer);
        case WqlLiteral::Kind::Real:
            return RealText(literal.real);
        case WqlLiteral::Kind::Boolean:
            return literal.boolean ? u"TRUE" : u"FALSE";
        case WqlLiteral::Kind::Null:
            break;
    }
    return u"NULL";
}

const char16_t* OperatorText(WqlOperator op) {
    switch (op) {
        case WqlOperator::Equal:
            return u"=";
        case WqlOperator::NotEqual:
            return u"<>";
        case WqlOperator::Less:
            return u"<";
        case WqlOperator::Greater:
            return u">";
        case WqlOperator::LessOrEqual:
            return u"<=";
        case WqlOperator::GreaterOrEqual:
            return u">=";
        case WqlOperator::Like:
            break;
    }
    return u"LIKE";
}

// Every condition in parentheses, keywords in upper case, names as they stand.
std::u16string Canonical(const WqlCondition& c) {
    switch (c.kind) {
        case WqlCondition::Kind::And:
            return u"(" + Canonical(*c.left) + u" AND " + Canonical(*c.right) + u")";
        case WqlCondition::Kind::Or:
            return u"(" + Canonical(*c.left) + u" OR " + Canonical(*c.right) + u")";
        case WqlCondition::Kind::Not:
            return u"(NOT " + Canonical(*c.left) + u")";
        case WqlCondition::Kind::IsNull:
            return u"(" + c.property + u" IS NULL)";
        case WqlCondition::Kind::IsNotNull:
            return u"(" + c.property + u" IS NOT NULL)";
        case WqlCondition::Kind::Compare:
            break;
    }
    return u"(" + c.property + u" " + OperatorText(c.op) + u" " + LiteralText(c.literal) + u")";
}

std::u16string Canonical(const WqlQuery& query) {
    std::u16string text = u"SELECT ";
    if (query.allColumns) {
        text += u"*";
    }
    for (size_t i = 0; i < query.columns.size(); ++i) {
        text += (i == 0 ? u"" : u", ") + query.columns[i];
    }
    text += u" FROM " + query.className;
    if (query.where != nullptr) {
        text += u" WHERE " + Canonical(*query.where);
    }
    return text;
}

bool SameLiteral(const WqlLiteral& a, const WqlLiteral& b) {
    if (a.kind != b.kind) {
        return false;
    }
    switch (a.kind) {
        case WqlLiteral::Kind::String:
            return a.text == b.text;
        case WqlLiteral::Kind::Integer:
            return a.integer == b.integer;
        case WqlLiteral::Kind::Real:
            return a.real == b.real && std::signbit(a.real) == std::signbit(b.real);
        case WqlLiteral::Kind::Boolean:
            return a.boolean == b.boolean;
        case WqlLiteral::Kind::Null:
            break;
    }
    return true;
}

// Whether two conditions group and say the same; names compared as written, or
// without regard to case.
bool SameCondition(const WqlCondition& a, const WqlCondition& b, bool foldNames) {
    if (a.kind != b.kind) {
        return false;
    }
    switch (a.kind) {
        case WqlCondition::Kind::And:
        case WqlCondition::Kind::Or:
            return SameCondition(*a.left, *b.left, foldNames) &&
                   SameCondition(*a.right, *b.right, foldNames);
        case WqlCondition::Kind::Not:
            return SameCondition(*a.left, *b.left, foldNames);
        default:
            break;
    }
    if (foldNames ? !SameName(a.property, b.property) : a.property != b.property) {
        return false;
    }
    return a.kind != WqlCondition::Kind::Compare ||
           (a.op == b.op && SameLiteral(a.literal, b.literal));
}

bool SameQuery(const WqlQuery& a, const WqlQuery& b, bool foldNames) {
    auto same = [&](const std::u16string& x, const std::u16string& y) {
        return foldNames ? SameName(x, y) : x == y;
    };
    if (!same(a.className, b.className) || a.allColumns != b.allColumns ||
        a.columns.size() != b.columns.size() || (a.where == nullptr) != (b.where == nullptr)) {
        return false;
    }
    for (size_t i = 0; i < a.columns.size(); ++i) {
        if (!same(a.columns[i], b.columns[i])) {
            return false;
        }
    }
    return a.where == nullptr || SameCondition(*a.where, *b.where, foldNames);
}

// ---- queries built from the input, spelt in every allowed way -----------------

class Speller {
  public:
    explicit Speller(FuzzInput& in) : in_(in) {}

    // A keyword or name in a case of the input's choosing.
    std::u16string Word(const std::u16string& word) {
        std::u16string spelt = word;
        const uint8_t choice = in_.Byte();
        for (size_t i = 0; i < spelt.size(); ++i) {
            const char16_t c = spelt[i];
            const bool upper = (choice >> (i % 8)) & 1;
            if (upper && c >= u'a' && c <= u'z') {
                spelt[i] = static_cast<char16_t>(c - 0x20);
            } else if (!upper && c >= u'A' && c <= u'Z') {
                spelt[i] = static_cast<char16_t>(c + 0x20);
            }
        }
        return spelt;
    }
    // Blanks between two tokens: at least one when `needed`.
    std::u16string Blank(bool needed = true) {
        static const char16_t* const kBlanks[] = {u" ",  u" ",  u"  ", u"\t", u"\r\n",
                                                  u"\n", u"\f", u"\v", u""};
        const char16_t* blank = kBlanks[in_.Below(9)];
        return (needed && *blank == 0) ? u" " : blank;
    }

    std::u16string Literal(const WqlLiteral& literal) {
        switch (literal.kind) {
            case WqlLiteral::Kind::String: {
                const char16_t quote = in_.Flag() ? u'"' : u'\'';
                std::u16string spelt(1, quote);
                const uint8_t escapes = in_.Byte();
                for (size_t i = 0; i < literal.text.size(); ++i) {
                    const char16_t c = literal.text[i];
                    // Needed before the quote and the backslash, allowed anywhere.
                    if (c == quote || c == u'\\' || ((escapes >> (i % 8)) & 1 && in_.Flag())) {
                        spelt += u'\\';
                    }
                    spelt += c;
                }
                return spelt + quote;
            }
            case WqlLiteral::Kind::Integer: {
                std::u16string digits = IntegerText(literal.integer);
                if (literal.integer >= 0 && in_.Flag()) {
                    digits = u"+" + digits;
                }
                return digits;
            }
            case WqlLiteral::Kind::Real:
                return RealText(literal.real);
            case WqlLiteral::Kind::Boolean:
                return Word(literal.boolean ? u"TRUE" : u"FALSE");
            case WqlLiteral::Kind::Null:
                break;
        }
        return Word(u"NULL");
    }

    // The condition at a place whose context binds with `context`
    // (0: anywhere, 1: an operand of OR on its right, or of AND on its left,
    // 2: an operand of AND on its right, 3: the operand of NOT).
    std::u16string Condition(const WqlCondition& c, int context) {
        const int binding = c.kind == WqlCondition::Kind::Or    ? 1
                            : c.kind == WqlCondition::Kind::And ? 2
                                                                : 3;
        // Parentheses where the grouping needs them: an operand that binds looser
        // than its place, or as loosely on the right (the operators group to the left).
        const bool needed = binding < context || (binding == context && context < 3 && right_);
        const bool wanted = needed || in_.Below(8) == 0;
        right_ = false;
        std::u16string inner = Bare(c);
        if (!wanted) {
            return inner;
        }
        return u"(" + Blank(false) + inner + Blank(false) + u")";
    }

    WqlQuery Query(std::u16string* text);

  private:
    std::u16string Bare(const WqlCondition& c) {
        switch (c.kind) {
            case WqlCondition::Kind::And:
            case WqlCondition::Kind::Or: {
                const int binding = c.kind == WqlCondition::Kind::Or ? 1 : 2;
                right_ = false;
                std::u16string left = Condition(*c.left, binding);
                std::u16string keyword = Word(binding == 1 ? u"OR" : u"AND");
                right_ = true;
                std::u16string right = Condition(*c.right, binding);
                return left + Blank() + keyword + Blank() + right;
            }
            case WqlCondition::Kind::Not: {
                std::u16string keyword = Word(u"NOT");
                return keyword + Blank() + Condition(*c.left, 3);
            }
            case WqlCondition::Kind::IsNull:
            case WqlCondition::Kind::IsNotNull: {
                const bool negated = c.kind == WqlCondition::Kind::IsNotNull;
                const std::u16string name = Word(c.property);
                switch (in_.Below(3)) {
                    case 0:
                        return name + Blank() + Word(u"IS") + Blank() +
                               (negated ? Word(u"NOT") + Blank() : u"") + Word(u"NULL");
                    case 1:
                        return name + Blank(false) + EqualOrNot(negated) + Blank(false) +
                               Word(u"NULL");
                    default:
                        return Word(u"NULL") + Blank(false) + EqualOrNot(negated) + Blank(false) +
                               name;
                }
            }
            case WqlCondition::Kind::Compare:
                break;
        }
        const std::u16string name = Word(c.property);
        if (c.op == WqlOperator::Like) {
            return name + Blank() + Word(u"LIKE") + Blank() + Literal(c.literal);
        }
        const std::u16string literal = Literal(c.literal);
        // A number or keyword next to the name needs no blank only where an
        // operator stands between them, which it always does.
        if (in_.Flag()) {
            return name + Blank(false) + Operator(c.op) + Blank(false) + literal;
        }
        return literal + Blank(false) + Operator(TurnedAround(c.op)) + Blank(false) + name;
    }

    std::u16string EqualOrNot(bool negated) {
        if (!negated) {
            return u"=";
        }
        return in_.Flag() ? u"<>" : u"!=";
    }
    std::u16string Operator(WqlOperator op) {
        if (op == WqlOperator::NotEqual) {
            return EqualOrNot(true);
        }
        return OperatorText(op);
    }
    static WqlOperator TurnedAround(WqlOperator op) {
        switch (op) {
            case WqlOperator::Less:
                return WqlOperator::Greater;
            case WqlOperator::Greater:
                return WqlOperator::Less;
            case WqlOperator::LessOrEqual:
                return WqlOperator::GreaterOrEqual;
            case WqlOperator::GreaterOrEqual:
                return WqlOperator::LessOrEqual;
            default:
                return op;
        }
    }

    FuzzInput& in_;
    bool right_ = false;  // whether the operand being spelt is a right operand
};

const char16_t* const kNames[] = {u"Id",   u"Name", u"Count", u"Level",
                                  u"Flag", u"Size", u"Ratio", u"Weight"};
const char16_t* const kTexts[] = {u"Alpha",
                                  u"ALPHA",
                                  u"beta",
                                  u"\u00c9COLE",
                                  u"\u00e9cole",
                                  u"",
                                  u"b",
                                  u"a_b%c[d]",
                                  u"900",
                                  u"+-5",
                                  u" 5",
                                  u"1e3",
                                  u"0x1.8p1",
                                  u"TRUE",
                                  u"false",
                                  u"7.0",
                                  u"-.5",
                                  u"inf",
                                  u"18446744073709551615"};
const char16_t kPatternUnits[] = u"aAbBlLpPhH%%__[]^-\u00e9\u00c9cC.";
const char16_t kTextUnits[] = u"aAbBe0159+-. eExX\u00e9\"'\\";
const __int128 kIntegers[] = {0,
                              1,
                              -1,
                              7,
                              -3,
                              100,
                              900,
                              2147483647,
                              -2147483648LL,
                              4294967295LL,
                              12345678901234LL,
                              static_cast<__int128>(UINT64_MAX),
                              -static_cast<__int128>(UINT64_MAX)};
const double kReals[] = {0.5, -1.5, 2.0, 1e300, -0.0, 7.0, 0.25, 1e-300, 3.5e15};

WqlLiteral BuildLiteral(FuzzInput& in, bool forLike) {
    WqlLiteral literal;
    const size_t kind = forLike ? 0 : in.Below(6);
    if (kind <= 1) {
        literal.kind = WqlLiteral::Kind::String;
        if (forLike || in.Flag()) {
            const char16_t* units = forLike ? kPatternUnits : kTextUnits;
            const size_t count =
                forLike ? sizeof(kPatternUnits) / 2 - 1 : sizeof(kTextUnits) / 2 - 1;
            for (size_t i = in.Below(10); i > 0; --i) {
                literal.text += units[in.Below(count)];
            }
        } else {
            literal.text = kTexts[in.Below(sizeof(kTexts) / sizeof(kTexts[0]))];
        }
    } else if (kind <= 3) {
        literal.kind = WqlLiteral::Kind::Integer;
        literal.integer = kIntegers[in.Below(sizeof(kIntegers) / sizeof(kIntegers[0]))];
    } else if (kind == 4) {
        literal.kind = WqlLiteral::Kind::Real;
        literal.real = kReals[in.Below(sizeof(kReals) / sizeof(kReals[0]))];
    } else {
        literal.kind = WqlLiteral::Kind::Boolean;
        literal.boolean = in.Flag();
    }
    return literal;
}

std::unique_ptr<WqlCondition> BuildCondition(FuzzInput& in, int depth) {
    auto c = std::make_unique<WqlCondition>();
    const size_t shape = depth >= 5 ? 3 + in.Below(3) : in.Below(6);
    switch (shape) {
        case 0:
        case 1:
            c->kind = shape == 0 ? WqlCondition::Kind::And : WqlCondition::Kind::Or;
            c->left = BuildCondition(in, depth + 1);
            c->right = BuildCondition(in, depth + 1);
            return c;
        case 2:
            c->kind = WqlCondition::Kind::Not;
            c->left = BuildCondition(in, depth + 1);
            return c;
        default:
            break;
    }
    // Mostly the table's names, now and then one it lacks.
    c->property = kNames[in.Below(8) == 0 ? 7 : in.Below(7)];
    const size_t test = in.Below(10);
    if (test == 0) {
        c->kind = WqlCondition::Kind::IsNull;
    } else if (test == 1) {
        c->kind = WqlCondition::Kind::IsNotNull;
    } else if (test == 2) {
        c->op = WqlOperator::Like;
        c->literal = BuildLiteral(in, true);
    } else {
        c->op = static_cast<WqlOperator>(in.Below(6));
        c->literal = BuildLiteral(in, false);
    }
    return c;
}

WqlQuery Speller::Query(std::u16string* text) {
    WqlQuery query;
    const uint8_t shape = in_.Byte();
    query.className = (shape & 1) != 0 ? u"Win32_Nothing" : kTable;
    std::u16string columns;
    if ((shape & 2) != 0) {
        query.allColumns = true;
        columns = u"*";
    } else {
        // Id first, so that the rows can be told apart, then some others.
        const size_t more = in_.Below(4);
        query.columns.push_back(u"Id");
        for (size_t i = 0; i < more; ++i) {
            query.columns.push_back(in_.Below(8) == 0 ? u"__CLASS" : kNames[in_.Below(8)]);
        }
        for (size_t i = 0; i < query.columns.size(); ++i) {
            columns += (i == 0 ? u"" : Blank(false) + u"," + Blank(false)) + Word(query.columns[i]);
        }
    }
    *text = Blank(false) + Word(u"SELECT") + Blank() + columns + Blank() + Word(u"FROM") + Blank() +
            Word(query.className);
    if ((shape & 4) != 0) {
        query.where = BuildCondition(in_, 0);
        *text += Blank() + Word(u"WHERE") + Blank() + Condition(*query.where, 0);
    }
    *text += Blank(false);
    return query;
}

// ---- running a query through the WMI client ---------------------------------

struct Run {
    HRESULT exec = S_OK;         // ExecQuery's answer
    HRESULT end = WBEM_S_FALSE;  // the answer that ended the rows
    std::vector<int32_t> ids;    // Id of each row, when the query selects it
    size_t rows = 0;
};

IWbemServices* Services() {
    static IWbemServices* services = [] {
        IWbemLocator* locator = nullptr;
        IWbemServices* connected = nullptr;
        BSTR nameSpace = SysAllocString(u"ROOT\\CIMV2");
        if (FAILED(CoInitialize(nullptr)) ||
            FAILED(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER,
                                    IID_IWbemLocator, reinterpret_cast<void**>(&locator))) ||
            FAILED(locator->ConnectServer(nameSpace, nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                          &connected))) {
            FuzzFail("the WMI client does not connect");
        }
        SysFreeString(nameSpace);
        locator->Release();
        std::vector<WbemTableColumn> columns;
        for (const Column& column : kColumns) {
            columns.push_back({column.name, column.type});
        }
        SeamWbemSetTable(kTable, columns, TableRows());
        return connected;
    }();
    return services;
}

Run Execute(const std::u16string& statement) {
    Run run;
    BSTR language = SysAllocString(u"WQL");
    BSTR text = SysAllocStringLen(statement.data(), static_cast<UINT>(statement.size()));
    IEnumWbemClassObject* enumerator = nullptr;
    run.exec =
        Services()->ExecQuery(language, text, WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY,
                              nullptr, &enumerator);
    SysFreeString(text);
    SysFreeString(language);
    if (FAILED(run.exec)) {
        if (enumerator != nullptr) {
            FuzzFail("a failed ExecQuery handed out an enumerator");
        }
        return run;
    }
    for (;;) {
        IWbemClassObject* row = nullptr;
        ULONG returned = 0;
        const HRESULT next = enumerator->Next(static_cast<LONG>(WBEM_INFINITE), 1, &row, &returned);
        if (next != WBEM_S_NO_ERROR || returned != 1) {
            if ((next == WBEM_S_FALSE) != (returned == 0 && row == nullptr) && SUCCEEDED(next)) {
                FuzzFail("Next's count disagrees with its answer");
            }
            run.end = next;
            break;
        }
        ++run.rows;
        VARIANT id;
        VariantInit(&id);
        if (row->Get(u"Id", 0, &id, nullptr, nullptr) == WBEM_S_NO_ERROR) {
            if (id.vt != VT_I4) {
                FuzzFail("Id is not a VT_I4");
            }
            run.ids.push_back(id.lVal);
        }
        VariantClear(&id);
        row->Release();
    }
    enumerator->Release();
    return run;
}

bool IsInventoryClass(const std::u16string& name) {
    static const std::vector<std::u16string> names = WbemInventoryClassNames();
    for (const std::u16string& known : names) {
        if (SameName(known, name)) {
            return true;
        }
    }
    return false;
}

bool IsSystemProperty(const std::u16string& name) {
    for (size_t i = 0; i < kWbemSystemPropertyCount; ++i) {
        if (SameName(name, kWbemSystemProperties[i].name)) {
            return true;
        }
    }
    return false;
}

// What the query must give: its status after the rows, and the rows' Ids.
void CheckRun(const WqlQuery& query, const Run& run, const std::u16string& statement) {
    if (run.exec != WBEM_S_NO_ERROR) {
        FuzzFail("ExecQuery refused a statement the parser takes",
                 std::to_string(run.exec) + " for " + Utf16ToUtf8(statement));
    }
    if (!SameName(query.className, kTable)) {
        if (run.end != WBEM_E_INVALID_CLASS || run.rows != 0) {
            FuzzFail("a class the client lacks answered",
                     std::to_string(run.end) + " for " + Utf16ToUtf8(statement));
        }
        return;
    }
    bool known = query.where == nullptr || NamesKnown(*query.where);
    bool idSelected = query.allColumns;
    for (const std::u16string& column : query.columns) {
        known = known && (ColumnIndex(column) < kColumnCount || IsSystemProperty(column));
        idSelected = idSelected || SameName(column, u"Id");
    }
    if (!known) {
        if (run.end != WBEM_E_INVALID_QUERY || run.rows != 0) {
            FuzzFail("a property the table lacks answered",
                     std::to_string(run.end) + " for " + Utf16ToUtf8(statement));
        }
        return;
    }
    if (run.end != WBEM_S_FALSE) {
        FuzzFail("the rows did not end with WBEM_S_FALSE",
                 std::to_string(run.end) + " for " + Utf16ToUtf8(statement));
    }
    static const std::vector<std::vector<WbemValue>> rows = TableRows();
    std::vector<int32_t> kept;
    for (const std::vector<WbemValue>& row : rows) {
        if (query.where == nullptr || Holds(*query.where, row)) {
            kept.push_back(static_cast<int32_t>(row[0].integer));
        }
    }
    if (run.rows != kept.size() || (idSelected && run.ids != kept)) {
        std::string detail;
        for (int32_t id : kept) {
            detail += std::to_string(id) + " ";
        }
        detail += "wanted, got";
        for (int32_t id : run.ids) {
            detail += " " + std::to_string(id);
        }
        detail += " for " + Utf16ToUtf8(statement);
        FuzzFail("the rows differ from the reference evaluation:", detail);
    }
}

void CheckArbitraryText(const std::u16string& statement) {
    WqlQuery query;
    const HRESULT parsed = WqlParse(statement, &query);
    if (parsed != S_OK && parsed != WBEM_E_INVALID_QUERY) {
        FuzzFail("the parser answered", std::to_string(parsed));
    }
    if (parsed == S_OK) {
        if (query.where != nullptr) {
            WqlDescribe(*query.where);
        }
        WqlQuery again;
        if (WqlParse(Canonical(query), &again) != S_OK || !SameQuery(query, again, false)) {
            FuzzFail("the query spelt out again parses differently:",
                     Utf16ToUtf8(Canonical(query)));
        }
        if (IsInventoryClass(query.className)) {
            return;  // this machine's inventory: its rows are not the target's business
        }
    }
    const Run run = Execute(statement);
    if (parsed != S_OK) {
        if (run.exec != WBEM_E_INVALID_QUERY) {
            FuzzFail("ExecQuery answered a statement the parser refuses with",
                     std::to_string(run.exec) + " for " + Utf16ToUtf8(statement));
        }
        return;
    }
    CheckRun(query, run, statement);
}

void CheckBuiltQuery(FuzzInput& in) {
    Speller speller(in);
    std::u16string statement;
    const WqlQuery built = speller.Query(&statement);
    WqlQuery parsed;
    if (WqlParse(statement, &parsed) != S_OK || !SameQuery(built, parsed, true)) {
        FuzzFail("a spelt query does not parse back:", Utf16ToUtf8(statement));
    }
    CheckRun(built, Execute(statement), statement);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Services();
    const size_t objects = SeamLiveComObjects();
    const size_t bstrs = SeamLiveBstrs();
    const size_t arrays = SeamLiveSafeArrays();
    const size_t blocks = SeamLiveHeapBlocks();

    FuzzInput in(data, size);
    const uint8_t mode = in.Byte();
    if ((mode & 3) == 0) {
        CheckBuiltQuery(in);
    } else if ((mode & 3) == 1) {
        std::string bytes = in.Rest();
        std::u16string units(bytes.size() / 2, u'\0');
        memcpy(&units[0], bytes.data(), units.size() * 2);
        CheckArbitraryText(units);
    } else {
        CheckArbitraryText(Utf8ToUtf16(in.Rest()));
    }

    if (SeamLiveComObjects() != objects || SeamLiveBstrs() != bstrs ||
        SeamLiveSafeArrays() != arrays || SeamLiveHeapBlocks() != blocks) {
        FuzzFail("a COM object, BSTR, safe array or heap block was left behind");
    }
    return 0;
}
