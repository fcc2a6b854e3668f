// The Microsoft printf language of the posix C runtime (_vsnprintf, _vsnwprintf)
// and the safe-string formatters over it, against two references:
//   - itself in the other width: a format run narrow and the same format run wide,
//     with the same ASCII arguments, give the same text;
//   - the C library's snprintf, for the conversions whose meaning the Microsoft
//     and the C99 languages share (integers, narrow characters and strings);
// and against the bounded contracts: a count too small gives -1 with exactly the
// first `count` characters stored and nothing written behind them; the safe-string
// formatter stores the first capacity - 1 characters and terminates them.
//
// Each input is one directive with its flags, width and precision (numbers or
// '*'), a size prefix and a conversion, between two pieces of literal text, and
// the value it takes.
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "platform/win32.h"
#include "tests/fuzz/fuzz_input.h"

namespace {

enum class Kind { kInt32, kInt64, kDouble, kChar, kText, kPointer, kNone };

struct Directive {
    std::string flags;
    int width = -1;      // -1: none, -2: '*'
    int precision = -1;  // -1: none, -2: '*'
    std::string size;
    char conversion = 'd';
};

constexpr const char* kSizes[] = {"", "", "h", "l", "ll", "I64", "I32", "w", "L"};
// No F: msvcrt reads it as a size letter (of far pointers), not a conversion.
constexpr char kConversions[] = "diuoxXcCsSpfeEgG%";

std::string Spell(const Directive& d) {
    std::string text = "%" + d.flags;
    if (d.width == -2) {
        text += "*";
    } else if (d.width >= 0) {
        text += std::to_string(d.width);
    }
    if (d.precision == -2) {
        text += ".*";
    } else if (d.precision >= 0) {
        text += "." + std::to_string(d.precision);
    }
    return text + d.size + d.conversion;
}

bool Is64(const Directive& d) {
    return d.size == "ll" || d.size == "I64";
}

Kind KindOf(const Directive& d) {
    switch (d.conversion) {
        case 'd': case 'i': case 'u': case 'o': case 'x': case 'X':
            return Is64(d) ? Kind::kInt64 : Kind::kInt32;
        case 'c': case 'C':
            return Kind::kChar;
        case 's': case 'S':
            return Kind::kText;
        case 'p':
            return Kind::kPointer;
        case '%':
            return Kind::kNone;
        default:
            return Kind::kDouble;
    }
}

// Whether a character or string directive takes wide text in a format of the
// given width, by the Microsoft rules.
bool TakesWide(const Directive& d, bool wideFormat) {
    if (d.size == "h") {
        return false;
    }
    if (d.size == "l" || d.size == "w") {
        return true;
    }
    const bool other = d.conversion == 'S' || d.conversion == 'C';
    return wideFormat != other;
}

struct Arguments {
    int width = 0;
    int precision = 0;
    int32_t i32 = 0;
    int64_t i64 = 0;
    double real = 0;
    int character = 'a';
    std::string narrow;
    std::u16string wide;
    const void* pointer = nullptr;
};

// Calls `Format` with the arguments the directive takes, in order.
template <typename Call>
int Dispatch(const Directive& d, const Arguments& a, bool wideFormat, Call call) {
    const Kind kind = KindOf(d);
    auto value = [&](auto... stars) {
        switch (kind) {
            case Kind::kInt32: return call(stars..., a.i32);
            case Kind::kInt64: return call(stars..., a.i64);
            case Kind::kDouble: return call(stars..., a.real);
            case Kind::kChar: return call(stars..., a.character);
            case Kind::kPointer: return call(stars..., a.pointer);
            case Kind::kText:
                if (TakesWide(d, wideFormat)) {
                    return call(stars..., a.wide.c_str());
                }
                return call(stars..., a.narrow.c_str());
            case Kind::kNone: break;
        }
        return call(stars...);
    };
    if (d.width == -2 && d.precision == -2) {
        return value(a.width, a.precision);
    }
    if (d.width == -2) {
        return value(a.width);
    }
    if (d.precision == -2) {
        return value(a.precision);
    }
    return value();
}

int NarrowBounded(char* buffer, size_t count, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int result = _vsnprintf(buffer, count, format, args);
    va_end(args);
    return result;
}

int WideBounded(WCHAR* buffer, size_t count, const WCHAR* format, ...) {
    va_list args;
    va_start(args, format);
    const int result = _vsnwprintf(buffer, count, format, args);
    va_end(args);
    return result;
}

HRESULT NarrowSafe(char* buffer, size_t capacity, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const HRESULT hr = StringCchVPrintfA(buffer, capacity, format, args);
    va_end(args);
    return hr;
}

// The C99 spelling of a directive whose meaning both languages share, or "" when
// the directive is outside that set.
std::string C99Spelling(const Directive& d) {
    const char c = d.conversion;
    const bool integer = c == 'd' || c == 'i' || c == 'u' || c == 'o' || c == 'x' || c == 'X';
    Directive spelled = d;
    if (integer) {
        // '#' with a decimal conversion is undefined in C99.
        if ((c == 'd' || c == 'i' || c == 'u') && d.flags.find('#') != std::string::npos) {
            return "";
        }
        if (d.size == "" || d.size == "I32" || d.size == "l") {
            spelled.size = "";  // 32-bit in the Microsoft language
        } else if (Is64(d)) {
            spelled.size = "ll";
        } else if (d.size != "h") {
            return "";
        }
        return Spell(spelled);
    }
    // Only '-' means the same for text in both: msvcrt pads with zeros under '0'.
    const bool onlyMinus = d.flags.find_first_not_of('-') == std::string::npos;
    if ((c == 'c' || c == 's') && (d.size == "" || d.size == "h") && onlyMinus) {
        spelled.size = "";
        return Spell(spelled);  // narrow text in a narrow format
    }
    return "";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    Directive d;
    const uint8_t flagBits = in.Byte();
    const char flagChars[] = "-+ #0";
    for (int i = 0; i < 5; ++i) {
        if (flagBits & (1 << i)) {
            d.flags += flagChars[i];
        }
    }
    const uint8_t widthByte = in.Byte();
    d.width = widthByte < 128 ? -1 : (widthByte < 136 ? -2 : widthByte % 48);
    const uint8_t precisionByte = in.Byte();
    d.precision = precisionByte < 128 ? -1 : (precisionByte < 136 ? -2 : precisionByte % 48);
    d.size = kSizes[in.Below(sizeof(kSizes) / sizeof(kSizes[0]))];
    d.conversion = kConversions[in.Below(sizeof(kConversions) - 1)];
    if (KindOf(d) == Kind::kChar || KindOf(d) == Kind::kText) {
        // Integer sizes mean nothing to text; only these choose its width.
        const char* const textSizes[] = {"", "h", "l", "w"};
        d.size = textSizes[in.Below(4)];
    }

    Arguments a;
    a.width = static_cast<int8_t>(in.Byte()) % 48;
    a.precision = static_cast<int8_t>(in.Byte()) % 48;
    a.i64 = static_cast<int64_t>(in.U64());
    a.i32 = static_cast<int32_t>(a.i64);
    uint64_t bits = static_cast<uint64_t>(a.i64);
    std::memcpy(&a.real, &bits, sizeof(a.real));
    a.character = 0x20 + in.Below(0x5F);
    a.pointer = reinterpret_cast<const void*>(static_cast<uintptr_t>(a.i64));
    const size_t textLength = in.Below(24);
    for (size_t i = 0; i < textLength; ++i) {
        a.narrow += static_cast<char>(0x20 + in.Below(0x5F));
    }
    a.wide.assign(a.narrow.begin(), a.narrow.end());
    std::string prefix;
    std::string suffix;
    for (size_t i = in.Below(6); i > 0; --i) {
        prefix += static_cast<char>('a' + in.Below(26));
    }
    for (size_t i = in.Below(6); i > 0; --i) {
        suffix += static_cast<char>('A' + in.Below(26));
    }
    const size_t count = in.Below(96);

    const std::string format = prefix + Spell(d) + suffix;
    const std::u16string wideFormat(format.begin(), format.end());

    // The whole text, narrow and wide.
    char narrow[512];
    const int narrowLength = Dispatch(d, a, false, [&](auto... args) {
        return NarrowBounded(narrow, sizeof(narrow), format.c_str(), args...);
    });
    WCHAR wide[512];
    const int wideLength = Dispatch(d, a, true, [&](auto... args) {
        return WideBounded(wide, 512, wideFormat.c_str(), args...);
    });
    if (narrowLength < 0 || wideLength < 0) {
        return 0;  // longer than 511 characters (a width near INT_MAX is not made here)
    }
    const std::string narrowText(narrow, static_cast<size_t>(narrowLength));
    if (std::u16string(wide, static_cast<size_t>(wideLength)) !=
        std::u16string(narrowText.begin(), narrowText.end())) {
        FuzzFail("narrow and wide differ for", format);
    }

    // The C library agrees where the languages agree.
    const std::string c99 = C99Spelling(d);
    if (!c99.empty()) {
        const std::string c99Format = prefix + c99 + suffix;
        char reference[512];
        const int referenceLength = Dispatch(d, a, false, [&](auto... args) {
            // The reference is the C library's own formatter, fed a built format.
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wformat-security"
#pragma clang diagnostic ignored "-Wformat-nonliteral"
            return snprintf(reference, sizeof(reference), c99Format.c_str(), args...);
#pragma clang diagnostic pop
        });
        if (referenceLength != narrowLength || std::string(reference) != narrowText) {
            FuzzFail("differs from the C library for", format + " -> [" + narrowText + "] vs [" +
                                                           reference + "]");
        }
    }

    // Bounded: exactly `count` characters of room, in a block of that size.
    char* bounded = static_cast<char*>(malloc(count == 0 ? 1 : count));
    const int boundedLength = Dispatch(d, a, false, [&](auto... args) {
        return NarrowBounded(count == 0 ? nullptr : bounded, count, format.c_str(), args...);
    });
    if (count == 0) {
        if (boundedLength != narrowLength && boundedLength != -1) {
            FuzzFail("a count of 0 answered", std::to_string(boundedLength));
        }
    } else if (static_cast<size_t>(narrowLength) > count) {
        if (boundedLength != -1 || std::string(bounded, count) != narrowText.substr(0, count)) {
            FuzzFail("cut output wrong for", format);
        }
    } else if (boundedLength != narrowLength ||
               std::string(bounded, static_cast<size_t>(narrowLength)) != narrowText) {
        FuzzFail("fitting output wrong for", format);
    }
    free(bounded);

    // Safe-string: the first capacity - 1 characters, terminated.
    const size_t capacity = count + 1;
    char* safe = static_cast<char*>(malloc(capacity));
    const HRESULT hr = Dispatch(d, a, false, [&](auto... args) {
        return NarrowSafe(safe, capacity, format.c_str(), args...);
    });
    const size_t kept = static_cast<size_t>(narrowLength) < capacity ? narrowLength : capacity - 1;
    const HRESULT expected =
        static_cast<size_t>(narrowLength) < capacity ? S_OK : STRSAFE_E_INSUFFICIENT_BUFFER;
    if (hr != expected || std::string(safe) != narrowText.substr(0, kept)) {
        FuzzFail("safe-string output wrong for", format);
    }
    free(safe);
    return 0;
}
