// The Microsoft printf language over a bounded output, shared by the C runtime's
// bounded formatters (msvcrt/) and the safe-string functions (strsafe/).
//
// Layout: `Sink` stores characters into the caller's buffer and stops at its end;
// `Formatter` walks the format, reads one conversion specification at a time and
// renders integers, characters, strings and floating-point numbers into the sink.
// Both are templates over the character type of the format and the output (char
// or char16_t). Floating-point numbers are shaped the way msvcrt prints them: 17
// significant digits rounded half up, three-digit exponents, and infinities and
// NaNs as the digit texts "1.#INF", "1.#QNAN" and "1.#IND". Text of the other width
// is converted as msvcrt converts it in its "C" locale: a byte is the character
// U+0000-U+00FF of the same value, and a wide character above U+00FF has no byte.
#include "platform/posix/shared/format_engine.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstdint>
#include <cstdio>
#include <new>
#include <string>
#include <type_traits>

#include "platform/posix/win32_strings.h"

namespace {

// Formatted output longer than this cannot be reported as an int count.
constexpr size_t kMaxOutput = INT_MAX;
// Floating-point precision beyond this is cut, which keeps the text built for one
// number bounded (msvcrt has a ceiling of its own for the same reason).
constexpr int kMaxFloatPrecision = 512;

// Where the formatted characters go: the caller's buffer, or nowhere when only the
// length is wanted.
template <typename Ch>
class Sink {
  public:
    Sink(Ch* buffer, size_t count) : buffer_(buffer), count_(count) {}

    // Adds one character. False once nothing more can be added: the buffer is
    // full, or the output has reached the largest length an int can report.
    bool Put(Ch c) {
        if (length_ >= kMaxOutput) {
            tooLong_ = true;
            return false;
        }
        if (buffer_ != nullptr) {
            if (length_ >= count_) {
                full_ = true;
                return false;
            }
            buffer_[length_] = c;
        }
        ++length_;
        return true;
    }

    bool Repeat(Ch c, size_t times) {
        for (size_t i = 0; i < times; ++i) {
            if (!Put(c)) {
                return false;
            }
        }
        return true;
    }

    template <typename Src>
    bool Text(const Src* text, size_t count) {
        for (size_t i = 0; i < count; ++i) {
            if (!Put(static_cast<Ch>(text[i]))) {
                return false;
            }
        }
        return true;
    }

    size_t length() const { return length_; }
    bool full() const { return full_; }
    bool tooLong() const { return tooLong_; }

  private:
    Ch* buffer_;
    size_t count_;
    size_t length_ = 0;
    bool full_ = false;
    bool tooLong_ = false;
};

// Which width of text a "c"/"s" conversion takes.
enum class TextWidth { kFormats, kNarrow, kWide };

// One conversion specification: %[flags][width][.precision][size]conversion.
struct Directive {
    bool left = false;
    bool plus = false;
    bool space = false;
    bool alternate = false;
    bool zero = false;
    size_t width = 0;
    int precision = -1;  // -1: none given
    int integerBits = 32;
    bool pointerSized = false;
    TextWidth text = TextWidth::kFormats;
};

template <typename Ch>
unsigned Code(Ch c) {
    return static_cast<unsigned>(static_cast<std::make_unsigned_t<Ch>>(c));
}

// Length of a string, looking at no more than `limit` characters (all when -1).
template <typename T>
size_t BoundedLength(const T* text, int limit) {
    size_t length = 0;
    const size_t most = limit < 0 ? SIZE_MAX : static_cast<size_t>(limit);
    while (length < most && text[length] != 0) {
        ++length;
    }
    return length;
}

// ---------------------------------------------------------------- floating point
//
// msvcrt turns a double into at most 17 significant decimal digits and then rounds
// that digit string half up to the precision asked for, padding with zeros: so
// "%.0f" of 2.5 is "3" and "%.20f" of 0.1 is "0.10000000000000001000". The 17
// digits come from the C library (correctly rounded); the rest is done here.

// Significant digits of a non-negative value; the first stands for 10^exponent.
// Digits past the end are zeros; no digits at all is the value zero.
struct Decimal {
    std::string digits;
    int exponent = 0;
};

Decimal SeventeenDigits(double magnitude) {
    char text[40];
    std::snprintf(text, sizeof text, "%.16e", magnitude);  // d.dddddddddddddddde+XX
    Decimal decimal;
    decimal.digits.push_back(text[0]);
    decimal.digits.append(text + 2, 16);
    decimal.exponent = std::atoi(text + 19);
    return decimal;
}

// Rounds half up to `count` significant digits; a carry adds a digit in front (and
// the exponent grows). A negative count leaves nothing: the value rounds to zero.
void RoundHalfUp(Decimal* decimal, int count) {
    if (count < 0) {
        decimal->digits.clear();
        return;
    }
    std::string digits = "0" + decimal->digits;  // room for a carry
    int exponent = decimal->exponent + 1;
    const size_t keep = static_cast<size_t>(count) + 1;
    if (keep < digits.size()) {
        const bool up = digits[keep] >= '5';
        digits.resize(keep);
        for (size_t i = keep; up && i-- > 0;) {
            if (digits[i] != '9') {
                ++digits[i];
                break;
            }
            digits[i] = '0';
        }
    }
    if (digits[0] == '0') {
        digits.erase(0, 1);
        --exponent;
    }
    decimal->digits = digits;
    decimal->exponent = exponent;
}

char DigitAt(const Decimal& decimal, int power) {
    const long long index = static_cast<long long>(decimal.exponent) - power;
    if (index < 0 || index >= static_cast<long long>(decimal.digits.size())) {
        return '0';
    }
    return decimal.digits[static_cast<size_t>(index)];
}

// "ddd.ddd" with `precision` decimals of an already rounded value.
std::string FixedText(const Decimal& decimal, int precision, bool alternate) {
    std::string text;
    const int top = decimal.digits.empty() ? 0 : std::max(decimal.exponent, 0);
    for (int power = top; power >= 0; --power) {
        text.push_back(DigitAt(decimal, power));
    }
    if (precision > 0 || alternate) {
        text.push_back('.');
    }
    for (int power = -1; power >= -precision; --power) {
        text.push_back(DigitAt(decimal, power));
    }
    return text;
}

// "d.ddde+XXX" with `precision` decimals of an already rounded value; the value
// zero has the exponent 0.
std::string ExponentText(const Decimal& decimal, int precision, bool alternate, bool upper) {
    const bool zero = decimal.digits.find_first_not_of('0') == std::string::npos;
    const int exponent = zero ? 0 : decimal.exponent;
    Decimal mantissa = decimal;
    mantissa.exponent = 0;  // the first digit before the point
    std::string text;
    text.push_back(DigitAt(mantissa, 0));
    if (precision > 0 || alternate) {
        text.push_back('.');
    }
    for (int power = -1; power >= -precision; --power) {
        text.push_back(DigitAt(mantissa, power));
    }
    char tail[16];
    std::snprintf(tail, sizeof tail, "%c%c%03d", upper ? 'E' : 'e', exponent < 0 ? '-' : '+',
                  exponent < 0 ? -exponent : exponent);
    text += tail;
    return text;
}

// Without "#", %g drops the zeros at the end of the decimals, and a bare point.
void TrimDecimals(std::string* text) {
    const size_t point = text->find('.');
    if (point == std::string::npos) {
        return;
    }
    const size_t mark = text->find_first_of("eE");
    const size_t end = mark == std::string::npos ? text->size() : mark;
    size_t last = end;
    while (last > point + 1 && (*text)[last - 1] == '0') {
        --last;
    }
    if (last == point + 1) {
        last = point;
    }
    text->erase(last, end - last);
}

// The first `count` characters of a non-finite number's decimals (padded with
// zeros), rounded half up by character code on the one behind them: msvcrt
// rounds its "#INF" text as if it were digits, so '#' becomes '$' and 'I' 'J'.
std::string RoundSpecialDecimals(const char* letters, int count) {
    std::string decimals(letters);
    if (decimals.size() < static_cast<size_t>(count) + 1) {
        decimals.resize(static_cast<size_t>(count) + 1, '0');
    }
    const bool up = decimals[static_cast<size_t>(count)] >= '5';
    decimals.resize(static_cast<size_t>(count));
    for (size_t i = decimals.size(); up && i-- > 0;) {
        if (decimals[i] != '9') {
            ++decimals[i];
            break;
        }
        decimals[i] = '0';
    }
    return decimals;
}

// How msvcrt prints an infinity or a NaN without its sign: the digit "1", then
// "#INF", "#IND" (a NaN with its sign bit set) or "#QNAN" as the decimals, cut and
// rounded to the precision like digits; "%e" adds the exponent "e+000"; "%g"
// counts the "1" in its precision and drops zeros at the end, "#" or not. A
// precision of 0 leaves the bare "1", without a point even under "#".
std::string SpecialText(double value, char conversion, const Directive& directive) {
    const char* letters = std::isinf(value) ? "#INF" : (std::signbit(value) ? "#IND" : "#QNAN");
    int precision = directive.precision < 0 ? 6 : std::min(directive.precision, kMaxFloatPrecision);
    const bool general = conversion == 'g' || conversion == 'G';
    if (general) {
        precision = std::max(precision, 1) - 1;
    }
    std::string text = "1";
    if (precision > 0) {
        text += "." + RoundSpecialDecimals(letters, precision);
    }
    if (general) {
        TrimDecimals(&text);
    } else if (conversion == 'e' || conversion == 'E') {
        text += conversion == 'E' ? "E+000" : "e+000";
    }
    return text;
}

// The text of a non-negative value (the sign is the caller's) for one of the
// conversions e E f g G.
std::string FloatingText(double magnitude, char conversion, const Directive& directive) {
    const bool upper = conversion == 'E' || conversion == 'G';
    int precision = directive.precision < 0 ? 6 : std::min(directive.precision, kMaxFloatPrecision);
    Decimal decimal = SeventeenDigits(magnitude);
    switch (conversion) {
        case 'f':
            RoundHalfUp(&decimal, decimal.exponent + precision + 1);
            return FixedText(decimal, precision, directive.alternate);
        case 'e':
        case 'E':
            RoundHalfUp(&decimal, precision + 1);
            return ExponentText(decimal, precision, directive.alternate, upper);
        default: {  // g, G: the shorter of the two, by the exponent after rounding
            if (precision == 0) {
                precision = 1;
            }
            RoundHalfUp(&decimal, precision);
            const int exponent = magnitude == 0.0 ? 0 : decimal.exponent;
            std::string text =
                (exponent < -4 || exponent >= precision)
                    ? ExponentText(decimal, precision - 1, directive.alternate, upper)
                    : FixedText(decimal, precision - 1 - exponent, directive.alternate);
            if (!directive.alternate) {
                TrimDecimals(&text);
            }
            return text;
        }
    }
}

template <typename Ch>
class Formatter {
  public:
    Formatter(Sink<Ch>* sink, va_list* args) : sink_(sink), args_(args) {}

    // Formats the whole format. False when the run stopped early: the sink is
    // full (see the sink) or the format cannot be carried out (`refused`).
    bool Run(const Ch* format) {
        const Ch* f = format;
        while (*f != 0) {
            if (Code(*f) != '%') {
                if (!sink_->Put(*f)) {
                    return false;
                }
                ++f;
                continue;
            }
            ++f;
            if (Code(*f) == '%') {
                // Only "%%" prints a percent sign; a '%' behind flags, a width or a
                // size prints nothing, as in msvcrt.
                if (!sink_->Put(*f)) {
                    return false;
                }
                ++f;
                continue;
            }
            Directive directive;
            ReadFlags(&f, &directive);
            ReadWidth(&f, &directive);
            ReadPrecision(&f, &directive);
            ReadSize(&f, &directive);
            if (*f == 0) {
                return true;  // a specification cut off by the end prints nothing
            }
            const Ch conversion = *f++;
            if (!Convert(conversion, directive)) {
                return false;
            }
        }
        return true;
    }

    bool refused() const { return refused_; }

  private:
    static bool IsDigit(Ch c) { return Code(c) >= '0' && Code(c) <= '9'; }

    // Digits of a width or precision, saturating rather than overflowing.
    static int ReadNumber(const Ch** f) {
        long long value = 0;
        while (IsDigit(**f)) {
            value = value * 10 + (Code(**f) - '0');
            if (value > INT_MAX) {
                value = INT_MAX;
            }
            ++*f;
        }
        return static_cast<int>(value);
    }

    void ReadFlags(const Ch** f, Directive* directive) {
        for (;; ++*f) {
            switch (Code(**f)) {
                case '-':
                    directive->left = true;
                    continue;
                case '+':
                    directive->plus = true;
                    continue;
                case ' ':
                    directive->space = true;
                    continue;
                case '#':
                    directive->alternate = true;
                    continue;
                case '0':
                    directive->zero = true;
                    continue;
                default:
                    return;
            }
        }
    }

    void ReadWidth(const Ch** f, Directive* directive) {
        if (Code(**f) == '*') {
            ++*f;
            const int width = va_arg(*args_, int);
            if (width == INT_MIN) {
                // Its negation overflows in msvcrt, which then pads nothing.
                directive->width = 0;
            } else if (width < 0) {
                // A negative width from the argument list means left alignment.
                directive->left = true;
                directive->width = static_cast<size_t>(-width);
            } else {
                directive->width = static_cast<size_t>(width);
            }
            return;
        }
        directive->width = static_cast<size_t>(ReadNumber(f));
    }

    void ReadPrecision(const Ch** f, Directive* directive) {
        if (Code(**f) != '.') {
            return;
        }
        ++*f;
        if (Code(**f) == '*') {
            ++*f;
            const int precision = va_arg(*args_, int);
            directive->precision = precision < 0 ? -1 : precision;  // negative: as if none
            return;
        }
        directive->precision = ReadNumber(f);
    }

    void ReadSize(const Ch** f, Directive* directive) {
        for (;;) {
            switch (Code(**f)) {
                case 'h':
                    directive->integerBits = 16;
                    directive->pointerSized = false;
                    directive->text = TextWidth::kNarrow;
                    ++*f;
                    continue;
                case 'l':
                    ++*f;
                    if (Code(**f) == 'l') {
                        ++*f;
                        directive->integerBits = 64;
                    } else {
                        directive->integerBits = 32;  // long is 32 bits in this language
                    }
                    directive->pointerSized = false;
                    directive->text = TextWidth::kWide;
                    continue;
                case 'w':
                    directive->text = TextWidth::kWide;
                    ++*f;
                    continue;
                case 'L':
                    ++*f;  // long double is double in this language
                    continue;
                case 'F':
                case 'N':
                    ++*f;  // far and near pointers of 16-bit days: no change
                    continue;
                case 'I': {
                    const unsigned next = Code((*f)[1]);
                    if (next == '6' && Code((*f)[2]) == '4') {
                        *f += 3;
                        directive->integerBits = 64;
                        directive->pointerSized = false;
                    } else if (next == '3' && Code((*f)[2]) == '2') {
                        *f += 3;
                        directive->integerBits = 32;
                        directive->pointerSized = false;
                    } else if (next == 'd' || next == 'i' || next == 'o' || next == 'u' ||
                               next == 'x' || next == 'X') {
                        *f += 1;
                        directive->pointerSized = true;
                    } else {
                        return;  // not a size: the "I" is printed as an unknown conversion
                    }
                    continue;
                }
                default:
                    return;
            }
        }
    }

    bool Convert(Ch conversion, const Directive& directive) {
        switch (Code(conversion)) {
            case 'd':
            case 'i':
                return Integer(directive, 10, false, true);
            case 'u':
                return Integer(directive, 10, false, false);
            case 'o':
                return Integer(directive, 8, false, false);
            case 'x':
                return Integer(directive, 16, false, false);
            case 'X':
                return Integer(directive, 16, true, false);
            case 'p':
                return Pointer(directive);
            case 'c':
                return Character(directive, false);
            case 'C':
                return Character(directive, true);
            case 's':
                return String(directive, false);
            case 'S':
                return String(directive, true);
            case 'e':
            case 'E':
            case 'f':
            case 'g':
            case 'G':
                return Floating(directive, static_cast<char>(Code(conversion)));
            case 'n':
                // Writing through an argument pointer is not supported.
                refused_ = true;
                return false;
            case '%':
                return true;  // behind flags, a width or a size: nothing
            default:
                // Every unknown conversion prints the character itself.
                return sink_->Put(conversion);
        }
    }

    // Pads `content` characters (written by `body`) to the width: blanks before or
    // after, or zeros between the sign or prefix and the digits.
    template <typename Body>
    bool Layout(const Directive& directive, const char* prefix, size_t prefixLength, size_t content,
                Body body) {
        const size_t total = prefixLength + content;
        const size_t padding = directive.width > total ? directive.width - total : 0;
        if (directive.left) {
            return sink_->Text(prefix, prefixLength) && body() && sink_->Repeat(' ', padding);
        }
        if (directive.zero) {
            return sink_->Text(prefix, prefixLength) && sink_->Repeat('0', padding) && body();
        }
        return sink_->Repeat(' ', padding) && sink_->Text(prefix, prefixLength) && body();
    }

    bool Integer(const Directive& directive, unsigned radix, bool upper, bool isSigned) {
        uint64_t magnitude = 0;
        bool negative = false;
        if (isSigned) {
            int64_t value = 0;
            if (directive.pointerSized) {
                value = va_arg(*args_, intptr_t);
            } else if (directive.integerBits == 64) {
                value = va_arg(*args_, long long);
            } else if (directive.integerBits == 16) {
                value = static_cast<int16_t>(va_arg(*args_, int));
            } else {
                value = va_arg(*args_, int);
            }
            negative = value < 0;
            magnitude = negative ? uint64_t{0} - static_cast<uint64_t>(value)
                                 : static_cast<uint64_t>(value);
        } else if (directive.pointerSized) {
            magnitude = va_arg(*args_, uintptr_t);
        } else if (directive.integerBits == 64) {
            magnitude = va_arg(*args_, unsigned long long);
        } else if (directive.integerBits == 16) {
            magnitude = static_cast<uint16_t>(va_arg(*args_, unsigned int));
        } else {
            magnitude = va_arg(*args_, unsigned int);
        }
        return Digits(directive, magnitude, negative, radix, upper, isSigned);
    }

    bool Pointer(const Directive& directive) {
        // msvcrt prints a pointer as upper-case hexadecimal, all digits shown.
        Directive pointer = directive;
        pointer.precision = static_cast<int>(2 * sizeof(void*));
        const auto value = reinterpret_cast<uintptr_t>(va_arg(*args_, void*));
        return Digits(pointer, value, false, 16, true, false);
    }

    bool Digits(Directive directive, uint64_t magnitude, bool negative, unsigned radix, bool upper,
                bool isSigned) {
        char digits[24];
        size_t count = 0;
        const char* alphabet = upper ? "0123456789ABCDEF" : "0123456789abcdef";
        for (uint64_t rest = magnitude; rest != 0; rest /= radix) {
            digits[count++] = alphabet[rest % radix];
        }
        size_t precision = 1;
        if (directive.precision >= 0) {
            precision = static_cast<size_t>(directive.precision);
            directive.zero = false;  // a precision turns zero padding off
        }
        size_t zeros = precision > count ? precision - count : 0;
        if (radix == 8 && directive.alternate && zeros == 0) {
            zeros = 1;  // "%#o": the first digit shown is always 0
        }
        char prefix[2];
        size_t prefixLength = 0;
        if (isSigned) {
            if (negative) {
                prefix[prefixLength++] = '-';
            } else if (directive.plus) {
                prefix[prefixLength++] = '+';
            } else if (directive.space) {
                prefix[prefixLength++] = ' ';
            }
        } else if (radix == 16 && directive.alternate && magnitude != 0) {
            prefix[prefixLength++] = '0';
            prefix[prefixLength++] = upper ? 'X' : 'x';
        }
        return Layout(directive, prefix, prefixLength, zeros + count, [&] {
            if (!sink_->Repeat('0', zeros)) {
                return false;
            }
            for (size_t i = count; i > 0; --i) {
                if (!sink_->Put(static_cast<Ch>(digits[i - 1]))) {
                    return false;
                }
            }
            return true;
        });
    }

    static TextWidth Resolve(const Directive& directive, bool other) {
        if (directive.text != TextWidth::kFormats) {
            return directive.text;
        }
        const bool formatIsWide = std::is_same_v<Ch, char16_t>;
        return (formatIsWide != other) ? TextWidth::kWide : TextWidth::kNarrow;
    }

    // Puts narrow text into the output: a byte becomes the wide character of the
    // same value (U+0000-U+00FF) in a wide output.
    bool PutNarrow(const char* text, size_t count) {
        for (size_t i = 0; i < count; ++i) {
            if (!sink_->Put(static_cast<Ch>(static_cast<unsigned char>(text[i])))) {
                return false;
            }
        }
        return true;
    }

    // Puts wide text into the output; a narrow output takes one byte per character,
    // which the caller has checked to be at most U+00FF.
    bool PutWide(const char16_t* text, size_t count) {
        for (size_t i = 0; i < count; ++i) {
            if (!sink_->Put(static_cast<Ch>(text[i]))) {
                return false;
            }
        }
        return true;
    }

    static bool HasNoByte(const char16_t* text, size_t count) {
        for (size_t i = 0; i < count; ++i) {
            if (text[i] > 0xFF) {
                return true;
            }
        }
        return false;
    }

    bool Character(const Directive& directive, bool other) {
        const int value = va_arg(*args_, int);  // characters arrive promoted to int
        if (Resolve(directive, other) == TextWidth::kWide) {
            const char16_t unit = static_cast<char16_t>(value);
            if (std::is_same_v<Ch, char> && unit > 0xFF) {
                // No byte for it: msvcrt prints a right-aligned field's padding and
                // nothing else, and nothing at all for a left-aligned one.
                return directive.left || Layout(directive, "", 0, 1, [] { return true; });
            }
            return Layout(directive, "", 0, 1, [&] { return PutWide(&unit, 1); });
        }
        const char byte = static_cast<char>(value);
        return Layout(directive, "", 0, 1, [&] { return PutNarrow(&byte, 1); });
    }

    bool String(const Directive& directive, bool other) {
        if (Resolve(directive, other) == TextWidth::kWide) {
            const char16_t* text = va_arg(*args_, const char16_t*);
            if (text == nullptr) {
                text = u"(null)";
            }
            const size_t length = BoundedLength(text, directive.precision);
            if (std::is_same_v<Ch, char> && HasNoByte(text, length)) {
                // msvcrt pads a right-aligned field first, then fails on the text.
                if (!directive.left) {
                    const size_t padding = directive.width > length ? directive.width - length : 0;
                    if (!sink_->Repeat(' ', padding)) {
                        return false;
                    }
                }
                refused_ = true;
                return false;
            }
            return Layout(directive, "", 0, length, [&] { return PutWide(text, length); });
        }
        const char* text = va_arg(*args_, const char*);
        if (text == nullptr) {
            text = "(null)";
        }
        const size_t length = BoundedLength(text, directive.precision);
        return Layout(directive, "", 0, length, [&] { return PutNarrow(text, length); });
    }

    bool Floating(const Directive& directive, char conversion) {
        const double value = va_arg(*args_, double);
        const std::string body = std::isfinite(value)
                                     ? FloatingText(std::fabs(value), conversion, directive)
                                     : SpecialText(value, conversion, directive);
        char sign[1] = {0};  // at most one sign character
        size_t signLength = 0;
        if (std::signbit(value)) {
            sign[signLength++] = '-';
        } else if (directive.plus) {
            sign[signLength++] = '+';
        } else if (directive.space) {
            sign[signLength++] = ' ';
        }
        return Layout(directive, sign, signLength, body.size(),
                      [&] { return sink_->Text(body.data(), body.size()); });
    }

    Sink<Ch>* sink_;
    va_list* args_;
    bool refused_ = false;
};

template <typename Ch>
FormatOutcome Format(Ch* buffer, size_t count, const Ch* format, va_list args) {
    FormatOutcome outcome{0, 0, false, true};
    if (format == nullptr) {
        return outcome;
    }
    Sink<Ch> sink(buffer, count);
    va_list local;
    va_copy(local, args);
    bool refused = false;
    try {
        Formatter<Ch> formatter(&sink, &local);
        formatter.Run(format);
        refused = formatter.refused();
    } catch (const std::bad_alloc&) {
        refused = true;  // a text conversion could not get its memory
    }
    va_end(local);
    outcome.written = buffer != nullptr ? sink.length() : 0;
    outcome.needed = sink.length();
    outcome.failed = refused || sink.tooLong();
    outcome.complete = !outcome.failed && !sink.full();
    return outcome;
}

}  // namespace

FormatOutcome FormatNarrow(char* buffer, size_t count, const char* format, va_list args) {
    return Format(buffer, count, format, args);
}

FormatOutcome FormatWide(char16_t* buffer, size_t count, const char16_t* format, va_list args) {
    return Format(buffer, count, format, args);
}
