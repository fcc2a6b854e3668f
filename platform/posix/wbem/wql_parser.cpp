// The WQL parser: a tokenizer and a recursive-descent parser over the grammar in
// wql_parser.h, one function per rule; and the case folding and LIKE matching the
// query evaluation shares.
#include "platform/posix/wbem/wql_parser.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "platform/posix/shared/utf.h"
#include "platform/posix/win32_wbem.h"

namespace {

enum class TokenKind { Name, String, Number, Symbol, End };

struct Token {
    TokenKind kind = TokenKind::End;
    std::u16string text;  // the name, the string's contents, the number or the symbol
};

bool IsLetter(char16_t c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || c == u'_';
}
bool IsDigit(char16_t c) {
    return c >= u'0' && c <= u'9';
}
bool IsBlank(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\f' || c == u'\v';
}

char16_t Fold(char16_t c) {
    if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) {
        return static_cast<char16_t>(c - 0x20);
    }
    return c;
}

// Splits the text into tokens; false when a character or a string is malformed.
bool Tokenize(const std::u16string& text, std::vector<Token>* tokens) {
    size_t i = 0;
    while (i < text.size()) {
        const char16_t c = text[i];
        if (IsBlank(c)) {
            ++i;
            continue;
        }
        Token token;
        if (IsLetter(c)) {
            size_t end = i + 1;
            while (end < text.size() && (IsLetter(text[end]) || IsDigit(text[end]))) {
                ++end;
            }
            token.kind = TokenKind::Name;
            token.text = text.substr(i, end - i);
            i = end;
        } else if (c == u'\'' || c == u'"') {
            token.kind = TokenKind::String;
            size_t at = i + 1;
            bool closed = false;
            while (at < text.size()) {
                if (text[at] == u'\\' && at + 1 < text.size()) {
                    token.text += text[at + 1];
                    at += 2;
                } else if (text[at] == c) {
                    closed = true;
                    ++at;
                    break;
                } else {
                    token.text += text[at++];
                }
            }
            if (!closed) {
                return false;
            }
            i = at;
        } else if (IsDigit(c) || ((c == u'-' || c == u'+') && i + 1 < text.size() &&
                                  (IsDigit(text[i + 1]) || text[i + 1] == u'.'))) {
            size_t end = i + 1;
            while (end < text.size() && (IsDigit(text[end]) || text[end] == u'.')) {
                ++end;
            }
            if (end < text.size() && (text[end] == u'e' || text[end] == u'E')) {
                size_t exponent = end + 1;
                if (exponent < text.size() && (text[exponent] == u'+' || text[exponent] == u'-')) {
                    ++exponent;
                }
                if (exponent < text.size() && IsDigit(text[exponent])) {
                    end = exponent;
                    while (end < text.size() && IsDigit(text[end])) {
                        ++end;
                    }
                }
            }
            token.kind = TokenKind::Number;
            token.text = text.substr(i, end - i);
            i = end;
        } else {
            static const char16_t* const kSymbols[] = {u"<>", u"!=", u"<=", u">=", u"=", u"<",
                                                       u">",  u"*",  u",",  u"(",  u")"};
            token.kind = TokenKind::Symbol;
            for (const char16_t* symbol : kSymbols) {
                const std::u16string candidate(symbol);
                if (text.compare(i, candidate.size(), candidate) == 0) {
                    token.text = candidate;
                    break;
                }
            }
            if (token.text.empty()) {
                return false;
            }
            i += token.text.size();
        }
        tokens->push_back(std::move(token));
    }
    tokens->push_back(Token());
    return true;
}

bool IsKeyword(const std::u16string& name) {
    static const char16_t* const kKeywords[] = {u"SELECT", u"FROM", u"WHERE", u"AND",
                                                u"OR",     u"NOT",  u"LIKE",  u"IS",
                                                u"NULL",   u"TRUE", u"FALSE"};
    for (const char16_t* keyword : kKeywords) {
        if (WqlSameName(name, keyword)) {
            return true;
        }
    }
    return false;
}

// Parses a number token as an integer (when it has no fraction or exponent and
// fits 64 bits, signed or unsigned) or as a real.
bool ParseNumber(const std::u16string& text, WqlLiteral* literal) {
    const std::string narrow = Utf16ToUtf8(text);
    const bool negative = narrow[0] == '-';
    const size_t digitsAt = (narrow[0] == '-' || narrow[0] == '+') ? 1 : 0;
    if (narrow.find_first_of(".eE") == std::string::npos) {
        unsigned __int128 magnitude = 0;
        for (size_t i = digitsAt; i < narrow.size(); ++i) {
            magnitude = magnitude * 10 + static_cast<unsigned>(narrow[i] - '0');
            if (magnitude > static_cast<unsigned __int128>(UINT64_MAX)) {
                return false;  // beyond what any WMI integer holds
            }
        }
        literal->kind = WqlLiteral::Kind::Integer;
        literal->integer =
            negative ? -static_cast<__int128>(magnitude) : static_cast<__int128>(magnitude);
        return true;
    }
    // A fraction needs digits on at least one side of one point.
    const size_t point = narrow.find('.');
    if (point != std::string::npos && narrow.find('.', point + 1) != std::string::npos) {
        return false;
    }
    char* end = nullptr;
    const double value = std::strtod(narrow.c_str(), &end);
    if (end == nullptr || *end != '\0' || !std::isfinite(value) ||
        narrow.find_first_of("0123456789") == std::string::npos) {
        return false;
    }
    literal->kind = WqlLiteral::Kind::Real;
    literal->real = value;
    return true;
}

// Bounds that keep every walk over a condition (parsing it, evaluating it, freeing
// it) to a bounded depth of calls, whatever the statement: deeper or longer
// conditions are refused as invalid rather than overflowing the stack.
constexpr int kMaxNesting = 100;    // NOT and parentheses inside one another
constexpr size_t kMaxTests = 1000;  // tests in the WHERE clause

class Parser {
  public:
    explicit Parser(std::vector<Token> tokens) : tokens_(std::move(tokens)) {}

    bool Query(WqlQuery* query) {
        if (!TakeKeyword(u"SELECT") || !Columns(query) || !TakeKeyword(u"FROM") ||
            !Name(&query->className)) {
            return false;
        }
        if (TakeKeyword(u"WHERE")) {
            query->where = Condition();
            if (query->where == nullptr) {
                return false;
            }
        }
        return Peek().kind == TokenKind::End;
    }

  private:
    const Token& Peek() const { return tokens_[at_]; }
    void Advance() {
        if (tokens_[at_].kind != TokenKind::End) {
            ++at_;
        }
    }
    bool IsKeywordToken(const char16_t* keyword) const {
        return Peek().kind == TokenKind::Name && WqlSameName(Peek().text, keyword);
    }
    bool TakeKeyword(const char16_t* keyword) {
        if (!IsKeywordToken(keyword)) {
            return false;
        }
        Advance();
        return true;
    }
    bool TakeSymbol(const char16_t* symbol) {
        if (Peek().kind != TokenKind::Symbol || Peek().text != symbol) {
            return false;
        }
        Advance();
        return true;
    }
    bool Name(std::u16string* name) {
        if (Peek().kind != TokenKind::Name || IsKeyword(Peek().text)) {
            return false;
        }
        *name = Peek().text;
        Advance();
        return true;
    }

    bool Columns(WqlQuery* query) {
        if (TakeSymbol(u"*")) {
            query->allColumns = true;
            return true;
        }
        do {
            std::u16string column;
            if (!Name(&column)) {
                return false;
            }
            query->columns.push_back(std::move(column));
        } while (TakeSymbol(u","));
        return true;
    }

    std::unique_ptr<WqlCondition> Join(WqlCondition::Kind kind, std::unique_ptr<WqlCondition> left,
                                       std::unique_ptr<WqlCondition> right) {
        auto joined = std::make_unique<WqlCondition>();
        joined->kind = kind;
        joined->left = std::move(left);
        joined->right = std::move(right);
        return joined;
    }

    std::unique_ptr<WqlCondition> Condition() {
        std::unique_ptr<WqlCondition> left = Term();
        while (left != nullptr && TakeKeyword(u"OR")) {
            std::unique_ptr<WqlCondition> right = Term();
            if (right == nullptr) {
                return nullptr;
            }
            left = Join(WqlCondition::Kind::Or, std::move(left), std::move(right));
        }
        return left;
    }

    std::unique_ptr<WqlCondition> Term() {
        std::unique_ptr<WqlCondition> left = Factor();
        while (left != nullptr && TakeKeyword(u"AND")) {
            std::unique_ptr<WqlCondition> right = Factor();
            if (right == nullptr) {
                return nullptr;
            }
            left = Join(WqlCondition::Kind::And, std::move(left), std::move(right));
        }
        return left;
    }

    std::unique_ptr<WqlCondition> Factor() {
        if (TakeKeyword(u"NOT")) {
            std::unique_ptr<WqlCondition> inner = Nested([this] { return Factor(); });
            if (inner == nullptr) {
                return nullptr;
            }
            return Join(WqlCondition::Kind::Not, std::move(inner), nullptr);
        }
        if (TakeSymbol(u"(")) {
            std::unique_ptr<WqlCondition> inner = Nested([this] { return Condition(); });
            if (inner == nullptr || !TakeSymbol(u")")) {
                return nullptr;
            }
            return inner;
        }
        return Test();
    }

    // Parses one level further in, or refuses past kMaxNesting.
    template <typename Parse>
    std::unique_ptr<WqlCondition> Nested(Parse parse) {
        if (nesting_ == kMaxNesting) {
            return nullptr;
        }
        ++nesting_;
        std::unique_ptr<WqlCondition> inner = parse();
        --nesting_;
        return inner;
    }

    bool Literal(WqlLiteral* literal) {
        const Token& token = Peek();
        if (token.kind == TokenKind::String) {
            literal->kind = WqlLiteral::Kind::String;
            literal->text = token.text;
        } else if (token.kind == TokenKind::Number) {
            if (!ParseNumber(token.text, literal)) {
                return false;
            }
        } else if (IsKeywordToken(u"TRUE") || IsKeywordToken(u"FALSE")) {
            literal->kind = WqlLiteral::Kind::Boolean;
            literal->boolean = IsKeywordToken(u"TRUE");
        } else if (IsKeywordToken(u"NULL")) {
            literal->kind = WqlLiteral::Kind::Null;
        } else {
            return false;
        }
        Advance();
        return true;
    }

    bool Operator(WqlOperator* op) {
        struct Spelling {
            const char16_t* text;
            WqlOperator op;
        };
        static const Spelling kOperators[] = {
            {u"=", WqlOperator::Equal},          {u"<>", WqlOperator::NotEqual},
            {u"!=", WqlOperator::NotEqual},      {u"<", WqlOperator::Less},
            {u">", WqlOperator::Greater},        {u"<=", WqlOperator::LessOrEqual},
            {u">=", WqlOperator::GreaterOrEqual}};
        for (const Spelling& spelling : kOperators) {
            if (TakeSymbol(spelling.text)) {
                *op = spelling.op;
                return true;
            }
        }
        return false;
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

    // A comparison, with NULL turned into IS [NOT] NULL.
    std::unique_ptr<WqlCondition> Comparison(std::u16string property, WqlOperator op,
                                             WqlLiteral literal) {
        auto test = std::make_unique<WqlCondition>();
        test->property = std::move(property);
        if (literal.kind == WqlLiteral::Kind::Null) {
            if (op != WqlOperator::Equal && op != WqlOperator::NotEqual) {
                return nullptr;
            }
            test->kind = op == WqlOperator::Equal ? WqlCondition::Kind::IsNull
                                                  : WqlCondition::Kind::IsNotNull;
            return test;
        }
        test->kind = WqlCondition::Kind::Compare;
        test->op = op;
        test->literal = std::move(literal);
        return test;
    }

    std::unique_ptr<WqlCondition> Test() {
        if (++tests_ > kMaxTests) {
            return nullptr;
        }
        std::u16string property;
        if (Name(&property)) {
            if (TakeKeyword(u"IS")) {
                const bool negated = TakeKeyword(u"NOT");
                if (!TakeKeyword(u"NULL")) {
                    return nullptr;
                }
                auto test = std::make_unique<WqlCondition>();
                test->kind = negated ? WqlCondition::Kind::IsNotNull : WqlCondition::Kind::IsNull;
                test->property = std::move(property);
                return test;
            }
            WqlLiteral literal;
            if (TakeKeyword(u"LIKE")) {
                if (Peek().kind != TokenKind::String || !Literal(&literal)) {
                    return nullptr;
                }
                return Comparison(std::move(property), WqlOperator::Like, std::move(literal));
            }
            WqlOperator op = WqlOperator::Equal;
            if (!Operator(&op) || !Literal(&literal)) {
                return nullptr;
            }
            return Comparison(std::move(property), op, std::move(literal));
        }
        WqlLiteral literal;
        WqlOperator op = WqlOperator::Equal;
        if (!Literal(&literal) || !Operator(&op) || !Name(&property)) {
            return nullptr;
        }
        return Comparison(std::move(property), TurnedAround(op), std::move(literal));
    }

    std::vector<Token> tokens_;
    size_t at_ = 0;
    int nesting_ = 0;   // NOT and parentheses open around the current factor
    size_t tests_ = 0;  // tests parsed so far
};

const char* OperatorText(WqlOperator op) {
    switch (op) {
        case WqlOperator::Equal:
            return "=";
        case WqlOperator::NotEqual:
            return "<>";
        case WqlOperator::Less:
            return "<";
        case WqlOperator::Greater:
            return ">";
        case WqlOperator::LessOrEqual:
            return "<=";
        case WqlOperator::GreaterOrEqual:
            return ">=";
        case WqlOperator::Like:
            return "LIKE";
    }
    return "?";
}

std::string LiteralText(const WqlLiteral& literal) {
    switch (literal.kind) {
        case WqlLiteral::Kind::String:
            return "'" + Utf16ToUtf8(literal.text) + "'";
        case WqlLiteral::Kind::Integer: {
            const bool negative = literal.integer < 0;
            unsigned __int128 magnitude = negative
                                              ? -static_cast<unsigned __int128>(literal.integer)
                                              : static_cast<unsigned __int128>(literal.integer);
            std::string digits;
            do {
                digits.insert(digits.begin(), static_cast<char>('0' + (magnitude % 10)));
                magnitude /= 10;
            } while (magnitude != 0);
            return negative ? "-" + digits : digits;
        }
        case WqlLiteral::Kind::Real: {
            char text[64];
            std::snprintf(text, sizeof(text), "%g", literal.real);
            return text;
        }
        case WqlLiteral::Kind::Boolean:
            return literal.boolean ? "TRUE" : "FALSE";
        case WqlLiteral::Kind::Null:
            return "NULL";
    }
    return "?";
}

// One element of a LIKE pattern.
struct LikeItem {
    enum class Kind { AnyRun, AnyOne, Set, Unit } kind;
    char16_t unit;                                      // Unit, folded
    std::vector<std::pair<char16_t, char16_t>> ranges;  // Set, folded
    bool negated;                                       // Set
    bool Matches(char16_t c) const {
        const char16_t folded = Fold(c);
        switch (kind) {
            case Kind::AnyOne:
                return true;
            case Kind::Unit:
                return folded == unit;
            case Kind::Set: {
                bool found = false;
                for (const auto& range : ranges) {
                    found = found || (folded >= range.first && folded <= range.second);
                }
                return found != negated;
            }
            case Kind::AnyRun:
                break;
        }
        return false;
    }
};

// The pattern as items: "%" (a run of them is one), "_", "[set]" ("[^set]",
// ranges "a-f"), or a unit standing for itself (an unclosed "[" too).
std::vector<LikeItem> LikeItems(const std::u16string& pattern) {
    std::vector<LikeItem> items;
    for (size_t p = 0; p < pattern.size();) {
        const char16_t c = pattern[p];
        LikeItem item{LikeItem::Kind::Unit, Fold(c), {}, false};
        if (c == u'%') {
            item.kind = LikeItem::Kind::AnyRun;
            if (items.empty() || items.back().kind != LikeItem::Kind::AnyRun) {
                items.push_back(item);
            }
            ++p;
            continue;
        }
        if (c == u'_') {
            item.kind = LikeItem::Kind::AnyOne;
        } else if (c == u'[' && pattern.find(u']', p + 1) != std::u16string::npos) {
            const size_t close = pattern.find(u']', p + 1);
            size_t at = p + 1;
            item.kind = LikeItem::Kind::Set;
            item.negated = at < close && pattern[at] == u'^';
            if (item.negated) {
                ++at;
            }
            while (at < close) {
                const char16_t low = Fold(pattern[at]);
                char16_t high = low;
                if (at + 2 < close && pattern[at + 1] == u'-') {
                    high = Fold(pattern[at + 2]);
                    at += 3;
                } else {
                    ++at;
                }
                item.ranges.emplace_back(low, high);
            }
            items.push_back(std::move(item));
            p = close + 1;
            continue;
        }
        items.push_back(std::move(item));
        ++p;
    }
    return items;
}

}  // namespace

HRESULT WqlParse(const std::u16string& text, WqlQuery* query) {
    std::vector<Token> tokens;
    if (!Tokenize(text, &tokens)) {
        return WBEM_E_INVALID_QUERY;
    }
    Parser parser(std::move(tokens));
    WqlQuery parsed;
    if (!parser.Query(&parsed)) {
        return WBEM_E_INVALID_QUERY;
    }
    *query = std::move(parsed);
    return S_OK;
}

std::string WqlDescribe(const WqlCondition& condition) {
    switch (condition.kind) {
        case WqlCondition::Kind::And:
            return "(" + WqlDescribe(*condition.left) + " AND " + WqlDescribe(*condition.right) +
                   ")";
        case WqlCondition::Kind::Or:
            return "(" + WqlDescribe(*condition.left) + " OR " + WqlDescribe(*condition.right) +
                   ")";
        case WqlCondition::Kind::Not:
            return "(NOT " + WqlDescribe(*condition.left) + ")";
        case WqlCondition::Kind::IsNull:
            return "(" + Utf16ToUtf8(condition.property) + " IS NULL)";
        case WqlCondition::Kind::IsNotNull:
            return "(" + Utf16ToUtf8(condition.property) + " IS NOT NULL)";
        case WqlCondition::Kind::Compare:
            return "(" + Utf16ToUtf8(condition.property) + " " + OperatorText(condition.op) + " " +
                   LiteralText(condition.literal) + ")";
    }
    return "?";
}

bool WqlLikeMatches(const std::u16string& text, const std::u16string& pattern) {
    // matched[t]: the items so far match the first t units of the text. One pass
    // per item, so the time is the text's length times the pattern's, whatever
    // the pattern.
    const std::vector<LikeItem> items = LikeItems(pattern);
    std::vector<char> matched(text.size() + 1, 0);
    matched[0] = 1;
    for (const LikeItem& item : items) {
        if (item.kind == LikeItem::Kind::AnyRun) {
            for (size_t t = 1; t <= text.size(); ++t) {
                matched[t] = matched[t] || matched[t - 1];
            }
            continue;
        }
        for (size_t t = text.size(); t > 0; --t) {
            matched[t] = matched[t - 1] && item.Matches(text[t - 1]);
        }
        matched[0] = 0;
    }
    return matched[text.size()] != 0;
}

int WqlCompareFolded(const std::u16string& left, const std::u16string& right) {
    const size_t common = left.size() < right.size() ? left.size() : right.size();
    for (size_t i = 0; i < common; ++i) {
        const char16_t a = Fold(left[i]);
        const char16_t b = Fold(right[i]);
        if (a != b) {
            return a < b ? -1 : 1;
        }
    }
    if (left.size() == right.size()) {
        return 0;
    }
    return left.size() < right.size() ? -1 : 1;
}

bool WqlSameName(const std::u16string& left, const std::u16string& right) {
    return left.size() == right.size() && WqlCompareFolded(left, right) == 0;
}
