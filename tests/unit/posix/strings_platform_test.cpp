// What the posix string layer does beyond the behaviour shared with Windows: text of
// the other width converted as msvcrt's "C" locale converts it, UTF-8 as the ANSI
// code page, the boundaries where it keeps to the library's contract rather than to
// one SDK version, its answers to arguments Windows would crash on, and the failure
// seams of the code pages.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>

#include "platform/posix/shared/seams.h"
#include "platform/win32.h"
#include "tests/unit/portable/format_calls.h"

namespace {

using WString = std::basic_string<WCHAR>;

TEST(PosixFormat, WideTextInANarrowFormatTakesOneByteUpToU00FF) {
    const WCHAR name[] = {u'J', 0x00E9, u'r', 0x00F4, u'm', u'e', 0};
    EXPECT_EQ("user J\xE9r\xF4me", Narrow("user %S", name));
    // width and precision count the argument's characters
    EXPECT_EQ("  \xE9|\xE9", Narrow("%3S|%.1S", u"\u00e9", u"\u00e9x"));
    // a character without a byte prints nothing; a right-aligned field keeps its padding
    EXPECT_EQ("[]|[  ]|[]", Narrow("[%C]|[%3C]|[%-3C]", 0x20AC, 0x20AC, 0x20AC));
}

TEST(PosixFormat, AWideStringWithoutBytesFailsTheRunWhereItStands) {
    // The C runtime stops after the field's padding and ends the text there.
    char buffer[16];
    std::memset(buffer, 'Q', sizeof buffer);
    const WCHAR cjk[] = {u'a', 0x4E2D, u'b', 0};
    EXPECT_EQ(-1, BoundedA(buffer, sizeof buffer, "x%6Sy", cjk));
    EXPECT_EQ(std::string("x   "), buffer);
    const WCHAR pair[] = {0xD83D, 0xDE00, 0};
    EXPECT_EQ(-1, BoundedA(buffer, sizeof buffer, "[%wS]", pair));
    EXPECT_EQ(std::string("["), buffer);
    // ...and the safe-string formatter reports it as a cut text ending there
    char line[16] = "old text here";
    EXPECT_EQ(STRSAFE_E_INSUFFICIENT_BUFFER, PrintfA(line, sizeof line, "ab%Scd", cjk));
    EXPECT_EQ(std::string("ab"), line);
}

TEST(PosixFormat, NarrowTextInAWideFormatIsReadByteForByte) {
    EXPECT_TRUE(Wide(u"%S", "J\xC3\xA9r") == u"J\u00c3\u00a9r");
    EXPECT_TRUE(Wide(u"%hs|%C|%hc", "\xE9", 'A', 0x4E2D) == u"\u00e9|A|-");
    EXPECT_TRUE(Wide(u"[%4hs]", "\xC3\xA9") == u"[  \u00c3\u00a9]");
}

TEST(PosixFormat, SizesBeyondTheOnesTheLibraryUses) {
    EXPECT_EQ("-7|18446744073709551615", Narrow("%lld|%llu", -7LL, ~0ULL));
    EXPECT_EQ("-9000000000", Narrow("%Id", static_cast<intptr_t>(-9000000000LL)));
    // F and N are sizes (far and near) that change nothing; there is no %F
    EXPECT_EQ("1.500000|6||", Narrow("%Ff|%Nd|%F|%.0F", 1.5, 6));
}

TEST(PosixFormat, ZeroFlagGivesWayToAPrecision) {
    EXPECT_EQ("     007|-0000042|     |0", Narrow("%08.3d|%08d|%05.0d|%#.0o", 7, -42, 0, 0));
}

TEST(PosixFormat, FloatingPointCarriesSeventeenSignificantDigits) {
    EXPECT_EQ("0.10000000000000001000", Narrow("%.20f", 0.1));
    EXPECT_EQ("6.666666666666666300e-001", Narrow("%.18e", 2.0 / 3));
    EXPECT_EQ("123456789012345680.000000", Narrow("%f", 123456789012345678.0));
    EXPECT_EQ(
        "1.500000|-0.000000|1.#INF00|-1.#INF00E+000|1.#QNAN",
        Narrow("%Lf|%f|%f|%E|%g", 1.5, -0.0, std::numeric_limits<double>::infinity(),
               -std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN()));
}

TEST(PosixFormat, UnknownConversionsPrintThemselvesAndTakeNoArgument) {
    EXPECT_EQ("y|k|5", Narrow("%y|%-3k|%d", 5));
    EXPECT_EQ("abc", Narrow("abc%"));
    EXPECT_EQ("abc", Narrow("abc%-08."));
    EXPECT_EQ("%|", Narrow("%%|%5%"));
}

TEST(PosixFormat, WritingThroughAnArgumentIsRefused) {
    int written = 77;
    char buffer[16];
    EXPECT_EQ(-1, BoundedA(buffer, sizeof buffer, "ab%ncd", &written));
    EXPECT_EQ(77, written);

    // the safe-string formatter reports it as a cut text that ends where output stopped
    char line[16] = "old text here";
    EXPECT_EQ(STRSAFE_E_INSUFFICIENT_BUFFER, PrintfA(line, sizeof line, "ab%ncd", &written));
    EXPECT_EQ(std::string("ab"), line);
}

TEST(PosixFormat, NullBufferWithCountZeroMeasures) {
    EXPECT_EQ(11, BoundedA(nullptr, 0, "%s-%d", "abcd", 123456));
    EXPECT_EQ(-1, BoundedA(nullptr, 4, "%s", "abc"));
    EXPECT_EQ(-1, BoundedA(nullptr, 0, nullptr));
}

TEST(PosixFormat, WidthsFarBeyondTheBufferStopAtItsEnd) {
    char buffer[8] = {};
    EXPECT_EQ(-1, BoundedA(buffer, sizeof buffer, "%2147483647d", 1));
    EXPECT_EQ(std::string(8, ' '), std::string(buffer, 8));
    EXPECT_EQ(STRSAFE_E_INSUFFICIENT_BUFFER,
              PrintfA(buffer, sizeof buffer, "%.99999s|%*d", "ab", 2147483647, 5));
    EXPECT_EQ(std::string("ab|    "), buffer);
}

TEST(PosixBoundaries, CapacityZeroAndTheLargestCountsFollowTheLibrarysContract) {
    WCHAR dest[4] = {u'x', u'x', u'x', u'x'};
    // a capacity of 0 is refused even when there is nothing to copy
    EXPECT_EQ(STRSAFE_E_INVALID_PARAMETER, StringCchCopyNExW(dest, 0, u"", 0, nullptr, nullptr, 0));
    EXPECT_EQ(STRSAFE_E_INVALID_PARAMETER, StringCchCatNExW(dest, 0, u"", 0, nullptr, nullptr, 0));
    // counts of STRSAFE_MAX_CCH or more are refused by the wide Ex functions...
    EXPECT_EQ(STRSAFE_E_INVALID_PARAMETER,
              StringCchCopyNExW(dest, 4, u"ab", STRSAFE_MAX_CCH, nullptr, nullptr, 0));
    EXPECT_EQ(STRSAFE_E_INVALID_PARAMETER,
              StringCchCatNExW(dest, 4, u"ab", STRSAFE_MAX_CCH, nullptr, nullptr, 0));
    EXPECT_EQ(u'x', dest[0]);
    // ...while the narrow counted copy refuses only counts above it
    char narrow[4] = "zz";
    EXPECT_EQ(S_OK, StringCchCopyNA(narrow, 4, "ab", STRSAFE_MAX_CCH));
    EXPECT_EQ(std::string("ab"), narrow);
    // a refused capacity leaves the destination untouched
    char untouched[4] = "zzz";
    EXPECT_EQ(STRSAFE_E_INVALID_PARAMETER,
              StringCchCopyA(untouched, static_cast<size_t>(STRSAFE_MAX_CCH) + 1, "ab"));
    EXPECT_EQ(std::string("zzz"), untouched);
}

TEST(PosixBoundaries, NullArgumentsAreRefusedNotDereferenced) {
    char narrow[4] = "zzz";
    EXPECT_EQ(STRSAFE_E_INVALID_PARAMETER, StringCchCopyA(nullptr, 4, "ab"));
    EXPECT_EQ(STRSAFE_E_INVALID_PARAMETER, StringCchCopyA(narrow, 4, nullptr));
    EXPECT_EQ('\0', narrow[0]) << "the destination is left terminated";
    EXPECT_EQ(STRSAFE_E_INVALID_PARAMETER, StringCchCopyNA(narrow, 4, nullptr, 2));
    EXPECT_EQ(S_OK, StringCchCopyNA(narrow, 4, nullptr, 0));
    EXPECT_EQ(STRSAFE_E_INVALID_PARAMETER, StringCchPrintfA(nullptr, 4, "ab"));
    EXPECT_EQ(STRSAFE_E_INVALID_PARAMETER, StringCchPrintfA(narrow, 4, nullptr));
    WCHAR wide[4] = {u'x', 0};
    EXPECT_EQ(STRSAFE_E_INVALID_PARAMETER,
              StringCchCopyNExW(nullptr, 4, u"ab", 2, nullptr, nullptr, 0));
    EXPECT_EQ(STRSAFE_E_INVALID_PARAMETER,
              StringCchCatNExW(wide, 4, nullptr, 2, nullptr, nullptr, 0));
    EXPECT_EQ(S_OK, StringCchCatNExW(wide, 4, nullptr, 0, nullptr, nullptr, 0));
    EXPECT_EQ(S_OK, StringCchCatNExW(wide, 4, nullptr, 2, nullptr, nullptr, STRSAFE_IGNORE_NULLS));
    EXPECT_TRUE(WString(wide) == u"x");
    EXPECT_EQ(STRSAFE_E_INVALID_PARAMETER,
              StringCchCopyNExW(wide, 4, u"ab", 2, nullptr, nullptr, 0x00010000));
}

TEST(PosixBoundaries, FailureFlags) {
    WCHAR dest[6] = {u'q', u'q', u'q', u'q', u'q', u'q'};
    LPWSTR end = nullptr;
    size_t remaining = 0;
    // no truncation: the copy is emptied instead of cut
    EXPECT_EQ(STRSAFE_E_INSUFFICIENT_BUFFER,
              StringCchCopyNExW(dest, 4, u"abcdef", 6, &end, &remaining, STRSAFE_NO_TRUNCATION));
    EXPECT_EQ(0, dest[0]);
    EXPECT_EQ(dest, end);
    EXPECT_EQ(4u, remaining);
    // ...and the append keeps the text it had
    WCHAR text[6] = {u'a', u'b', 0, u'q', u'q', u'q'};
    EXPECT_EQ(STRSAFE_E_INSUFFICIENT_BUFFER,
              StringCchCatNExW(text, 4, u"cdef", 4, &end, &remaining, STRSAFE_NO_TRUNCATION));
    EXPECT_TRUE(WString(text) == u"ab");
    EXPECT_EQ(text + 2, end);
    EXPECT_EQ(2u, remaining);
    // fill on failure with a pattern: every character but the terminating last one
    EXPECT_EQ(
        STRSAFE_E_INSUFFICIENT_BUFFER,
        StringCchCopyNExW(dest, 4, u"abcdef", 6, &end, &remaining, STRSAFE_FILL_ON_FAILURE | 0x41));
    EXPECT_TRUE(WString(dest, 5) == WString(3, 0x4141) + WString(1, 0) + WString(1, u'q'));
    EXPECT_EQ(dest + 3, end);
    EXPECT_EQ(1u, remaining);
}

TEST(PosixCodePages, AnsiCodePageIsUtf8Here) {
    WCHAR wide[4] = {};
    EXPECT_EQ(2, MultiByteToWideChar(CP_ACP, 0, "\xC3\xA9", -1, wide, 4));
    EXPECT_EQ(0x00E9, wide[0]);
    char narrow[4] = {};
    BOOL usedDefault = TRUE;
    EXPECT_EQ(3, WideCharToMultiByte(CP_ACP, 0, u"\u00e9", -1, narrow, 4, "?", &usedDefault));
    EXPECT_EQ(std::string("\xC3\xA9"), narrow);
    EXPECT_FALSE(usedDefault);
}

TEST(PosixCodePages, OtherCodePagesAndBadArgumentsAreRefused) {
    struct Row {
        int result;
        DWORD error;
    };
    WCHAR wide[4];
    char narrow[4];
    const auto toWide = [&](UINT page, LPCSTR src, int count, LPWSTR dst, int size) {
        SetLastError(0);
        return Row{MultiByteToWideChar(page, 0, src, count, dst, size), GetLastError()};
    };
    const auto toNarrow = [&](UINT page, LPCWSTR src, int count, LPSTR dst, int size) {
        SetLastError(0);
        return Row{WideCharToMultiByte(page, 0, src, count, dst, size, nullptr, nullptr),
                   GetLastError()};
    };
    const Row rows[] = {
        toWide(1252, "abc", 3, wide, 4),       toNarrow(1252, u"abc", 3, narrow, 4),
        toWide(CP_UTF8, nullptr, 3, wide, 4),  toNarrow(CP_UTF8, nullptr, 3, narrow, 4),
        toWide(CP_UTF8, "abc", -2, wide, 4),   toNarrow(CP_UTF8, u"abc", -2, narrow, 4),
        toWide(CP_UTF8, "abc", 3, wide, -1),   toNarrow(CP_UTF8, u"abc", 3, narrow, -1),
        toWide(CP_UTF8, "abc", 3, nullptr, 4), toNarrow(CP_UTF8, u"abc", 3, nullptr, 4),
    };
    for (const Row& row : rows) {
        EXPECT_EQ(0, row.result);
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), row.error);
    }
    SetLastError(0);
    EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, 0x1 /* precomposed */, "abc", 3, wide, 4));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FLAGS), GetLastError());
}

// As Windows documents it (Wine 8 accepts both).
TEST(PosixCodePages, Utf8TakesNoDefaultCharacterAndFewFlags) {
    char buffer[8];
    BOOL usedDefault = FALSE;
    SetLastError(0);
    EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, 0, u"abc", 3, buffer, 8, "?", nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    SetLastError(0);
    EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, 0, u"abc", 3, buffer, 8, nullptr, &usedDefault));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    SetLastError(0);
    EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, 0x400 /* no best fit */, u"abc", 3, buffer, 8,
                                     nullptr, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FLAGS), GetLastError());
}

class CodePageSeams : public ::testing::Test {
  protected:
    void TearDown() override { SeamClearFailures(); }
};

TEST_F(CodePageSeams, TheArmedCallFailsWithItsCodeAndTheOthersSucceed) {
    WCHAR wide[8];
    SeamFailNthCall("MultiByteToWideChar", 2, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(4, MultiByteToWideChar(CP_UTF8, 0, "abc", -1, nullptr, 0));
    SetLastError(0);
    EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, 0, "abc", -1, wide, 8));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY), GetLastError());
    EXPECT_EQ(4, MultiByteToWideChar(CP_UTF8, 0, "abc", -1, wide, 8));

    char narrow[8];
    SeamFailNthCall("WideCharToMultiByte", 1, ERROR_INVALID_PARAMETER);
    SetLastError(0);
    EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, 0, u"abc", 3, narrow, 8, nullptr, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_EQ(3, WideCharToMultiByte(CP_UTF8, 0, u"abc", 3, narrow, 8, nullptr, nullptr));
}

TEST_F(CodePageSeams, AFailureDoesNotTouchTheDestination) {
    WCHAR wide[4] = {u'q', u'q', u'q', u'q'};
    SeamFailNthCall("MultiByteToWideChar", 1, ERROR_NO_UNICODE_TRANSLATION);
    EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, 0, "abc", 3, wide, 4));
    EXPECT_TRUE(WString(wide, 4) == u"qqqq");
}

}  // namespace
