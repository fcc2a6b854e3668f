// UTF-16 <-> UTF-8 for the package checker (text.h), through the system's own
// code-page conversion (CP_UTF8), which both builds have: ill-formed input
// becomes U+FFFD there, as the checker's output promises.
#include "checker/text.h"

#include <climits>

std::string WideToUtf8(const WideString& text) {
    if (text.empty() || text.size() > INT_MAX / 4) {
        return std::string();
    }
    const int units = static_cast<int>(text.size());
    const int bytes =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), units, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) {
        return std::string();
    }
    std::string out(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), units, &out[0], bytes, nullptr, nullptr);
    return out;
}

WideString Utf8ToWide(const std::string& text) {
    if (text.empty() || text.size() > INT_MAX) {
        return WideString();
    }
    const int bytes = static_cast<int>(text.size());
    const int units = MultiByteToWideChar(CP_UTF8, 0, text.data(), bytes, nullptr, 0);
    if (units <= 0) {
        return WideString();
    }
    WideString out(static_cast<size_t>(units), WCHAR(0));
    MultiByteToWideChar(CP_UTF8, 0, text.data(), bytes, &out[0], units);
    return out;
}
