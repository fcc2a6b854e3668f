// Building one installer log line as UTF-16: the narrow log format rewritten as a
// wide one (WidenLogFormat), and the line put together from the log name, the
// status and the caller's text (LogLineBuilder).
//
// A conversion is read as the C runtime reads it: '%', flags "-+ #0", a width
// (digits or '*'), a precision ('.' and digits or '*'), size letters, and the
// conversion character. Only the text conversions (c C s S) change their meaning
// between a narrow and a wide format, so only they are rewritten, with an explicit
// 'h' (narrow) or 'l' (wide) that means the same in both.
#include "runtime/log_line.h"

namespace {

bool IsFlag(unsigned char c) {
    return c == '-' || c == '+' || c == ' ' || c == '#' || c == '0';
}

bool IsDigit(unsigned char c) {
    return c >= '0' && c <= '9';
}

// Size letters that do not change a text conversion's meaning beyond its width:
// h narrow, l and w wide, and L, F, N nothing.
bool IsTextSize(unsigned char c) {
    return c == 'h' || c == 'l' || c == 'w' || c == 'L' || c == 'F' || c == 'N';
}

bool IsSizeLetter(unsigned char c) {
    return IsTextSize(c) || c == 'I';
}

// One conversion of the narrow format, from its '%' to its conversion character.
struct Conversion {
    const unsigned char* start;  // the '%'
    const unsigned char* size;   // the first size letter (or the conversion)
    const unsigned char* end;    // behind the conversion character
    bool text;                   // a c C s S conversion to rewrite
    bool wide;                   // ...taking wide text
};

// Reads the conversion starting at `f` (its '%'). False when the format ends
// before its conversion character.
bool ReadConversion(const unsigned char* f, Conversion* conversion) {
    conversion->start = f++;
    if (*f == '%') {
        conversion->size = f;
        conversion->end = f + 1;
        conversion->text = false;
        return true;
    }
    while (IsFlag(*f)) {
        ++f;
    }
    if (*f == '*') {
        ++f;
    } else {
        while (IsDigit(*f)) {
            ++f;
        }
    }
    if (*f == '.') {
        ++f;
        if (*f == '*') {
            ++f;
        } else {
            while (IsDigit(*f)) {
                ++f;
            }
        }
    }
    conversion->size = f;
    bool onlyTextSizes = true;
    bool narrowSize = false;
    bool wideSize = false;
    while (IsSizeLetter(*f) || (f > conversion->size && f[-1] == 'I' && IsDigit(*f))) {
        onlyTextSizes = onlyTextSizes && IsTextSize(*f);
        narrowSize = narrowSize || *f == 'h';
        wideSize = wideSize || *f == 'l' || *f == 'w';
        ++f;
    }
    const unsigned char type = *f;
    if (type == 0) {
        return false;
    }
    conversion->end = f + 1;
    conversion->text = onlyTextSizes && (type == 'c' || type == 'C' || type == 's' || type == 'S');
    // 'h' is narrow whatever else is there, then 'l' or 'w' wide; without either the
    // narrow format's own rule: lower case narrow, upper case wide.
    conversion->wide = !narrowSize && (wideSize || type == 'C' || type == 'S');
    return true;
}

// Length of a conversion once rewritten: '%', its flags, width and precision, the
// 'h' or 'l', and the conversion in lower case; others are copied as they stand.
size_t WidenedLength(const Conversion& conversion) {
    if (!conversion.text) {
        return static_cast<size_t>(conversion.end - conversion.start);
    }
    return static_cast<size_t>(conversion.size - conversion.start) + 2;
}

void WriteWidened(const Conversion& conversion, LPWSTR out) {
    if (!conversion.text) {
        for (const unsigned char* p = conversion.start; p < conversion.end; ++p) {
            *out++ = static_cast<WCHAR>(*p);
        }
        return;
    }
    for (const unsigned char* p = conversion.start; p < conversion.size; ++p) {
        *out++ = static_cast<WCHAR>(*p);
    }
    *out++ = conversion.wide ? WCHAR('l') : WCHAR('h');
    const unsigned char type = conversion.end[-1];
    *out = static_cast<WCHAR>(type == 'C' || type == 'S' ? type - 'A' + 'a' : type);
}

bool IsHighSurrogate(WCHAR unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}

}  // namespace

size_t WidenLogFormat(LPCSTR format, LPWSTR wide, size_t capacity) {
    if (capacity == 0) {
        return 0;
    }
    const size_t most = capacity - 1;
    size_t at = 0;
    const unsigned char* f =
        reinterpret_cast<const unsigned char*>(format != nullptr ? format : "");
    while (*f != 0) {
        if (*f != '%') {
            if (at == most) {
                break;
            }
            wide[at++] = static_cast<WCHAR>(*f++);
            continue;
        }
        Conversion conversion;
        if (!ReadConversion(f, &conversion)) {
            break;  // unfinished at the end of the format: it would print nothing
        }
        const size_t length = WidenedLength(conversion);
        if (length > most - at) {
            break;
        }
        WriteWidened(conversion, wide + at);
        at += length;
        f = conversion.end;
    }
    wide[at] = 0;
    return at;
}

LogLineBuilder::LogLineBuilder(LPWSTR text, LPWSTR formatScratch, size_t capacity)
    : text_(text), formatScratch_(formatScratch), capacity_(capacity) {
    text_[0] = 0;
}

size_t LogLineBuilder::MeasureAdded() const {
    size_t added = 0;
    const size_t room = capacity_ - length_;
    while (added < room && text_[length_ + added] != 0) {
        ++added;
    }
    return added < room ? added : room - 1;
}

void LogLineBuilder::DropSplitPair() {
    if (length_ > 0 && length_ == capacity_ - 1 && IsHighSurrogate(text_[length_ - 1])) {
        text_[--length_] = 0;
    }
}

void LogLineBuilder::AppendName(LPCSTR name) {
    if (name == nullptr || name[0] == 0) {
        return;
    }
    StringCchPrintfW(text_ + length_, capacity_ - length_, WSTR("%hs:  "), name);
    length_ += MeasureAdded();
}

void LogLineBuilder::AppendStatus(HRESULT status) {
    StringCchPrintfW(text_ + length_, capacity_ - length_, WSTR("Error 0x%x: "),
                     static_cast<unsigned>(status));
    length_ += MeasureAdded();
}

void LogLineBuilder::AppendV(LPCSTR format, va_list args) {
    const size_t room = capacity_ - length_;
    if (room <= 1) {
        return;
    }
    WidenLogFormat(format, formatScratch_, capacity_);
    // A formatter that fails part-way leaves the rest of its buffer as it found it
    // (and the safe-string function then ends it at the full length), so the room
    // is cleared first: the line then ends where the output stopped.
    LPWSTR out = text_ + length_;
    for (size_t i = 0; i < room; ++i) {
        out[i] = 0;
    }
    const HRESULT hr = StringCchVPrintfW(out, room, formatScratch_, args);
    const size_t added = MeasureAdded();
    if (hr == STRSAFE_E_INSUFFICIENT_BUFFER && added == 0) {
        // The formatter failed before its first character: the format text tells
        // the reader more than nothing would.
        StringCchCopyNExW(out, room, formatScratch_, room - 1, nullptr, nullptr, 0);
        length_ += MeasureAdded();
        return;
    }
    length_ += added;
    if (hr == STRSAFE_E_INSUFFICIENT_BUFFER) {
        DropSplitPair();
    }
}
