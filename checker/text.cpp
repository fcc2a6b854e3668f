// UTF-16 <-> UTF-8 for the package checker (text.h).
#include "checker/text.h"

#include <cstdint>

namespace {

constexpr uint32_t kReplacement = 0xFFFD;

void AppendUtf8(uint32_t code, std::string* out) {
    if (code < 0x80) {
        out->push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (code >> 6)));
        out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (code >> 12)));
        out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (code >> 18)));
        out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

void AppendUtf16(uint32_t code, WideString* out) {
    if (code < 0x10000) {
        out->push_back(static_cast<WCHAR>(code));
    } else {
        code -= 0x10000;
        out->push_back(static_cast<WCHAR>(0xD800 | (code >> 10)));
        out->push_back(static_cast<WCHAR>(0xDC00 | (code & 0x3FF)));
    }
}

}  // namespace

std::string WideToUtf8(const WideString& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const uint32_t unit = static_cast<uint16_t>(text[i]);
        if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < text.size()) {
            const uint32_t next = static_cast<uint16_t>(text[i + 1]);
            if (next >= 0xDC00 && next < 0xE000) {
                AppendUtf8(0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00), &out);
                ++i;
                continue;
            }
        }
        AppendUtf8(unit >= 0xD800 && unit < 0xE000 ? kReplacement : unit, &out);
    }
    return out;
}

WideString Utf8ToWide(const std::string& text) {
    WideString out;
    size_t i = 0;
    while (i < text.size()) {
        const uint8_t lead = static_cast<uint8_t>(text[i]);
        size_t length = 0;
        uint32_t code = 0;
        uint32_t least = 0;
        if (lead < 0x80) {
            length = 1;
            code = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2;
            code = lead & 0x1F;
            least = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            code = lead & 0x0F;
            least = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            code = lead & 0x07;
            least = 0x10000;
        }
        bool valid = length != 0 && length <= text.size() - i;
        for (size_t k = 1; valid && k < length; ++k) {
            const uint8_t trail = static_cast<uint8_t>(text[i + k]);
            valid = (trail & 0xC0) == 0x80;
            code = (code << 6) | (trail & 0x3F);
        }
        valid = valid && code >= least && code <= 0x10FFFF && (code < 0xD800 || code >= 0xE000);
        AppendUtf16(valid ? code : kReplacement, &out);
        i += valid ? length : 1;
    }
    return out;
}
