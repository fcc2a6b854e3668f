// The Microsoft printf language as the safe-string formatters speak it, wide and
// narrow: every conversion the library's formats use, and the flags, widths,
// precisions and size prefixes around them. Each row states what the Windows C
// runtime prints.
#include <gtest/gtest.h>

#include <string>

#include "platform/win32.h"
#include "tests/unit/portable/format_calls.h"

namespace {

using WString = std::basic_string<WCHAR>;

struct NarrowRow {
    const char* expected;
    std::string actual;
};

struct WideRow {
    const WCHAR* expected;
    WString actual;
};

void Check(const NarrowRow* rows, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        EXPECT_EQ(std::string(rows[i].expected), rows[i].actual) << "row " << i;
    }
}

void Check(const WideRow* rows, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        EXPECT_TRUE(WString(rows[i].expected) == rows[i].actual) << "row " << i;
    }
}

TEST(WideFormat, ValueTextsOfTheInventoryColumns) {
    const WideRow rows[] = {
        // 16-bit values are taken as unsigned, printed in decimal and hexadecimal
        {WSTR("65534 (0xFFFE)"), Wide(WSTR("%hu (0x%hX)"), -2, -2)},
        {WSTR("9 (0x9)"), Wide(WSTR("%hu (0x%hX)"), 9, 9)},
        {WSTR("0 (0x0)"), Wide(WSTR("%hu (0x%hX)"), 0, 0)},
        {WSTR("4464 (0x1170)"), Wide(WSTR("%hu (0x%hX)"), 70000, 70000)},
        // 32-bit values: signed decimal, then the same bits in upper-case hex
        {WSTR("-2 (0xFFFFFFFE)"), Wide(WSTR("%d (0x%X)"), -2, -2)},
        {WSTR("255 (0xFF)"), Wide(WSTR("%d (0x%X)"), 255, 255)},
        {WSTR("-2147483648 (0x80000000)"),
         Wide(WSTR("%d (0x%X)"), -2147483647 - 1, -2147483647 - 1)},
        // reals: ten characters at least, right-aligned, four decimals
        {WSTR("    2.5000"), Wide(WSTR("%10.4f"), 2.5)},
        {WSTR("   -1.5000"), Wide(WSTR("%10.4f"), -1.5)},
        {WSTR("    0.1000"), Wide(WSTR("%10.4f"), static_cast<double>(0.1f))},
        {WSTR("12345.6780"), Wide(WSTR("%10.4f"), 12345.678)},
        {WSTR("1234567.0000"), Wide(WSTR("%10.4f"), 1234567.0)},
        {WSTR("    0.0001"), Wide(WSTR("%10.4f"), 0.00005)},
        // strings: the text itself, "(null)" for a null pointer
        {WSTR("Intel(R) Core"), Wide(WSTR("%wS"), WSTR("Intel(R) Core"))},
        {WSTR("(null)"), Wide(WSTR("%wS"), static_cast<const WCHAR*>(nullptr))},
        {WSTR(""), Wide(WSTR("%wS"), WSTR(""))},
        // bytes: a printable byte as the character of that code, then its value
        {WSTR("'A' (65, 0x41)"), Wide(WSTR("'%c' (%hu, 0x%hX)"), 65, 65, 65)},
        {WSTR("'\u00e9' (233, 0xE9)"), Wide(WSTR("'%c' (%hu, 0x%hX)"), 233, 233, 233)},
        {WSTR("' ' (32, 0x20)"), Wide(WSTR("'%c' (%hu, 0x%hX)"), 32, 32, 32)},
    };
    Check(rows, sizeof rows / sizeof rows[0]);
}

TEST(WideFormat, NamesPathsTimesAndUrns) {
    const WideRow rows[] = {
        {WSTR("2024-03-05 07:08:09 UTC"),
         Wide(WSTR("%04d-%02d-%02d %02d:%02d:%02d UTC"), 2024, 3, 5, 7, 8, 9)},
        {WSTR("0123-12-31 23:59:59 UTC"),
         Wide(WSTR("%04d-%02d-%02d %02d:%02d:%02d UTC"), 123, 12, 31, 23, 59, 59)},
        {WSTR("urn:st:uuid:0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0"),
         Wide(WSTR("urn:st:uuid:%wS"), WSTR("0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0"))},
        {WSTR("C:\\Program Files\\Product\\register.htm"),
         Wide(WSTR("%wS%wS"), WSTR("C:\\Program Files\\Product\\"), WSTR("register.htm"))},
        {WSTR("Processor_Name"), Wide(WSTR("%wS_%wS"), WSTR("Processor"), WSTR("Name"))},
        {WSTR("_"), Wide(WSTR("%wS_%wS"), WSTR(""), WSTR(""))},
    };
    Check(rows, sizeof rows / sizeof rows[0]);
}

TEST(WideFormat, TextWidthFollowsTheFormatAndThePrefix) {
    const WideRow rows[] = {
        // in a wide format: %s and %c are wide, %S and %C narrow
        {WSTR("wide"), Wide(WSTR("%s"), WSTR("wide"))},
        {WSTR("narrow"), Wide(WSTR("%S"), "narrow")},
        {WSTR("W"), Wide(WSTR("%c"), WSTR('W'))},
        {WSTR("N"), Wide(WSTR("%C"), 'N')},
        // h is always narrow; l and w always wide
        {WSTR("h|H"), Wide(WSTR("%hs|%hS"), "h", "H")},
        {WSTR("l|L|w|W"),
         Wide(WSTR("%ls|%lS|%ws|%wS"), WSTR("l"), WSTR("L"), WSTR("w"), WSTR("W"))},
        {WSTR("a|b|c"), Wide(WSTR("%hc|%lc|%wc"), 'a', WSTR('b'), WSTR('c'))},
        {WSTR("(null)|(null)"), Wide(WSTR("%s|%S"), static_cast<const WCHAR*>(nullptr),
                                     static_cast<const char*>(nullptr))},
        {WSTR("100%"), Wide(WSTR("%d%%"), 100)},
    };
    Check(rows, sizeof rows / sizeof rows[0]);
}

TEST(NarrowFormat, LogLines) {
    const NarrowRow rows[] = {
        // the joined format of a log line, and the failure line built on it
        {"CAQueryWMI:  Error 0x%x: %s", Narrow("%s:  %s", "CAQueryWMI", "Error 0x%x: %s")},
        {"Error 0x80070057: failed", Narrow("Error 0x%x: %s", E_INVALIDARG, "failed")},
        {"Error 0x8007007a: cut", Narrow("Error 0x%x: %s", STRSAFE_E_INSUFFICIENT_BUFFER, "cut")},
        {"Error 0x0: none", Narrow("Error 0x%x: %s", 0, "none")},
        // a message passed as an argument keeps its percent signs
        {"Error 0x80004005: 100% %s", Narrow("Error 0x%x: %s", E_FAIL, "100% %s")},
        // wide strings in a narrow format
        {"failed to get PROPERTY value for WMIQuery",
         Narrow("failed to get PROPERTY value for %S", WSTR("WMIQuery"))},
        {"host = example.com.", Narrow("host = %wS.", WSTR("example.com"))},
        {"(null)|(null)",
         Narrow("%S|%s", static_cast<const WCHAR*>(nullptr), static_cast<const char*>(nullptr))},
        {"regURNLen 45", Narrow("regURNLen %d", 45)},
    };
    Check(rows, sizeof rows / sizeof rows[0]);
}

TEST(NarrowFormat, TextWidthFollowsTheFormatAndThePrefix) {
    const NarrowRow rows[] = {
        {"n|w|h|l|w2|w3|h2", Narrow("%s|%S|%hs|%ls|%ws|%wS|%hS", "n", WSTR("w"), "h", WSTR("l"),
                                    WSTR("w2"), WSTR("w3"), "h2")},
        {"a|b|c|d|e", Narrow("%c|%C|%hc|%lc|%wc", 'a', WSTR('b'), 'c', WSTR('d'), WSTR('e'))},
    };
    Check(rows, sizeof rows / sizeof rows[0]);
}

TEST(NarrowFormat, Integers) {
    const NarrowRow rows[] = {
        {"-5|4294967295|ffffffff|FF|10", Narrow("%d|%u|%x|%X|%o", -5, -1, -1, 255, 8)},
        {"-2147483648|2147483647", Narrow("%i|%d", -2147483647 - 1, 2147483647)},
        // h: 16 bits
        {"4464|65534|FFFE|fffe", Narrow("%hd|%hu|%hX|%hx", 70000, -2, -2, -2)},
        // l: 32 bits, as long is on Windows
        {"4294967295|-1|abcdef", Narrow("%lu|%ld|%lx", static_cast<LONG>(-1), static_cast<LONG>(-1),
                                        static_cast<LONG>(0xABCDEF))},
        // I64 and I32
        {"-5|123456789|6", Narrow("%I64d|%I64X|%I32d", static_cast<long long>(-5),
                                  static_cast<long long>(0x123456789LL), 6)},
        {"18446744073709551615", Narrow("%I64u", static_cast<unsigned long long>(-1))},
    };
    Check(rows, sizeof rows / sizeof rows[0]);
}

TEST(NarrowFormat, FlagsWidthAndPrecision) {
    const NarrowRow rows[] = {
        {"-0042|-42  |+5| 5|007", Narrow("%05d|%-05d|%+d|% d|%.3d", -42, -42, 5, 5, 7)},
        {"   42|42   |", Narrow("%5d|%-5d|", 42, 42)},
        {"0x1a|0X1A|010", Narrow("%#x|%#X|%#o", 26, 26, 8)},
        {"|     |", Narrow("%.0d|%5.0d|", 0, 0)},
        // widths and precisions from the argument list; a negative width aligns left
        {"    1|2   |003|    ab|", Narrow("%*d|%-*d|%.*d|%*.*s|", 5, 1, 4, 2, 3, 3, 6, 2, "abc")},
        {"1    |7|", Narrow("%*d|%.*d|", -5, 1, -3, 7)},
        // strings and characters
        {"ab|   ab|ab   |wxy", Narrow("%.2s|%5s|%-5s|%.3S", "abcdef", "ab", "ab", WSTR("wxyz"))},
        {"(nu|(null)",
         Narrow("%.3s|%s", static_cast<const char*>(nullptr), static_cast<const char*>(nullptr))},
        {"    x|y  |", Narrow("%5c|%-3c|", 'x', 'y')},
    };
    Check(rows, sizeof rows / sizeof rows[0]);
}

TEST(NarrowFormat, PrecisionReadsNoFurtherThanItsCount) {
    // Not terminated: a precision limits how much of the argument is read.
    const char bytes[3] = {'a', 'b', 'c'};
    const WCHAR units[2] = {WSTR('x'), WSTR('y')};
    EXPECT_EQ("abc|xy", Narrow("%.3s|%.2S", bytes, units));
}

TEST(NarrowFormat, FloatingPoint) {
    const NarrowRow rows[] = {
        {"    2.5000|1.500000|-3.250", Narrow("%10.4f|%f|%.3f", 2.5, 1.5, -3.25)},
        // exponents have three digits
        {"1.500000e+000|1.234568E+004", Narrow("%e|%E", 1.5, 12345.678)},
        {"1e-010|1E+020|100000|1e+006", Narrow("%g|%G|%g|%g", 1e-10, 1e20, 100000.0, 1e6)},
        {"+3.14e+000|-000003.14|2.5       |",
         Narrow("%+.2e|%010.2f|%-10.1f|", 3.14159, -3.14159, 2.5)},
        {"1.00", Narrow("%#.3g", 1.0)},
        {"0.0001|1e-005|1.23457e+006|0", Narrow("%g|%g|%g|%g", 0.0001, 0.00001, 1234567.0, 0.0)},
        {"0.000000e+000|1.000000e-300", Narrow("%e|%e", 0.0, 1e-300)},
    };
    Check(rows, sizeof rows / sizeof rows[0]);
}

TEST(NarrowFormat, FloatingPointRoundsHalfUp) {
    // ties in the decimal digits round away from zero, not to even
    const NarrowRow rows[] = {
        {"1|2|3|-3|0.3", Narrow("%.0f|%.0f|%.0f|%.0f|%.1f", 0.5, 1.5, 2.5, -2.5, 0.25)},
        {"    1.0313|    0.1563", Narrow("%10.4f|%10.4f", 1.03125, 0.15625)},
        {"0.13|0.38|1.063e+000|2.3e+000",
         Narrow("%.2f|%.2f|%.3e|%.1e", 0.125, 0.375, 1.0625, 2.25)},
        {"3e+000|3.e+000|3.", Narrow("%.0e|%#.0e|%#.0f", 2.5, 2.5, 2.5)},
        {"99999.9|1e+006|1e+004", Narrow("%g|%g|%.3g", 99999.95, 999999.5, 9995.0)},
        {"  10.0|-0010.00", Narrow("%6.1f|%08.2f", 9.96, -9.996)},
    };
    Check(rows, sizeof rows / sizeof rows[0]);
}

TEST(NarrowFormat, PointerIsUpperCaseHexWithEveryDigit) {
    const std::string expected = std::string(2 * sizeof(void*) - 4, '0') + "12AB";
    void* pointer = reinterpret_cast<void*>(static_cast<uintptr_t>(0x12AB));
    EXPECT_EQ(expected, Narrow("%p", pointer));
    EXPECT_EQ("0X" + expected, Narrow("%#p", pointer));
}

TEST(NarrowFormat, AnIThatIsNoSizePrefixIsPrintedAsText) {
    EXPECT_EQ("I6d|I|5", Narrow("%I6d|%I|%Iu", static_cast<size_t>(5)));
}

}  // namespace
