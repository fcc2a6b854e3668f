// WQL: how conditions group (NOT over AND over OR, parentheses), quoting, LIKE
// patterns, literals on either side, what is refused with which code, and how the
// comparisons meet WMI's value types when a query runs.
#include "platform/posix/wbem/wql_parser.h"

#include <string>
#include <vector>

#include "wbem_test_support.h"

namespace {

using Strings = std::vector<std::string>;

// The WHERE clause of `statement` as WqlDescribe shows it, "<invalid>" when the
// statement is refused and "<none>" without WHERE.
std::string Grouping(const char16_t* statement) {
    WqlQuery query;
    const HRESULT hr = WqlParse(statement, &query);
    if (hr != S_OK) {
        EXPECT_EQ(WBEM_E_INVALID_QUERY, hr);
        return "<invalid>";
    }
    return query.where == nullptr ? "<none>" : WqlDescribe(*query.where);
}

TEST(WqlParser, NotBindsTighterThanAndWhichBindsTighterThanOr) {
    EXPECT_EQ("((A = 1) OR ((B = 2) AND (C = 3)))",
              Grouping(u"SELECT * FROM T WHERE A = 1 OR B = 2 AND C = 3"));
    EXPECT_EQ("(((A = 1) AND (B = 2)) OR (C = 3))",
              Grouping(u"SELECT * FROM T WHERE A = 1 AND B = 2 OR C = 3"));
    EXPECT_EQ("(((A = 1) OR (B = 2)) AND (C = 3))",
              Grouping(u"SELECT * FROM T WHERE (A = 1 OR B = 2) AND C = 3"));
    EXPECT_EQ("((NOT (A = 1)) AND (B = 2))",
              Grouping(u"SELECT * FROM T WHERE NOT A = 1 AND B = 2"));
    EXPECT_EQ("(NOT ((A = 1) AND (B = 2)))",
              Grouping(u"SELECT * FROM T WHERE NOT (A = 1 AND B = 2)"));
    EXPECT_EQ("(((A = 1) OR (B = 2)) OR (C = 3))",
              Grouping(u"SELECT * FROM T WHERE A = 1 OR B = 2 OR C = 3"));
    EXPECT_EQ("(NOT (NOT (A IS NULL)))", Grouping(u"SELECT * FROM T WHERE NOT NOT A IS NULL"));
}

TEST(WqlParser, KeywordsAndNamesInAnyCaseAndLiteralsOnEitherSide) {
    WqlQuery query;
    ASSERT_EQ(S_OK, WqlParse(u"select name,DeviceID from win32_processor where  3<Level", &query));
    EXPECT_EQ(u"win32_processor", query.className);
    EXPECT_FALSE(query.allColumns);
    EXPECT_EQ((std::vector<std::u16string>{u"name", u"DeviceID"}), query.columns);
    EXPECT_EQ("(Level > 3)", WqlDescribe(*query.where));
    EXPECT_EQ("(Size <= -1.5)", Grouping(u"SELECT * FROM T WHERE -1.5 >= Size"));
    EXPECT_EQ("(Size <> 18446744073709551615)",
              Grouping(u"SELECT * FROM T WHERE Size != 18446744073709551615"));
    EXPECT_EQ("(Flag = TRUE)", Grouping(u"SELECT * FROM T WHERE Flag = true"));
    EXPECT_EQ("(Tag IS NULL)", Grouping(u"SELECT * FROM T WHERE Tag = NULL"));
    EXPECT_EQ("(Tag IS NOT NULL)", Grouping(u"SELECT * FROM T WHERE Tag <> null"));
    EXPECT_EQ("<none>", Grouping(u"\tSELECT\n*\r\nFROM T\n"));
}

TEST(WqlParser, StringsInEitherQuoteWithBackslashEscapes) {
    EXPECT_EQ("(Name = 'O'Brien')", Grouping(u"SELECT * FROM T WHERE Name = \"O'Brien\""));
    EXPECT_EQ("(Name = 'say \"hi\"')", Grouping(u"SELECT * FROM T WHERE Name = 'say \"hi\"'"));
    EXPECT_EQ("(Name = 'it's')", Grouping(u"SELECT * FROM T WHERE Name = 'it\\'s'"));
    EXPECT_EQ("(Path = 'C:\\Windows')", Grouping(u"SELECT * FROM T WHERE Path = 'C:\\\\Windows'"));
    EXPECT_EQ("(Name = 'a OR b = 'c')", Grouping(u"SELECT * FROM T WHERE Name = \"a OR b = 'c\""));
    EXPECT_EQ("(Name = '')", Grouping(u"SELECT * FROM T WHERE Name = ''"));
}

TEST(WqlParser, RefusesWhatIsOutsideTheGrammar) {
    const char16_t* const refused[] = {
        u"",
        u"SELECT",
        u"SELECT * FROM",
        u"SELECT * Win32_BIOS",
        u"SELECT *, Name FROM T",
        u"SELECT Name,, Size FROM T",
        u"SELECT Name Size FROM T",
        u"SELECT * FROM T WHERE",
        u"SELECT * FROM T WHERE Name",
        u"SELECT * FROM T WHERE Name =",
        u"SELECT * FROM T WHERE (Name = 1",
        u"SELECT * FROM T WHERE Name = 1)",
        u"SELECT * FROM T extra",
        u"SELECT * FROM T WHERE A = B",
        u"SELECT * FROM T WHERE 1 = 1",
        u"SELECT * FROM T WHERE Name LIKE 3",
        u"SELECT * FROM T WHERE Name < NULL",
        u"SELECT * FROM T WHERE Name IS 3",
        u"SELECT * FROM T WHERE Name = 'open",
        u"SELECT * FROM T WHERE Size = 18446744073709551616",
        u"SELECT * FROM T WHERE Size = 1.2.3",
        u"SELECT * FROM T WHERE Name == 'a'",
        u"SELECT * FROM T WHERE Name = 'a' AND",
        u"SELECT * FROM 3T",
        u"SELECT * FROM Select",
        u"SELECT * FROM T WHERE Name ISA 'x'",
        u"ASSOCIATORS OF {Win32_Processor.DeviceID='CPU0'}",
        u"SELECT * FROM T; DROP",
    };
    for (const char16_t* statement : refused) {
        WqlQuery query;
        EXPECT_EQ(WBEM_E_INVALID_QUERY, WqlParse(statement, &query)) << Utf16ToUtf8(statement);
    }
}

// Conditions nest at most 100 deep and hold at most 1000 tests: deeper or longer
// ones are refused, and one nested a hundred thousand deep is refused rather than
// overflowing the stack of the recursive descent (or of any walk over the tree).
TEST(WqlParser, NestingAndLengthOfConditionsAreBounded) {
    auto nested = [](const char16_t* open, int depth, const char16_t* close) {
        std::u16string statement = u"SELECT * FROM T WHERE ";
        for (int i = 0; i < depth; ++i) {
            statement += open;
        }
        statement += u"A = 1";
        for (int i = 0; i < depth; ++i) {
            statement += close;
        }
        return statement;
    };
    auto chain = [](int tests) {
        std::u16string statement = u"SELECT * FROM T WHERE A = 1";
        for (int i = 1; i < tests; ++i) {
            statement += i % 2 == 0 ? u" AND A = 1" : u" OR NOT A = 1";
        }
        return statement;
    };
    WqlQuery query;
    EXPECT_EQ(S_OK, WqlParse(nested(u"(", 100, u")"), &query));
    EXPECT_EQ(S_OK, WqlParse(nested(u"NOT ", 100, u""), &query));
    EXPECT_EQ(S_OK, WqlParse(nested(u"(NOT ", 50, u")"), &query));
    EXPECT_EQ(S_OK, WqlParse(chain(1000), &query));
    EXPECT_EQ(WBEM_E_INVALID_QUERY, WqlParse(nested(u"(", 101, u")"), &query));
    EXPECT_EQ(WBEM_E_INVALID_QUERY, WqlParse(nested(u"NOT ", 101, u""), &query));
    EXPECT_EQ(WBEM_E_INVALID_QUERY, WqlParse(nested(u"(NOT ", 51, u")"), &query));
    EXPECT_EQ(WBEM_E_INVALID_QUERY, WqlParse(chain(1001), &query));
    EXPECT_EQ(WBEM_E_INVALID_QUERY, WqlParse(nested(u"(", 100000, u")"), &query));
}

TEST(WqlParser, LikePatterns) {
    struct Case {
        const char16_t* text;
        const char16_t* pattern;
        bool matches;
    };
    const Case cases[] = {
        {u"Intel(R) Xeon(R)", u"intel%", true},
        {u"Intel", u"%TEL", true},
        {u"Intel", u"%xeon%", false},
        {u"CPU0", u"CPU_", true},
        {u"CPU10", u"CPU_", false},
        {u"CPU", u"CPU_", false},
        {u"", u"%", true},
        {u"", u"", true},
        {u"a", u"", false},
        {u"abc", u"a%%c", true},
        {u"disk C", u"disk [a-d]", true},
        {u"disk E", u"disk [a-d]", false},
        {u"disk E", u"disk [^a-d]", true},
        {u"a[b", u"a[b", true},
        {u"x_y", u"x_y", true},
        {u"\u00e9t\u00e9", u"\u00c9T\u00c9", true},
        {u"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", u"%a%a%a%a%a%a%a%a%b", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.matches, WqlLikeMatches(c.text, c.pattern))
            << Utf16ToUtf8(c.text) << " LIKE " << Utf16ToUtf8(c.pattern);
    }
    // The pattern's cost grows with its length, not with its number of "%".
    const std::u16string text(20000, u'a');
    std::u16string pattern;
    for (int i = 0; i < 200; ++i) {
        pattern += u"%a";
    }
    EXPECT_FALSE(WqlLikeMatches(text, pattern + u"b"));
    EXPECT_TRUE(WqlLikeMatches(text, pattern));
}

using WqlEvaluation = WbemTest;

// A table whose rows tell the groupings apart: a OR (b AND c) and (a OR b) AND c
// differ on the rows (1, 0, 0) and (0, 1, 0)... and the comparisons of each type.
void PutTruthTable() {
    std::vector<std::vector<WbemValue>> rows;
    for (int bits = 0; bits < 8; ++bits) {
        rows.push_back(
            {WbemValue::Text(u"row" + std::u16string(1, static_cast<char16_t>(u'0' + bits))),
             WbemValue::I4(bits >> 2 & 1), WbemValue::I4(bits >> 1 & 1), WbemValue::I4(bits & 1)});
    }
    SeamWbemSetTable(
        u"Test_Truth",
        {{u"Name", CIM_STRING}, {u"A", CIM_UINT32}, {u"B", CIM_UINT32}, {u"C", CIM_UINT32}}, rows);
}

Strings Names(const std::vector<ReadRow>& rows) {
    Strings names;
    for (const ReadRow& row : rows) {
        names.push_back(ValueOf(row, "Name"));
    }
    return names;
}

TEST_F(WqlEvaluation, PrecedenceDecidesWhichRowsAreKept) {
    PutTruthTable();
    // A OR (B AND C): rows 3, 4, 5, 6, 7.
    EXPECT_EQ((Strings{"row3", "row4", "row5", "row6", "row7"}),
              Names(Query(u"SELECT Name FROM Test_Truth WHERE A = 1 OR B = 1 AND C = 1")));
    // (A OR B) AND C: rows 3, 5, 7.
    EXPECT_EQ((Strings{"row3", "row5", "row7"}),
              Names(Query(u"SELECT Name FROM Test_Truth WHERE (A = 1 OR B = 1) AND C = 1")));
    // (NOT A) AND B: rows 2, 3.
    EXPECT_EQ((Strings{"row2", "row3"}),
              Names(Query(u"SELECT Name FROM Test_Truth WHERE NOT A = 1 AND B = 1")));
}

TEST_F(WqlEvaluation, ComparisonsFollowTheValueType) {
    SeamWbemSetTable(u"Test_Typed",
                     {{u"Name", CIM_STRING},
                      {u"Big", CIM_UINT64},
                      {u"Mask", CIM_UINT32},
                      {u"Flag", CIM_BOOLEAN},
                      {u"Ratio", CIM_REAL64},
                      {u"Tags", CIM_STRING | CIM_FLAG_ARRAY}},
                     {{WbemValue::Text(u"Alpha"), WbemValue::Text(u"18446744073709551615"),
                       WbemValue::I4(-1), WbemValue::Bool(true), WbemValue::R8(0.5),
                       WbemValue::Array(VT_BSTR, {WbemValue::Text(u"x")})},
                      {WbemValue::Text(u"beta"), WbemValue::Text(u"900"), WbemValue::I4(7),
                       WbemValue::Bool(false), WbemValue::R8(2.0), WbemValue::Null()},
                      {WbemValue::Null(), WbemValue::Null(), WbemValue::Null(), WbemValue::Null(),
                       WbemValue::Null(), WbemValue::Null()}});
    struct Case {
        const char16_t* where;
        Strings names;
    };
    const Case cases[] = {
        {u"Name = 'ALPHA'", {"Alpha"}},
        {u"Name < 'b'", {"Alpha"}},
        {u"Name >= 'B'", {"beta"}},
        {u"Name LIKE '%A'", {"Alpha", "beta"}},
        {u"Big > 1000", {"Alpha"}},  // numeric, not text order
        {u"Big = 18446744073709551615", {"Alpha"}},
        {u"Big < '1000'", {"beta"}},
        {u"Mask = 4294967295", {"Alpha"}},  // a uint32 keeps its 32 bits
        {u"Mask > 5 AND Mask < 10", {"beta"}},
        {u"Flag = TRUE", {"Alpha"}},
        {u"Flag = 0", {"beta"}},
        {u"Ratio < 1", {"Alpha"}},
        {u"Ratio = 2", {"beta"}},
        {u"Tags = 'x'", {}},  // arrays do not compare
        {u"Name = 3", {}},
        {u"Name IS NULL", {"null"}},
        {u"Big IS NOT NULL", {"Alpha", "beta"}},
        {u"Name <> 'beta'", {"Alpha"}},  // no value: no comparison holds
        {u"NOT Name = 'beta'", {"Alpha", "null"}},
    };
    for (const Case& c : cases) {
        const std::u16string statement =
            u"SELECT Name FROM Test_Typed WHERE " + std::u16string(c.where);
        EXPECT_EQ(c.names, Names(Query(statement.c_str()))) << Utf16ToUtf8(c.where);
    }
}

// A string compared with a number holds one only when it is written as WQL writes
// numbers: a sign, digits, a fraction, an exponent, and nothing else. The C
// library's readers take more: "+-1" as 2^64 - 1, " 900" as 900, hexadecimal.
TEST_F(WqlEvaluation, StringsHoldNumbersOnlyInDecimal) {
    SeamWbemSetTable(
        u"Test_Numbers", {{u"Name", CIM_STRING}, {u"Big", CIM_UINT64}, {u"Level", CIM_SINT32}},
        {{WbemValue::Text(u"max"), WbemValue::Text(u"18446744073709551615"), WbemValue::I4(-5)},
         {WbemValue::Text(u"small"), WbemValue::Text(u"900"), WbemValue::I4(0)}});
    struct Case {
        const char16_t* where;
        Strings names;
    };
    const Case cases[] = {
        {u"Big = '900'", {"small"}},
        {u"Big = '+900'", {"small"}},
        {u"Big < '1e3'", {"small"}},
        {u"Big < '1000.'", {"small"}},
        {u"Level = '-.5e1'", {"max"}},
        {u"Big = '+-1'", {}},
        {u"Big <> '+-1'", {}},
        {u"Level < '--5'", {}},
        {u"Big = ' 900'", {}},
        {u"Big = '900 '", {}},
        {u"Big < '0x1.8p10'", {}},
        {u"Big > 'inf'", {}},
        {u"Big = '18446744073709551616'", {}},
        {u"Level < '.'", {}},
        {u"Level < '1e'", {}},
    };
    for (const Case& c : cases) {
        const std::u16string statement =
            u"SELECT Name FROM Test_Numbers WHERE " + std::u16string(c.where);
        EXPECT_EQ(c.names, Names(Query(statement.c_str()))) << Utf16ToUtf8(c.where);
    }
}

TEST_F(WqlEvaluation, ErrorCodesAsWindowsReportsThem) {
    PutTruthTable();
    HRESULT status = S_OK;
    Query(u"SELECT Name FROM", &status);
    EXPECT_EQ(static_cast<HRESULT>(0x80041017), status);  // from ExecQuery
    Query(u"SELECT Name FROM Win32_Nothing", &status);
    EXPECT_EQ(static_cast<HRESULT>(0x80041010), status);  // from the first Next
    Query(u"SELECT Name, Weight FROM Test_Truth", &status);
    EXPECT_EQ(static_cast<HRESULT>(0x80041017), status);  // from the first Next
    Query(u"SELECT __CLASS, Name FROM Test_Truth", &status);
    EXPECT_EQ(WBEM_S_FALSE, status);  // system properties may be named
}

}  // namespace
