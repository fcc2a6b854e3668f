// UTF-8 <-> UTF-16 conversion for the posix layer (code pages, the installer's narrow
// calls, the host). Ill-formed input becomes U+FFFD, as Windows converts it by
// default; `valid`, when given, tells whether the input was well formed.
#ifndef OSTREL_PLATFORM_POSIX_UTF_H
#define OSTREL_PLATFORM_POSIX_UTF_H

#include <cstddef>
#include <string>

std::u16string Utf8ToUtf16(const char* bytes, size_t count, bool* valid = nullptr);
std::string Utf16ToUtf8(const char16_t* units, size_t count, bool* valid = nullptr);

inline std::u16string Utf8ToUtf16(const std::string& text) {
    return Utf8ToUtf16(text.data(), text.size());
}
inline std::string Utf16ToUtf8(const std::u16string& text) {
    return Utf16ToUtf8(text.data(), text.size());
}

#endif  // OSTREL_PLATFORM_POSIX_UTF_H
