// WQL, the query language of WMI, as far as the posix WMI client reads it: data
// queries of the form
//
//   query      := SELECT columns FROM class [WHERE condition]
//   columns    := "*" | name {"," name}
//   condition  := term {OR term}
//   term       := factor {AND factor}
//   factor     := NOT factor | "(" condition ")" | test
//   test       := name IS [NOT] NULL
//               | name LIKE string
//               | name op literal | literal op name
//   op         := "=" | "<>" | "!=" | "<" | ">" | "<=" | ">="
//   literal    := string | number | TRUE | FALSE | NULL
//
// NOT binds tighter than AND, AND tighter than OR. Keywords and names are
// case-insensitive; a name is a letter or "_" followed by letters, digits and "_".
// Strings are quoted with ' or " and a backslash takes the next character as it
// is (\' \" \\). Numbers are decimal, optionally signed, with an optional fraction
// and exponent. "= NULL" and "<>"/"!=" NULL mean IS NULL and IS NOT NULL; NULL
// with any other operator is refused. A LIKE pattern takes "%" for any run of
// characters, "_" for one character and "[...]" for one of a set ("[a-f]",
// "[^0-9]"). Anything else (ASSOCIATORS OF, ISA, a property compared with a
// property, text after the query) is refused with WBEM_E_INVALID_QUERY, and so is
// a condition nested more than 100 deep (NOT and parentheses) or with more than
// 1000 tests: no statement needs that much, and every walk over a condition stays
// within a bounded depth of calls.
#ifndef OSTREL_PLATFORM_POSIX_WQL_PARSER_H
#define OSTREL_PLATFORM_POSIX_WQL_PARSER_H

#include <memory>
#include <string>
#include <vector>

#include "platform/posix/win32_base.h"

enum class WqlOperator { Equal, NotEqual, Less, Greater, LessOrEqual, GreaterOrEqual, Like };

struct WqlLiteral {
    enum class Kind { String, Integer, Real, Boolean, Null };
    Kind kind = Kind::Null;
    std::u16string text;   // String
    __int128 integer = 0;  // Integer (holds every sint64 and uint64 value)
    double real = 0;       // Real
    bool boolean = false;  // Boolean
};

struct WqlCondition {
    enum class Kind { And, Or, Not, Compare, IsNull, IsNotNull };
    Kind kind = Kind::Compare;
    std::unique_ptr<WqlCondition> left;   // And, Or, Not
    std::unique_ptr<WqlCondition> right;  // And, Or
    std::u16string property;              // Compare, IsNull, IsNotNull
    WqlOperator op = WqlOperator::Equal;  // Compare: property op literal
    WqlLiteral literal;                   // Compare
};

struct WqlQuery {
    std::u16string className;
    bool allColumns = false;
    std::vector<std::u16string> columns;  // as written, when not allColumns
    std::unique_ptr<WqlCondition> where;  // null without WHERE
};

// Parses `text` into *query: S_OK, or WBEM_E_INVALID_QUERY (0x80041017) for
// anything outside the grammar above. A test with the literal on the left is
// stored turned around ('a' < Name becomes Name > 'a').
HRESULT WqlParse(const std::u16string& text, WqlQuery* query);

// The condition in a fully parenthesised form that shows how it was grouped, for
// example "((Name = 'a') OR ((Size > 3) AND (NOT (Tag IS NULL))))".
std::string WqlDescribe(const WqlCondition& condition);

// Whether `text` matches the LIKE `pattern`, without regard to case.
bool WqlLikeMatches(const std::u16string& text, const std::u16string& pattern);

// Case-insensitive comparison of names and text, as WMI compares them: ASCII and
// the Latin-1 letters fold to upper case. Negative, 0 or positive.
int WqlCompareFolded(const std::u16string& left, const std::u16string& right);
bool WqlSameName(const std::u16string& left, const std::u16string& right);

#endif  // OSTREL_PLATFORM_POSIX_WQL_PARSER_H
