// Log lines built as UTF-16 with the C runtime of this build (msvcrt.dll in the
// Windows test program): the narrow format rewritten as a wide one, non-ASCII and
// astral text in the arguments, the 2047-unit cut next to a surrogate pair, a log
// name holding '%', and a buffer that held other text before.
#include <gtest/gtest.h>

#include <cstdarg>
#include <string>

#include "platform/win32.h"
#include "runtime/log_line.h"

namespace {

using WString = std::basic_string<WCHAR>;

constexpr size_t kCapacity = 2048;

WString Widened(const char* format, size_t capacity = 64) {
    WCHAR wide[64];
    const size_t length = WidenLogFormat(format, wide, capacity);
    EXPECT_EQ(WString(wide).size(), length);
    return wide;
}

TEST(WidenLogFormat, TextConversionsKeepTheirNarrowMeaning) {
    const struct {
        const char* narrow;
        const WCHAR* wide;
    } rows[] = {
        {"%s", WSTR("%hs")},
        {"%S|%wS|%ws|%ls|%lS", WSTR("%ls|%ls|%ls|%ls|%ls")},
        {"%hs|%hS", WSTR("%hs|%hs")},
        {"%c|%C|%hc|%hC|%lc|%wc|%wC", WSTR("%hc|%lc|%hc|%hc|%lc|%lc|%lc")},
        {"[%-10.3s] [%*S] [%.*c]", WSTR("[%-10.3hs] [%*ls] [%.*hc]")},
        {"%Ls|%Fs", WSTR("%hs|%hs")},
        // everything else is kept as it stands
        {"%d %x %#010X %I64u %lu %hd %*d %.*f %-08.3e %g %p %%",
         WSTR("%d %x %#010X %I64u %lu %hd %*d %.*f %-08.3e %g %p %%")},
        {"Error 0x%x: 100%% of %u", WSTR("Error 0x%x: 100%% of %u")},
        {"%Is|%y|%I64s", WSTR("%Is|%y|%I64s")},
        // a literal byte is the character of the same value
        {"caf\xE9 %s", WSTR("caf\u00e9 %hs")},
    };
    for (const auto& row : rows) {
        EXPECT_TRUE(Widened(row.narrow) == row.wide) << row.narrow;
    }
}

TEST(WidenLogFormat, ACutNeverEndsInsideAConversion) {
    // "ab%s" needs 5 units and its terminator: with room for 4 the conversion goes
    EXPECT_TRUE(Widened("ab%s", 5) == WSTR("ab"));
    EXPECT_TRUE(Widened("ab%s", 6) == WSTR("ab%hs"));
    EXPECT_TRUE(Widened("abc%-10d", 8) == WSTR("abc"));
    EXPECT_TRUE(Widened("abc%%", 5) == WSTR("abc"));
    EXPECT_TRUE(Widened("abcdef", 4) == WSTR("abc"));
    // a conversion left unfinished by the format itself prints nothing: it goes too
    EXPECT_TRUE(Widened("100%") == WSTR("100"));
    EXPECT_TRUE(Widened("abc%-08.") == WSTR("abc"));
    EXPECT_TRUE(Widened(nullptr) == WSTR(""));
    WCHAR one[1] = {WSTR('x')};
    EXPECT_EQ(0u, WidenLogFormat("abc", one, 1));
    EXPECT_EQ(0, one[0]);
}

// Builds a line with the given name and status (none when null) in buffers first
// filled with other text, as static buffers are after an earlier line.
WString Line(const char* name, const HRESULT* status, const char* format, ...) {
    static WCHAR text[kCapacity];
    static WCHAR scratch[kCapacity];
    for (size_t i = 0; i < kCapacity; ++i) {
        text[i] = WSTR('Z');
        scratch[i] = WSTR('Y');
    }
    LogLineBuilder line(text, scratch, kCapacity);
    line.AppendName(name);
    if (status != nullptr) {
        line.AppendStatus(*status);
    }
    va_list args;
    va_start(args, format);
    line.AppendV(format, args);
    va_end(args);
    EXPECT_EQ(WString(line.text()).size(), line.length());
    EXPECT_LT(line.length(), kCapacity);
    return line.text();
}

const HRESULT kFileNotFound = static_cast<HRESULT>(0x80070002);
const HRESULT kInvalidArgument = E_INVALIDARG;

TEST(LogLine, AsciiLinesAreTheNarrowLinesCharacterForCharacter) {
    EXPECT_TRUE(Line("CAQueryWMI", &kInvalidArgument, "failed to get PROPERTY value for %S",
                     WSTR("WMIQuery")) ==
                WSTR("CAQueryWMI:  Error 0x80070057: failed to get PROPERTY value for WMIQuery"));
    EXPECT_TRUE(Line("CA", nullptr, "value %d and %s, %c%C %5.2f|%-4x|", 42, "narrow", 'n', 'w',
                     2.5, 255) == WSTR("CA:  value 42 and narrow, nw  2.50|ff  |"));
    EXPECT_TRUE(Line("", nullptr, "bare %s", "text") == WSTR("bare text"));
    // an argument's '%' is printed as it stands
    EXPECT_TRUE(Line("CA", &kFileNotFound, "%s", "100% sure %d") ==
                WSTR("CA:  Error 0x80070002: 100% sure %d"));
}

TEST(LogLine, WideArgumentsKeepEveryCharacter) {
    const WCHAR* path = WSTR(
        "C:"
        "\\Users\\J\u00fcrgen\\\u4e2d\u6587\\\u0395\u03bb\u03bb\u03ac\u03b4\u03b1\\\U0001F600\\regi"
        "ster.htm");
    EXPECT_TRUE(Line("CAUpdateOfflineReg", &kFileNotFound, "Failed to open file: %S", path) ==
                WString(WSTR("CAUpdateOfflineReg:  Error 0x80070002: Failed to open file: ")) +
                    path);
    EXPECT_TRUE(Line("CA", nullptr, "%wS=%ls|%-4S|%C%lc", WSTR("\u00e9"), WSTR("\u4e2d"),
                     WSTR("\U0001F600"), 0x4E2D,
                     0x00FC) == WSTR("CA:  \u00e9=\u4e2d|\U0001F600  |\u4e2d\u00fc"));
    // narrow arguments are read byte by byte
    EXPECT_TRUE(Line("CA", nullptr, "%s|%c", "caf\xE9", 0xE9) == WSTR("CA:  caf\u00e9|\u00e9"));
}

TEST(LogLine, ANameWithPercentSignsIsText) {
    EXPECT_TRUE(Line("C%sA%d", &kFileNotFound, "at %d", 7) ==
                WSTR("C%sA%d:  Error 0x80070002: at 7"));
    EXPECT_TRUE(Line("%n%s", nullptr, "%s", "x") == WSTR("%n%s:  x"));
}

TEST(LogLine, LongLinesAreCutAt2047UnitsAndNeverInsideAPair) {
    const WCHAR pair[] = WSTR("\U0001F600");
    // "CA:  " is 5 units; 2040 more and the pair end at unit 2047: all of it fits
    WString fits(2040, WSTR('x'));
    fits += pair;
    const WString whole = Line("CA", nullptr, "%S", fits.c_str());
    EXPECT_EQ(2047u, whole.size());
    EXPECT_TRUE(whole.substr(2045) == pair);
    // one more before it and the pair would straddle the cut: it is left out whole
    const WString split = Line("CA", nullptr, "%S", (WSTR("x") + fits).c_str());
    EXPECT_EQ(2046u, split.size());
    EXPECT_TRUE(split.substr(5) == WString(2041, WSTR('x')));
    // a plain long text is cut at 2047 units
    const WString plain = Line("CA", &kFileNotFound, "%S", WString(3000, WSTR('z')).c_str());
    EXPECT_EQ(2047u, plain.size());
    EXPECT_TRUE(plain.substr(0, 26) == WSTR("CA:  Error 0x80070002: zzz"));
}

TEST(LogLine, ABufferThatHeldOtherTextShowsNoneOfIt) {
    // Built twice in the same buffers: a short line after a long one.
    Line("CA", nullptr, "%S", WString(3000, WSTR('q')).c_str());
    EXPECT_TRUE(Line("CA", nullptr, "short") == WSTR("CA:  short"));
    EXPECT_TRUE(Line("CA", nullptr, "") == WSTR("CA:  "));
}

}  // namespace
