// The Microsoft printf language over a bounded output, and the C runtime's bounded
// formatters `_vsnprintf` and `_vsnwprintf` built on it.
//
// Layout: `Sink` stores characters into the caller's buffer and stops at its end;
// `Formatter` walks the format, reads one conversion specification at a time and
// renders integers, characters, strings and floating-point numbers into the sink.
// Both are templates over the character type of the format and the output (char
// or char16_t). Floating-point digits come from the C library's snprintf on a
// double and are then shaped the way msvcrt prints them (three-digit exponents).
#include "platform/posix/format_engine.h"

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <new>
#include <string>
#include <type_traits>

#include "platform/posix/utf.h"
#include "platform/posix/win32_strings.h"

namespace {

// Formatted output longer than this cannot be reported as an int count.
constexpr size_t kMaxOutput = INT_MAX;
// Floating-point precision beyond this is cut: msvcrt uses the same ceiling, and
// it keeps the digits that snprintf has to produce bounded.
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
struct Spec {
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
            Spec spec;
            ReadFlags(&f, &spec);
            ReadWidth(&f, &spec);
            ReadPrecision(&f, &spec);
            ReadSize(&f, &spec);
            if (*f == 0) {
                return true;  // a specification cut off by the end prints nothing
            }
            const Ch conversion = *f++;
            if (!Convert(conversion, spec)) {
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

    void ReadFlags(const Ch** f, Spec* spec) {
        for (;; ++*f) {
            switch (Code(**f)) {
                case '-':
                    spec->left = true;
                    continue;
                case '+':
                    spec->plus = true;
                    continue;
                case ' ':
                    spec->space = true;
                    continue;
                case '#':
                    spec->alternate = true;
                    continue;
                case '0':
                    spec->zero = true;
                    continue;
                default:
                    return;
            }
        }
    }

    void ReadWidth(const Ch** f, Spec* spec) {
        if (Code(**f) == '*') {
            ++*f;
            const int width = va_arg(*args_, int);
            if (width < 0) {
                // A negative width from the argument list means left alignment.
                spec->left = true;
                spec->width =
                    width == INT_MIN ? static_cast<size_t>(INT_MAX) : static_cast<size_t>(-width);
            } else {
                spec->width = static_cast<size_t>(width);
            }
            return;
        }
        spec->width = static_cast<size_t>(ReadNumber(f));
    }

    void ReadPrecision(const Ch** f, Spec* spec) {
        if (Code(**f) != '.') {
            return;
        }
        ++*f;
        if (Code(**f) == '*') {
            ++*f;
            const int precision = va_arg(*args_, int);
            spec->precision = precision < 0 ? -1 : precision;  // negative: as if none
            return;
        }
        spec->precision = ReadNumber(f);
    }

    void ReadSize(const Ch** f, Spec* spec) {
        for (;;) {
            switch (Code(**f)) {
                case 'h':
                    spec->integerBits = 16;
                    spec->pointerSized = false;
                    spec->text = TextWidth::kNarrow;
                    ++*f;
                    continue;
                case 'l':
                    ++*f;
                    if (Code(**f) == 'l') {
                        ++*f;
                        spec->integerBits = 64;
                    } else {
                        spec->integerBits = 32;  // long is 32 bits in this language
                    }
                    spec->pointerSized = false;
                    spec->text = TextWidth::kWide;
                    continue;
                case 'w':
                    spec->text = TextWidth::kWide;
                    ++*f;
                    continue;
                case 'I':
                    ++*f;
                    if (Code((*f)[0]) == '6' && Code((*f)[1]) == '4') {
                        *f += 2;
                        spec->integerBits = 64;
                        spec->pointerSized = false;
                    } else if (Code((*f)[0]) == '3' && Code((*f)[1]) == '2') {
                        *f += 2;
                        spec->integerBits = 32;
                        spec->pointerSized = false;
                    } else {
                        spec->pointerSized = true;
                    }
                    continue;
                default:
                    return;
            }
        }
    }

    bool Convert(Ch conversion, const Spec& spec) {
        switch (Code(conversion)) {
            case 'd':
            case 'i':
                return Integer(spec, 10, false, true);
            case 'u':
                return Integer(spec, 10, false, false);
            case 'o':
                return Integer(spec, 8, false, false);
            case 'x':
                return Integer(spec, 16, false, false);
            case 'X':
                return Integer(spec, 16, true, false);
            case 'p':
                return Pointer(spec);
            case 'c':
                return Character(spec, false);
            case 'C':
                return Character(spec, true);
            case 's':
                return String(spec, false);
            case 'S':
                return String(spec, true);
            case 'e':
            case 'E':
            case 'f':
            case 'F':
            case 'g':
            case 'G':
                return Floating(spec, static_cast<char>(Code(conversion)));
            case 'n':
                // Writing through an argument pointer is not supported.
                refused_ = true;
                return false;
            default:
                // "%%" and every unknown conversion print the character itself.
                return sink_->Put(conversion);
        }
    }

    // Pads `content` characters (written by `body`) to the width: blanks before or
    // after, or zeros between the sign or prefix and the digits.
    template <typename Body>
    bool Layout(const Spec& spec, const char* prefix, size_t prefixLength, size_t content,
                Body body) {
        const size_t total = prefixLength + content;
        const size_t padding = spec.width > total ? spec.width - total : 0;
        if (spec.left) {
            return sink_->Text(prefix, prefixLength) && body() && sink_->Repeat(' ', padding);
        }
        if (spec.zero) {
            return sink_->Text(prefix, prefixLength) && sink_->Repeat('0', padding) && body();
        }
        return sink_->Repeat(' ', padding) && sink_->Text(prefix, prefixLength) && body();
    }

    bool Integer(const Spec& spec, unsigned radix, bool upper, bool isSigned) {
        uint64_t magnitude = 0;
        bool negative = false;
        if (isSigned) {
            int64_t value = 0;
            if (spec.pointerSized) {
                value = va_arg(*args_, intptr_t);
            } else if (spec.integerBits == 64) {
                value = va_arg(*args_, long long);
            } else if (spec.integerBits == 16) {
                value = static_cast<int16_t>(va_arg(*args_, int));
            } else {
                value = va_arg(*args_, int);
            }
            negative = value < 0;
            magnitude = negative ? uint64_t{0} - static_cast<uint64_t>(value)
                                 : static_cast<uint64_t>(value);
        } else if (spec.pointerSized) {
            magnitude = va_arg(*args_, uintptr_t);
        } else if (spec.integerBits == 64) {
            magnitude = va_arg(*args_, unsigned long long);
        } else if (spec.integerBits == 16) {
            magnitude = static_cast<uint16_t>(va_arg(*args_, unsigned int));
        } else {
            magnitude = va_arg(*args_, unsigned int);
        }
        return Digits(spec, magnitude, negative, radix, upper, isSigned);
    }

    bool Pointer(const Spec& spec) {
        // msvcrt prints a pointer as upper-case hexadecimal, all digits shown.
        Spec pointer = spec;
        pointer.precision = static_cast<int>(2 * sizeof(void*));
        pointer.alternate = false;
        const auto value = reinterpret_cast<uintptr_t>(va_arg(*args_, void*));
        return Digits(pointer, value, false, 16, true, false);
    }

    bool Digits(Spec spec, uint64_t magnitude, bool negative, unsigned radix, bool upper,
                bool isSigned) {
        char digits[24];
        size_t count = 0;
        const char* alphabet = upper ? "0123456789ABCDEF" : "0123456789abcdef";
        for (uint64_t rest = magnitude; rest != 0; rest /= radix) {
            digits[count++] = alphabet[rest % radix];
        }
        size_t precision = 1;
        if (spec.precision >= 0) {
            precision = static_cast<size_t>(spec.precision);
            spec.zero = false;  // a precision turns zero padding off
        }
        size_t zeros = precision > count ? precision - count : 0;
        if (radix == 8 && spec.alternate && zeros == 0) {
            zeros = 1;  // "%#o": the first digit shown is always 0
        }
        char prefix[2];
        size_t prefixLength = 0;
        if (isSigned) {
            if (negative) {
                prefix[prefixLength++] = '-';
            } else if (spec.plus) {
                prefix[prefixLength++] = '+';
            } else if (spec.space) {
                prefix[prefixLength++] = ' ';
            }
        } else if (radix == 16 && spec.alternate && magnitude != 0) {
            prefix[prefixLength++] = '0';
            prefix[prefixLength++] = upper ? 'X' : 'x';
        }
        return Layout(spec, prefix, prefixLength, zeros + count, [&] {
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

    static TextWidth Resolve(const Spec& spec, bool other) {
        if (spec.text != TextWidth::kFormats) {
            return spec.text;
        }
        const bool formatIsWide = std::is_same_v<Ch, char16_t>;
        return (formatIsWide != other) ? TextWidth::kWide : TextWidth::kNarrow;
    }

    // Puts narrow text (UTF-8) into the output, decoding it for a wide output.
    bool PutNarrow(const char* text, size_t count) {
        if constexpr (std::is_same_v<Ch, char>) {
            return sink_->Text(text, count);
        } else {
            const std::u16string wide = Utf8ToUtf16(text, count);
            return sink_->Text(wide.data(), wide.size());
        }
    }

    // Puts wide text (UTF-16) into the output, encoding it as UTF-8 for a narrow one.
    bool PutWide(const char16_t* text, size_t count) {
        if constexpr (std::is_same_v<Ch, char16_t>) {
            return sink_->Text(text, count);
        } else {
            const std::string narrow = Utf16ToUtf8(text, count);
            return sink_->Text(narrow.data(), narrow.size());
        }
    }

    bool Character(const Spec& spec, bool other) {
        const int value = va_arg(*args_, int);  // characters arrive promoted to int
        const bool wide = Resolve(spec, other) == TextWidth::kWide;
        return Layout(spec, "", 0, 1, [&] {
            if (wide) {
                const char16_t unit = static_cast<char16_t>(value);
                return PutWide(&unit, 1);
            }
            const char byte = static_cast<char>(value);
            return PutNarrow(&byte, 1);
        });
    }

    bool String(const Spec& spec, bool other) {
        if (Resolve(spec, other) == TextWidth::kWide) {
            const char16_t* text = va_arg(*args_, const char16_t*);
            if (text == nullptr) {
                text = u"(null)";
            }
            const size_t length = BoundedLength(text, spec.precision);
            return Layout(spec, "", 0, length, [&] { return PutWide(text, length); });
        }
        const char* text = va_arg(*args_, const char*);
        if (text == nullptr) {
            text = "(null)";
        }
        const size_t length = BoundedLength(text, spec.precision);
        return Layout(spec, "", 0, length, [&] { return PutNarrow(text, length); });
    }

    bool Floating(const Spec& spec, char conversion) {
        const double value = va_arg(*args_, double);
        char format[16];
        size_t at = 0;
        format[at++] = '%';
        if (spec.plus)
            format[at++] = '+';
        if (spec.space)
            format[at++] = ' ';
        if (spec.alternate)
            format[at++] = '#';
        format[at++] = '.';
        format[at++] = '*';
        format[at++] = conversion;
        format[at] = '\0';
        int precision = spec.precision < 0 ? 6 : spec.precision;
        if (precision > kMaxFloatPrecision) {
            precision = kMaxFloatPrecision;
        }
        const int length = std::snprintf(nullptr, 0, format, precision, value);
        if (length < 0) {
            refused_ = true;
            return false;
        }
        std::string text(static_cast<size_t>(length) + 1, '\0');
        std::snprintf(&text[0], text.size(), format, precision, value);
        text.resize(static_cast<size_t>(length));
        if (std::isfinite(value)) {
            WidenExponent(&text);
        }
        size_t signLength = 0;
        if (!text.empty() && (text[0] == '-' || text[0] == '+' || text[0] == ' ')) {
            signLength = 1;
        }
        const char* body = text.data() + signLength;
        const size_t bodyLength = text.size() - signLength;
        return Layout(spec, text.data(), signLength, bodyLength,
                      [&] { return sink_->Text(body, bodyLength); });
    }

    // msvcrt prints at least three exponent digits: 1.5e+000, not 1.5e+00.
    static void WidenExponent(std::string* text) {
        const size_t mark = text->find_first_of("eE");
        if (mark == std::string::npos || mark + 1 >= text->size()) {
            return;
        }
        const size_t digits = mark + 2;  // after the exponent's sign
        const size_t count = text->size() - digits;
        if (count < 3) {
            text->insert(digits, 3 - count, '0');
        }
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

// The C runtime's rule for a bounded formatter: the terminator only when it fits,
// -1 when the output does not fit, and the length needed for a null buffer of 0.
template <typename Ch>
int BoundedFormat(Ch* buffer, size_t count, const Ch* format, va_list args) {
    if (format == nullptr || (buffer == nullptr && count != 0)) {
        return -1;
    }
    const FormatOutcome outcome = Format(buffer, count, format, args);
    if (!outcome.complete) {
        return -1;
    }
    if (buffer == nullptr) {
        return static_cast<int>(outcome.needed);
    }
    if (outcome.written < count) {
        buffer[outcome.written] = 0;
    }
    return static_cast<int>(outcome.written);
}

}  // namespace

FormatOutcome FormatNarrow(char* buffer, size_t count, const char* format, va_list args) {
    return Format(buffer, count, format, args);
}

FormatOutcome FormatWide(char16_t* buffer, size_t count, const char16_t* format, va_list args) {
    return Format(buffer, count, format, args);
}

int _vsnprintf(char* buffer, size_t count, const char* format, va_list args) {
    return BoundedFormat(buffer, count, format, args);
}

int _vsnwprintf(WCHAR* buffer, size_t count, const WCHAR* format, va_list args) {
    return BoundedFormat(buffer, count, format, args);
}
