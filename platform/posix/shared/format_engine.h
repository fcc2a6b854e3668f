// The Microsoft C runtime's printf language, for narrow (char) and wide (char16_t)
// formats, as the posix layer's bounded formatters and safe-string functions use it.
//
// The language is that of msvcrt, not C99:
//   - flags "- + space # 0", a width and a precision (either may be "*"; a width
//     of INT_MIN from the argument list pads nothing, as its negation overflows);
//   - size prefixes "h" (16-bit integer, narrow character or string), "l" (32-bit
//     integer, wide character or string), "ll" and "I64" (64-bit), "I32" (32-bit),
//     "I" (pointer-sized), "w" (wide character or string), "L" (no change:
//     long double is double), "F" and "N" (far and near: no change);
//   - conversions d i u o x X c C s S p f e E g G; "%%" prints a percent sign, and
//     a '%' behind flags, a width or a size prints nothing; there is no "%F";
//   - "%s" and "%c" take text of the format's own width, "%S" and "%C" of the other
//     width; "%hs"/"%hc" are always narrow, "%ls"/"%ws"/"%lc"/"%wc" always wide;
//   - a null string prints "(null)"; width and precision of a string count the
//     characters of the argument (bytes of narrow text, UTF-16 units of wide);
//   - floating-point numbers carry 17 significant digits at most, rounded half up
//     (then zeros), and exponents have three digits (1.500000e+000), as msvcrt
//     prints them; infinities and NaNs print as the digit texts "1.#INF", "-1.#IND"
//     (a NaN with its sign bit set) and "1.#QNAN", padded with zeros and rounded to
//     the precision as if they were digits ("%.2f" of infinity is "1.#J");
//   - "%p" prints the pointer as upper-case hexadecimal, two digits per byte
//     ("%#p" with a 0X in front);
//   - an unknown conversion character is printed as itself, consuming no argument.
// "%n" is refused: the run fails (msvcrt writes the count; the library never asks
// for it). Text of the other width is converted as msvcrt's "C" locale converts it:
// a narrow byte put into a wide output is the character U+0000-U+00FF of the same
// value; a wide character put into a narrow output becomes that byte when it is at
// most U+00FF. A wide string holding any character above U+00FF fails the run
// (after a right-aligned field's padding, before any of its text), and such a
// wide character alone prints nothing (its padding only when right-aligned).
#ifndef OSTREL_PLATFORM_POSIX_FORMAT_ENGINE_H
#define OSTREL_PLATFORM_POSIX_FORMAT_ENGINE_H

#include <cstdarg>
#include <cstddef>

// What one formatting run produced.
struct FormatOutcome {
    size_t written;  // characters stored in the buffer, never more than its count
    size_t needed;   // length of the whole output; meaningful only when `complete`
    bool complete;   // the whole output was produced and fits in the count
    bool failed;     // the format cannot be carried out ("%n", more than INT_MAX
                     // characters, no memory); `written` tells where output stopped
};

// Formats into `buffer`, storing at most `count` characters and no terminator.
// Output stops at the first character that does not fit. A null buffer (with any
// count) measures instead: nothing is stored and `needed` is the length of the
// whole output. The argument list is read through a copy, so the caller's list is
// left as it was. A null format fails.
FormatOutcome FormatNarrow(char* buffer, size_t count, const char* format, va_list args);
FormatOutcome FormatWide(char16_t* buffer, size_t count, const char16_t* format, va_list args);

#endif  // OSTREL_PLATFORM_POSIX_FORMAT_ENGINE_H
