// Code page conversions between UTF-8 and UTF-16 with the count rules the library
// relies on: -1 counts the terminator, a destination size of 0 asks for the size,
// a destination that is too small fails with ERROR_INSUFFICIENT_BUFFER, and a URN
// with a character outside ASCII does not fit in as many bytes as it has units.
#include <gtest/gtest.h>

#include <string>

#include "platform/win32.h"

namespace {

using WString = std::basic_string<WCHAR>;

struct ToWideRow {
    const char* bytes;
    int count;
    DWORD flags;
    int result;   // characters, or 0 for a failure
    DWORD error;  // last error after a failure
    WString text;
};

TEST(MultiByteToWideChar, Utf8CountsAndFailures) {
    const WCHAR accented[] = {WSTR('h'), 0x00E9, 0};
    const WCHAR outside[] = {0xD83D, 0xDE00, 0};  // U+1F600 as a surrogate pair
    const WCHAR replaced[] = {WSTR('a'), 0xFFFD, WSTR('b'), 0};
    const ToWideRow rows[] = {
        {"abc", -1, 0, 4, 0, WString(WSTR("abc")) + WString(1, 0)},
        {"abc", 3, 0, 3, 0, WSTR("abc")},
        {"abc", 2, 0, 2, 0, WSTR("ab")},
        {"h\xC3\xA9", 3, 0, 2, 0, accented},
        {"\xF0\x9F\x98\x80", 4, 0, 2, 0, outside},
        // ill-formed bytes become U+FFFD unless an error is asked for
        {"a\xFF"
         "b",
         3, 0, 3, 0, replaced},
        {"a\xFF"
         "b",
         3, MB_ERR_INVALID_CHARS, 0, ERROR_NO_UNICODE_TRANSLATION, WSTR("")},
        {"\xC3", 1, MB_ERR_INVALID_CHARS, 0, ERROR_NO_UNICODE_TRANSLATION, WSTR("")},
        // a source count of 0 is refused
        {"abc", 0, 0, 0, ERROR_INVALID_PARAMETER, WSTR("")},
    };
    for (const ToWideRow& row : rows) {
        WCHAR buffer[8] = {};
        SetLastError(0);
        const int result = MultiByteToWideChar(CP_UTF8, row.flags, row.bytes, row.count, buffer, 8);
        EXPECT_EQ(row.result, result) << row.bytes;
        if (result > 0) {
            EXPECT_TRUE(WString(buffer, result) == row.text) << row.bytes;
        } else {
            EXPECT_EQ(row.error, GetLastError()) << row.bytes;
        }
    }
}

TEST(MultiByteToWideChar, SizeQueryAndTooSmallADestination) {
    EXPECT_EQ(4, MultiByteToWideChar(CP_UTF8, 0, "abc", -1, nullptr, 0));
    EXPECT_EQ(3, MultiByteToWideChar(CP_UTF8, 0, "abc", 3, nullptr, 0));
    EXPECT_EQ(2, MultiByteToWideChar(CP_UTF8, 0, "h\xC3\xA9", 3, nullptr, 0));
    WCHAR buffer[3];
    SetLastError(0);
    EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, 0, "abc", -1, buffer, 3));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
    EXPECT_EQ(3, MultiByteToWideChar(CP_UTF8, 0, "abc", 3, buffer, 3));
}

TEST(MultiByteToWideChar, AnsiCodePageCarriesAscii) {
    WCHAR buffer[8] = {};
    EXPECT_EQ(4, MultiByteToWideChar(CP_ACP, 0, "abc", -1, buffer, 8));
    EXPECT_TRUE(WString(buffer) == WSTR("abc"));
}

TEST(WideCharToMultiByte, UrnFitsExactlyOnlyWhenItIsAscii) {
    const WCHAR* urn = WSTR("urn:st:uuid:0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0");
    const int units = lstrlenW(urn);
    std::string bytes(units, 'X');
    EXPECT_EQ(units,
              WideCharToMultiByte(CP_UTF8, 0, urn, units, &bytes[0], units, nullptr, nullptr));
    EXPECT_EQ("urn:st:uuid:0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0", bytes);

    // one character that takes two bytes in UTF-8 no longer fits in `units` bytes
    const WCHAR accented[] = {WSTR('u'), WSTR('r'), WSTR('n'), 0x00E9, 0};
    std::string four(4, 'X');
    SetLastError(0);
    EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, 0, accented, 4, &four[0], 4, nullptr, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
    EXPECT_EQ(5, WideCharToMultiByte(CP_UTF8, 0, accented, 4, nullptr, 0, nullptr, nullptr));
}

TEST(WideCharToMultiByte, CountsEncodingsAndFailures) {
    struct Row {
        WString text;
        int count;
        DWORD flags;
        int result;
        DWORD error;
        std::string bytes;
    };
    const WCHAR outside[] = {0xD83D, 0xDE00, 0};
    const WCHAR lone[] = {WSTR('a'), 0xD800, WSTR('b'), 0};
    const Row rows[] = {
        {WSTR("abc"), -1, 0, 4, 0, std::string("abc", 4)},
        {WSTR("abc"), 2, 0, 2, 0, "ab"},
        {outside, 2, 0, 4, 0, "\xF0\x9F\x98\x80"},
        // an unpaired surrogate becomes U+FFFD unless an error is asked for
        {lone, 3, 0, 5, 0,
         "a\xEF\xBF\xBD"
         "b"},
        {lone, 3, WC_ERR_INVALID_CHARS, 0, ERROR_NO_UNICODE_TRANSLATION, ""},
        {WSTR("abc"), 0, 0, 0, ERROR_INVALID_PARAMETER, ""},
    };
    for (const Row& row : rows) {
        char buffer[16] = {};
        SetLastError(0);
        const int result = WideCharToMultiByte(CP_UTF8, row.flags, row.text.c_str(), row.count,
                                               buffer, 16, nullptr, nullptr);
        EXPECT_EQ(row.result, result) << row.bytes;
        if (result > 0) {
            EXPECT_EQ(row.bytes, std::string(buffer, result));
        } else {
            EXPECT_EQ(row.error, GetLastError()) << row.bytes;
        }
    }
}

}  // namespace
