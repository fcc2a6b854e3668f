// The bounded string functions the library builds its text with: lengths, counted
// copies and appends, formatted output into a fixed capacity, and the C runtime's
// bounded formatters underneath. Capacities count the terminator; text that does
// not fit is cut to capacity - 1 characters and reported, never written past.
#define STRSAFE_NO_DEPRECATE  // the C runtime's _vsnprintf is checked here too
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/win32.h"
#include "tests/unit/portable/format_calls.h"

namespace {

using WString = std::basic_string<WCHAR>;

constexpr WCHAR kMark = 0x2A2A;  // a character no operation writes on its own
constexpr char kByteMark = '#';

WString Marks(size_t count) {
    return WString(count, kMark);
}

TEST(StringLength, LstrlenCountsCodeUnitsAndTakesNullAsEmpty) {
    EXPECT_EQ(0, lstrlenW(nullptr));
    EXPECT_EQ(0, lstrlenA(nullptr));
    EXPECT_EQ(0, lstrlenW(WSTR("")));
    EXPECT_EQ(3, lstrlenW(WSTR("abc")));
    EXPECT_EQ(3, lstrlenA("abc"));
    const WCHAR pair[] = {0xD83D, 0xDE00, 0};  // one character outside the BMP
    EXPECT_EQ(2, lstrlenW(pair));
}

TEST(StringLength, StringCchLengthNeedsATerminatorWithinTheMaximum) {
    struct Row {
        const WCHAR* text;
        size_t most;
        HRESULT result;
        size_t length;
    };
    const Row rows[] = {
        {WSTR("abc"), STRSAFE_MAX_CCH, S_OK, 3},
        {WSTR("abc"), 4, S_OK, 3},
        {WSTR("abc"), 3, STRSAFE_E_INVALID_PARAMETER, 0},  // no terminator in 3
        {WSTR(""), 1, S_OK, 0},
        {WSTR("abc"), 0, STRSAFE_E_INVALID_PARAMETER, 0},
        {nullptr, STRSAFE_MAX_CCH, STRSAFE_E_INVALID_PARAMETER, 0},
        {WSTR("abc"), static_cast<size_t>(STRSAFE_MAX_CCH) + 1, STRSAFE_E_INVALID_PARAMETER, 0},
    };
    for (const Row& row : rows) {
        size_t length = 99;
        EXPECT_EQ(row.result, StringCchLengthW(row.text, row.most, &length)) << row.most;
        EXPECT_EQ(row.length, length) << row.most;
    }
    size_t length = 99;
    EXPECT_EQ(S_OK, StringCchLengthA("abcd", 5, &length));
    EXPECT_EQ(4u, length);
    EXPECT_EQ(STRSAFE_E_INVALID_PARAMETER, StringCchLengthA("abcd", 4, &length));
    EXPECT_EQ(0u, length);
}

TEST(CountedCopy, CopiesAtMostTheCountAndStopsAtTheTerminator) {
    struct Row {
        const WCHAR* source;
        size_t count;
        size_t capacity;
        HRESULT result;
        const WCHAR* text;
    };
    const Row rows[] = {
        {WSTR("abcdef"), 3, 10, S_OK, WSTR("abc")},
        {WSTR("abcdef"), 6, 10, S_OK, WSTR("abcdef")},
        {WSTR("abcdef"), 10, 10, S_OK, WSTR("abcdef")},  // the terminator comes first
        {WSTR("abcdef"), 0, 10, S_OK, WSTR("")},
        {WSTR("abcdef"), 6, 7, S_OK, WSTR("abcdef")},  // exactly capacity - 1
        {WSTR("abcdef"), 6, 6, STRSAFE_E_INSUFFICIENT_BUFFER, WSTR("abcde")},
        {WSTR("abcdef"), 6, 1, STRSAFE_E_INSUFFICIENT_BUFFER, WSTR("")},
        {WSTR(""), 5, 1, S_OK, WSTR("")},
    };
    for (const Row& row : rows) {
        WString dest = Marks(12);
        EXPECT_EQ(row.result, StringCchCopyNExW(&dest[0], row.capacity, row.source, row.count,
                                                nullptr, nullptr, 0))
            << row.capacity;
        EXPECT_TRUE(WString(dest.c_str()) == row.text) << row.capacity;
        EXPECT_EQ(kMark, dest[row.capacity]) << "nothing written past the capacity";
    }
}

TEST(CountedCopy, FillBehindTheTerminatorAfterSuccess) {
    WString dest = Marks(8);
    EXPECT_EQ(S_OK, StringCchCopyNExW(&dest[0], 8, WSTR("abc"), 3, nullptr, nullptr,
                                      STRSAFE_FILL_BEHIND_NULL));
    EXPECT_TRUE(dest == WString(WSTR("abc")) + WString(5, 0));

    dest = Marks(8);
    EXPECT_EQ(S_OK, StringCchCopyNExW(&dest[0], 7, WSTR("ab"), 5, nullptr, nullptr,
                                      STRSAFE_FILL_BYTE(0xCC)));
    EXPECT_TRUE(dest == WString(WSTR("ab")) + WString(1, 0) + WString(4, 0xCCCC) + Marks(1));

    // after truncation nothing is filled: the terminator is the last character
    dest = Marks(8);
    EXPECT_EQ(STRSAFE_E_INSUFFICIENT_BUFFER,
              StringCchCopyNExW(&dest[0], 4, WSTR("abcdef"), 6, nullptr, nullptr,
                                STRSAFE_FILL_BEHIND_NULL));
    EXPECT_TRUE(dest == WString(WSTR("abc")) + WString(1, 0) + Marks(4));
}

TEST(CountedCopy, EndPointerAndRemainingCount) {
    WCHAR dest[10];
    LPWSTR end = nullptr;
    size_t remaining = 0;
    EXPECT_EQ(S_OK, StringCchCopyNExW(dest, 10, WSTR("abcd"), 4, &end, &remaining, 0));
    EXPECT_EQ(dest + 4, end);
    EXPECT_EQ(6u, remaining);
    EXPECT_EQ(STRSAFE_E_INSUFFICIENT_BUFFER,
              StringCchCopyNExW(dest, 3, WSTR("abcd"), 4, &end, &remaining, 0));
    EXPECT_EQ(dest + 2, end);
    EXPECT_EQ(1u, remaining);
}

TEST(CountedCopy, CopyOntoItsOwnTextCutsItInPlace) {
    WString text = WString(WSTR("Processor Name")) + WString(5, kMark);
    EXPECT_EQ(S_OK, StringCchCopyNExW(&text[0], text.size(), text.c_str(), 9, nullptr, nullptr,
                                      STRSAFE_FILL_BEHIND_NULL));
    EXPECT_TRUE(text == WString(WSTR("Processor")) + WString(10, 0));
}

TEST(CountedCopy, NullSourceWithCountZeroIsEmpty) {
    WString dest = Marks(4);
    EXPECT_EQ(S_OK, StringCchCopyNExW(&dest[0], 4, nullptr, 0, nullptr, nullptr, 0));
    EXPECT_EQ(0, dest[0]);
}

TEST(CountedCopy, RefusesCapacitiesAndCountsAboveTheMaximum) {
    WString dest = Marks(4);
    EXPECT_EQ(STRSAFE_E_INVALID_PARAMETER,
              StringCchCopyNExW(&dest[0], static_cast<size_t>(STRSAFE_MAX_CCH) + 1, WSTR("a"), 1,
                                nullptr, nullptr, 0));
    EXPECT_EQ(STRSAFE_E_INVALID_PARAMETER,
              StringCchCopyNExW(&dest[0], 4, WSTR("a"), static_cast<size_t>(STRSAFE_MAX_CCH) + 1,
                                nullptr, nullptr, 0));
    EXPECT_TRUE(dest == Marks(4));
}

TEST(CountedAppend, AppendsBehindTheExistingText) {
    struct Row {
        const WCHAR* start;
        const WCHAR* source;
        size_t count;
        size_t capacity;
        HRESULT result;
        const WCHAR* text;
    };
    const Row rows[] = {
        {WSTR("CPU0"), WSTR(",CPU1"), 5, 12, S_OK, WSTR("CPU0,CPU1")},
        {WSTR("CPU0"), WSTR(",CPU1"), 2, 12, S_OK, WSTR("CPU0,C")},
        {WSTR(""), WSTR("abc"), 3, 4, S_OK, WSTR("abc")},
        {WSTR("ab"), WSTR("cd"), 2, 5, S_OK, WSTR("abcd")},  // exactly capacity - 1
        {WSTR("ab"), WSTR("cde"), 3, 5, STRSAFE_E_INSUFFICIENT_BUFFER, WSTR("abcd")},
        {WSTR("abcd"), WSTR("e"), 1, 5, STRSAFE_E_INSUFFICIENT_BUFFER, WSTR("abcd")},
        {WSTR("abcd"), WSTR(""), 0, 5, S_OK, WSTR("abcd")},
    };
    for (const Row& row : rows) {
        WString dest = Marks(14);
        std::memcpy(&dest[0], row.start, (lstrlenW(row.start) + 1) * sizeof(WCHAR));
        EXPECT_EQ(row.result, StringCchCatNExW(&dest[0], row.capacity, row.source, row.count,
                                               nullptr, nullptr, 0))
            << row.capacity;
        EXPECT_TRUE(WString(dest.c_str()) == row.text) << row.capacity;
        EXPECT_EQ(kMark, dest[row.capacity]) << "nothing written past the capacity";
    }
}

TEST(CountedAppend, FillsBehindTheTerminatorAndNeedsOneInTheDestination) {
    WString dest = WString(WSTR("ab")) + WString(1, 0) + Marks(5);
    EXPECT_EQ(S_OK, StringCchCatNExW(&dest[0], 8, WSTR("cd"), 2, nullptr, nullptr,
                                     STRSAFE_FILL_BEHIND_NULL));
    EXPECT_TRUE(dest == WString(WSTR("abcd")) + WString(4, 0));

    WString unterminated = Marks(4);
    EXPECT_EQ(STRSAFE_E_INVALID_PARAMETER,
              StringCchCatNExW(&unterminated[0], 4, WSTR("x"), 1, nullptr, nullptr, 0));
    EXPECT_TRUE(unterminated == Marks(4));
}

TEST(NarrowCopy, CopiesUpToTheTerminatorAndCutsAtTheCapacity) {
    struct Row {
        const char* source;
        size_t capacity;
        HRESULT result;
        const char* text;
    };
    const Row rows[] = {
        {"CASetRegDateTime", 32, S_OK, "CASetRegDateTime"},
        {"abcdefghijklmnopqrstuvwxyz01234", 32, S_OK, "abcdefghijklmnopqrstuvwxyz01234"},
        {"abcdefghijklmnopqrstuvwxyz012345", 32, STRSAFE_E_INSUFFICIENT_BUFFER,
         "abcdefghijklmnopqrstuvwxyz01234"},
        {"abc", 1, STRSAFE_E_INSUFFICIENT_BUFFER, ""},
        {"", 1, S_OK, ""},
    };
    for (const Row& row : rows) {
        std::string dest(40, kByteMark);
        EXPECT_EQ(row.result, StringCchCopyA(&dest[0], row.capacity, row.source)) << row.source;
        EXPECT_EQ(std::string(row.text), std::string(dest.c_str())) << row.source;
        EXPECT_EQ(kByteMark, dest[row.capacity]) << row.source;
    }
    std::string dest(4, kByteMark);
    EXPECT_EQ(STRSAFE_E_INVALID_PARAMETER, StringCchCopyA(&dest[0], 0, "abc"));
    EXPECT_EQ(std::string(4, kByteMark), dest) << "a capacity of 0 leaves it untouched";
    EXPECT_EQ(STRSAFE_E_INVALID_PARAMETER,
              StringCchCopyA(&dest[0], static_cast<size_t>(STRSAFE_MAX_CCH) + 1, "abc"));
}

TEST(NarrowCopy, CountedCopyStopsAtTheCountOrAZeroByte) {
    struct Row {
        const char* source;
        size_t count;
        size_t capacity;
        HRESULT result;
        const char* text;
    };
    const char withZero[] = {'a', 'b', '\0', 'c', 'd'};
    const Row rows[] = {
        {"<tag a=\"1\"/>", 12, 13, S_OK, "<tag a=\"1\"/>"},
        {"abcdef", 3, 10, S_OK, "abc"},
        {withZero, 5, 6, S_OK, "ab"},
        {"abcdef", 6, 4, STRSAFE_E_INSUFFICIENT_BUFFER, "abc"},
        {"abcdef", 0, 4, S_OK, ""},
    };
    for (const Row& row : rows) {
        std::string dest(16, kByteMark);
        EXPECT_EQ(row.result, StringCchCopyNA(&dest[0], row.capacity, row.source, row.count));
        EXPECT_EQ(std::string(row.text), std::string(dest.c_str()));
        EXPECT_EQ(kByteMark, dest[row.capacity]);
    }
    std::string dest(4, kByteMark);
    EXPECT_EQ(STRSAFE_E_INVALID_PARAMETER, StringCchCopyNA(&dest[0], 0, "abc", 3));
    EXPECT_EQ(STRSAFE_E_INVALID_PARAMETER,
              StringCchCopyNA(&dest[0], 4, "abc", static_cast<size_t>(STRSAFE_MAX_CCH) + 1));
    EXPECT_EQ(STRSAFE_E_INVALID_PARAMETER,
              StringCchCopyNA(&dest[0], static_cast<size_t>(STRSAFE_MAX_CCH) + 1, "abc", 3));
}

TEST(FormattedOutput, ExactlyCapacityMinusOneFitsAndLongerIsCut) {
    struct Row {
        size_t capacity;
        HRESULT result;
        const char* text;
    };
    // "%s-%d" with "abc" and 42 makes six characters
    const Row rows[] = {
        {10, S_OK, "abc-42"},
        {7, S_OK, "abc-42"},
        {6, STRSAFE_E_INSUFFICIENT_BUFFER, "abc-4"},
        {2, STRSAFE_E_INSUFFICIENT_BUFFER, "a"},
        {1, STRSAFE_E_INSUFFICIENT_BUFFER, ""},
    };
    for (const Row& row : rows) {
        std::string narrow(12, kByteMark);
        EXPECT_EQ(row.result, PrintfA(&narrow[0], row.capacity, "%s-%d", "abc", 42));
        EXPECT_EQ(std::string(row.text), std::string(narrow.c_str())) << row.capacity;
        EXPECT_EQ(kByteMark, narrow[row.capacity]) << row.capacity;

        WString wide = Marks(12);
        EXPECT_EQ(row.result, PrintfW(&wide[0], row.capacity, WSTR("%s-%d"), WSTR("abc"), 42));
        const std::string expected(row.text);
        EXPECT_TRUE(WString(expected.begin(), expected.end()) == WString(wide.c_str()))
            << row.capacity;
        EXPECT_EQ(kMark, wide[row.capacity]) << row.capacity;
    }
}

TEST(FormattedOutput, EmptyOutputFitsACapacityOfOne) {
    char narrow[1] = {kByteMark};
    EXPECT_EQ(S_OK, PrintfA(narrow, 1, "%s", ""));
    EXPECT_EQ('\0', narrow[0]);
    WCHAR wide[1] = {kMark};
    EXPECT_EQ(S_OK, PrintfW(wide, 1, WSTR("")));
    EXPECT_EQ(0, wide[0]);
}

TEST(FormattedOutput, RefusesACapacityOfZeroOrAboveTheMaximum) {
    char narrow[4] = {kByteMark, kByteMark, kByteMark, kByteMark};
    EXPECT_EQ(STRSAFE_E_INVALID_PARAMETER, PrintfA(narrow, 0, "abc"));
    EXPECT_EQ(kByteMark, narrow[0]);
    EXPECT_EQ(STRSAFE_E_INVALID_PARAMETER,
              PrintfA(narrow, static_cast<size_t>(STRSAFE_MAX_CCH) + 1, "abc"));
    WCHAR wide[4] = {kMark, kMark, kMark, kMark};
    EXPECT_EQ(STRSAFE_E_INVALID_PARAMETER, PrintfW(wide, 0, WSTR("abc")));
    EXPECT_EQ(kMark, wide[0]);
    EXPECT_EQ(STRSAFE_E_INVALID_PARAMETER,
              PrintfW(wide, static_cast<size_t>(STRSAFE_MAX_CCH) + 1, WSTR("abc")));
    EXPECT_EQ(STRSAFE_E_INVALID_PARAMETER, StringCchPrintfW(wide, 0, WSTR("%d"), 1));
    EXPECT_EQ(STRSAFE_E_INVALID_PARAMETER, StringCchPrintfA(narrow, 0, "%d", 1));
}

TEST(FormattedOutput, PrintfTakesItsArgumentsDirectly) {
    char narrow[32];
    EXPECT_EQ(S_OK, StringCchPrintfA(narrow, 32, "%s:  %s", "CACreateURN", "started"));
    EXPECT_EQ(std::string("CACreateURN:  started"), narrow);
    WCHAR wide[32];
    EXPECT_EQ(S_OK, StringCchPrintfW(wide, 32, WSTR("%wS_%wS"), WSTR("BIOS"), WSTR("Version")));
    EXPECT_TRUE(WString(wide) == WSTR("BIOS_Version"));
    EXPECT_EQ(STRSAFE_E_INSUFFICIENT_BUFFER, StringCchPrintfW(wide, 5, WSTR("%d"), 123456));
    EXPECT_TRUE(WString(wide) == WSTR("1234"));
}

TEST(RuntimeFormatter, TerminatesOnlyWhenThereIsRoomAndReportsOverflowAsMinusOne) {
    struct Row {
        size_t count;
        int result;
        const char* stored;  // what the first characters of the buffer hold
        bool terminated;
    };
    const Row rows[] = {
        {8, 5, "hello", true},  {6, 5, "hello", true},
        {5, 5, "hello", false},  // exactly full: no terminator
        {4, -1, "hell", false},  // too long: the first count characters, then -1
        {0, -1, "", false},
    };
    for (const Row& row : rows) {
        std::string narrow(10, kByteMark);
        EXPECT_EQ(row.result, BoundedA(&narrow[0], row.count, "%s", "hello")) << row.count;
        const size_t stored = std::strlen(row.stored);
        EXPECT_EQ(std::string(row.stored), narrow.substr(0, stored)) << row.count;
        EXPECT_EQ(row.terminated ? '\0' : kByteMark, narrow[stored]) << row.count;

        WString wide = Marks(10);
        EXPECT_EQ(row.result, BoundedW(&wide[0], row.count, WSTR("%s"), WSTR("hello")))
            << row.count;
        EXPECT_EQ(row.terminated ? 0 : kMark, wide[stored]) << row.count;
    }
}

TEST(RuntimeFormatter, EmptyOutputIntoACountOfZeroFits) {
    char narrow[2] = {kByteMark, kByteMark};
    EXPECT_EQ(0, BoundedA(narrow, 0, "%s", ""));
    EXPECT_EQ(kByteMark, narrow[0]);
}

}  // namespace
