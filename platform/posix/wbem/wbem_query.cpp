// Running a parsed WQL query against the providers: the class and the names are
// checked, the rows read, and each row kept when the WHERE clause holds for it.
//
// Comparisons follow the property's value: text compares with a string without
// regard to case; numbers (integers of every width, 64-bit ones given as text,
// reals) compare with a number, or with a string that holds one written in
// decimal; booleans compare with TRUE, FALSE or a number. Any other pairing, an
// array, or a property without a value makes the comparison false. LIKE applies
// to text only. NOT is plain negation: NOT of a comparison that is false for want
// of a value holds.
#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "platform/posix/shared/utf.h"
#include "platform/posix/wbem/wbem_internal.h"

namespace {

enum class Order { Less, Equal, Greater, Unordered };

template <typename T>
Order OrderOf(T left, T right) {
    if (left < right) {
        return Order::Less;
    }
    return left == right ? Order::Equal : Order::Greater;
}

// A number: integral (`integer`) or real.
struct Number {
    bool real = false;
    __int128 integer = 0;
    double value = 0;
};

Order CompareNumbers(const Number& left, const Number& right) {
    if (!left.real && !right.real) {
        return OrderOf(left.integer, right.integer);
    }
    const double a = left.real ? left.value : static_cast<double>(left.integer);
    const double b = right.real ? right.value : static_cast<double>(right.integer);
    if (std::isnan(a) || std::isnan(b)) {
        return Order::Unordered;
    }
    return OrderOf(a, b);
}

bool IsDecimalDigit(char c) {
    return c >= '0' && c <= '9';
}

// Text that is a decimal number and nothing else, as 64-bit properties are given
// and as a WQL number is written: an optional sign, digits, then for a real a
// fraction (digits on at least one side of the point) and/or an exponent. No
// blanks, no second sign, no hexadecimal: the C library's readers would take
// "+-5" as 2^64 - 5 and "0x1p3" as 8.
bool NumberFromText(const std::u16string& text, Number* number) {
    const std::string narrow = Utf16ToUtf8(text);
    const size_t size = narrow.size();
    size_t at = size > 0 && (narrow[0] == '+' || narrow[0] == '-') ? 1 : 0;
    const size_t digitsAt = at;
    while (at < size && IsDecimalDigit(narrow[at])) {
        ++at;
    }
    size_t digits = at - digitsAt;
    bool real = false;
    if (at < size && narrow[at] == '.') {
        real = true;
        for (++at; at < size && IsDecimalDigit(narrow[at]); ++at) {
            ++digits;
        }
    }
    if (digits == 0) {
        return false;
    }
    if (at < size && (narrow[at] == 'e' || narrow[at] == 'E')) {
        real = true;
        ++at;
        if (at < size && (narrow[at] == '+' || narrow[at] == '-')) {
            ++at;
        }
        const size_t exponentAt = at;
        while (at < size && IsDecimalDigit(narrow[at])) {
            ++at;
        }
        if (at == exponentAt) {
            return false;
        }
    }
    if (at != size) {
        return false;
    }
    if (real) {
        number->real = true;
        number->value = std::strtod(narrow.c_str(), nullptr);
        return true;
    }
    // Only digits behind the sign now: strtoull reads them all, and says when they
    // pass 64 bits.
    errno = 0;
    const unsigned long long magnitude = std::strtoull(narrow.c_str() + digitsAt, nullptr, 10);
    if (errno != 0) {
        return false;
    }
    number->integer =
        narrow[0] == '-' ? -static_cast<__int128>(magnitude) : static_cast<__int128>(magnitude);
    return true;
}

bool IsIntegerType(VARTYPE vt) {
    switch (vt) {
        case VT_I1:
        case VT_UI1:
        case VT_I2:
        case VT_UI2:
        case VT_I4:
        case VT_UI4:
        case VT_I8:
        case VT_UI8:
        case VT_INT:
        case VT_UINT:
            return true;
        default:
            return false;
    }
}

// The value as a number, when it is one.
bool NumberFromValue(const WbemValue& value, CIMTYPE cimType, Number* number) {
    if (IsIntegerType(value.vt)) {
        number->integer = value.integer;
        // A uint32 travels in a VT_I4 with its 32 bits as they are.
        if (cimType == CIM_UINT32 && value.vt == VT_I4) {
            number->integer = static_cast<uint32_t>(value.integer);
        }
        return true;
    }
    if (value.vt == VT_R4 || value.vt == VT_R8) {
        number->real = true;
        number->value = value.real;
        return true;
    }
    if (value.vt == VT_BSTR && !value.nullText &&
        (cimType == CIM_SINT64 || cimType == CIM_UINT64)) {
        return NumberFromText(value.text, number);
    }
    return false;
}

bool NumberFromLiteral(const WqlLiteral& literal, Number* number) {
    switch (literal.kind) {
        case WqlLiteral::Kind::Integer:
            number->integer = literal.integer;
            return true;
        case WqlLiteral::Kind::Real:
            number->real = true;
            number->value = literal.real;
            return true;
        case WqlLiteral::Kind::String:
            return NumberFromText(literal.text, number);
        default:
            return false;
    }
}

bool IsNullValue(const WbemValue& value) {
    return value.vt == VT_NULL || value.vt == VT_EMPTY || (value.vt == VT_BSTR && value.nullText);
}

Order Compare(const WbemValue& value, CIMTYPE cimType, const WqlLiteral& literal) {
    if (IsNullValue(value) || (value.vt & VT_ARRAY) != 0) {
        return Order::Unordered;
    }
    if (value.vt == VT_BOOL) {
        bool wanted = false;
        if (literal.kind == WqlLiteral::Kind::Boolean) {
            wanted = literal.boolean;
        } else if (literal.kind == WqlLiteral::Kind::Integer) {
            wanted = literal.integer != 0;
        } else if (literal.kind == WqlLiteral::Kind::String &&
                   (WqlSameName(literal.text, u"TRUE") || WqlSameName(literal.text, u"FALSE"))) {
            wanted = WqlSameName(literal.text, u"TRUE");
        } else {
            return Order::Unordered;
        }
        return OrderOf(value.integer != 0 ? 1 : 0, wanted ? 1 : 0);
    }
    Number left;
    if (NumberFromValue(value, cimType, &left)) {
        Number right;
        if (!NumberFromLiteral(literal, &right)) {
            return Order::Unordered;
        }
        return CompareNumbers(left, right);
    }
    if (value.vt == VT_BSTR && literal.kind == WqlLiteral::Kind::String) {
        const int order = WqlCompareFolded(value.text, literal.text);
        return order < 0 ? Order::Less : (order == 0 ? Order::Equal : Order::Greater);
    }
    return Order::Unordered;
}

bool Holds(WqlOperator op, Order order) {
    switch (op) {
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
        case WqlOperator::Like:
            break;
    }
    return false;
}

// The index of the property `name` in the schema, or false.
bool FindProperty(const WbemClassSchema& schema, const std::u16string& name, size_t* index) {
    for (size_t i = 0; i < schema.properties.size(); ++i) {
        if (WqlSameName(schema.properties[i].name, name)) {
            *index = i;
            return true;
        }
    }
    return false;
}

bool IsSystemPropertyName(const std::u16string& name) {
    for (size_t i = 0; i < kWbemSystemPropertyCount; ++i) {
        if (WqlSameName(name, kWbemSystemProperties[i].name)) {
            return true;
        }
    }
    return false;
}

// Whether every name the condition uses is a property of the schema.
bool NamesKnown(const WqlCondition& condition, const WbemClassSchema& schema) {
    switch (condition.kind) {
        case WqlCondition::Kind::And:
        case WqlCondition::Kind::Or:
            return NamesKnown(*condition.left, schema) && NamesKnown(*condition.right, schema);
        case WqlCondition::Kind::Not:
            return NamesKnown(*condition.left, schema);
        default: {
            size_t index = 0;
            return FindProperty(schema, condition.property, &index);
        }
    }
}

}  // namespace

bool WbemConditionHolds(const WqlCondition& condition, const WbemClassSchema& schema,
                        const WbemRow& row) {
    switch (condition.kind) {
        case WqlCondition::Kind::And:
            return WbemConditionHolds(*condition.left, schema, row) &&
                   WbemConditionHolds(*condition.right, schema, row);
        case WqlCondition::Kind::Or:
            return WbemConditionHolds(*condition.left, schema, row) ||
                   WbemConditionHolds(*condition.right, schema, row);
        case WqlCondition::Kind::Not:
            return !WbemConditionHolds(*condition.left, schema, row);
        default:
            break;
    }
    size_t index = 0;
    if (!FindProperty(schema, condition.property, &index) || index >= row.size()) {
        return false;
    }
    const WbemValue& value = row[index];
    if (condition.kind == WqlCondition::Kind::IsNull) {
        return IsNullValue(value);
    }
    if (condition.kind == WqlCondition::Kind::IsNotNull) {
        return !IsNullValue(value);
    }
    if (condition.op == WqlOperator::Like) {
        return value.vt == VT_BSTR && !value.nullText &&
               WqlLikeMatches(value.text, condition.literal.text);
    }
    return Holds(condition.op, Compare(value, schema.properties[index].type, condition.literal));
}

HRESULT WbemRunQuery(const WqlQuery& query, std::vector<WbemObjectRef>* rows) {
    WbemClassSource source;
    if (!WbemFindClass(query.className, &source)) {
        return WBEM_E_INVALID_CLASS;
    }
    const WbemClassSchema& schema = *source.schema;

    // The properties the objects carry, in the class's order whatever the order of
    // the column list. System properties are carried by every object anyway.
    std::vector<bool> wanted(schema.properties.size(), query.allColumns);
    for (const std::u16string& column : query.columns) {
        size_t index = 0;
        if (FindProperty(schema, column, &index)) {
            wanted[index] = true;
        } else if (!IsSystemPropertyName(column)) {
            return WBEM_E_INVALID_QUERY;
        }
    }
    if (query.where != nullptr && !NamesKnown(*query.where, schema)) {
        return WBEM_E_INVALID_QUERY;
    }
    std::vector<size_t> selected;
    for (size_t i = 0; i < wanted.size(); ++i) {
        if (wanted[i]) {
            selected.push_back(i);
        }
    }

    std::vector<WbemRow> read;
    const HRESULT hr = source.read(&read);
    if (FAILED(hr)) {
        return hr;
    }
    for (WbemRow& row : read) {
        row.resize(schema.properties.size());  // a short row lacks values: VT_NULL
        if (query.where != nullptr && !WbemConditionHolds(*query.where, schema, row)) {
            continue;
        }
        auto object = std::make_shared<WbemObjectData>();
        object->schema = source.schema;
        object->selected = selected;
        object->values.reserve(selected.size());
        for (size_t index : selected) {
            object->values.push_back(std::move(row[index]));
        }
        rows->push_back(std::move(object));
    }
    return S_OK;
}
