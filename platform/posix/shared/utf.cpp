// UTF-8 <-> UTF-16 conversion shared by the posix layer. Decoding follows the
// Unicode "maximal subpart" rule: each ill-formed subsequence becomes one U+FFFD.
#include "platform/posix/shared/utf.h"

namespace {

constexpr char16_t kReplacement = 0xFFFD;

void AppendCodePoint(std::u16string* out, char32_t cp) {
    if (cp >= 0x10000) {
        cp -= 0x10000;
        out->push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out->push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
        out->push_back(static_cast<char16_t>(cp));
    }
}

void AppendUtf8(std::string* out, char32_t cp) {
    if (cp < 0x80) {
        out->push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

}  // namespace

std::u16string Utf8ToUtf16(const char* bytes, size_t count, bool* valid) {
    std::u16string out;
    bool wellFormed = true;
    const auto* in = reinterpret_cast<const unsigned char*>(bytes);
    size_t i = 0;
    while (i < count) {
        const unsigned char lead = in[i];
        if (lead < 0x80) {
            out.push_back(lead);
            ++i;
            continue;
        }
        size_t need = 0;
        char32_t cp = 0;
        unsigned char lower = 0x80;
        unsigned char upper = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            need = 1;
            cp = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            need = 2;
            cp = lead & 0x0F;
            if (lead == 0xE0)
                lower = 0xA0;
            if (lead == 0xED)
                upper = 0x9F;  // no surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            need = 3;
            cp = lead & 0x07;
            if (lead == 0xF0)
                lower = 0x90;
            if (lead == 0xF4)
                upper = 0x8F;
        } else {
            out.push_back(kReplacement);
            wellFormed = false;
            ++i;
            continue;
        }
        size_t taken = 1;
        bool ok = true;
        for (size_t k = 0; k < need; ++k) {
            if (i + taken >= count) {
                ok = false;
                break;
            }
            const unsigned char next = in[i + taken];
            const unsigned char lo = (k == 0) ? lower : 0x80;
            const unsigned char hi = (k == 0) ? upper : 0xBF;
            if (next < lo || next > hi) {
                ok = false;
                break;
            }
            cp = (cp << 6) | (next & 0x3F);
            ++taken;
        }
        if (ok) {
            AppendCodePoint(&out, cp);
        } else {
            out.push_back(kReplacement);
            wellFormed = false;
        }
        i += taken;
    }
    if (valid != nullptr)
        *valid = wellFormed;
    return out;
}

std::string Utf16ToUtf8(const char16_t* units, size_t count, bool* valid) {
    std::string out;
    bool wellFormed = true;
    size_t i = 0;
    while (i < count) {
        const char16_t unit = units[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 &&
            units[i + 1] <= 0xDFFF) {
            const char32_t cp = 0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) +
                                (static_cast<char32_t>(units[i + 1]) - 0xDC00);
            AppendUtf8(&out, cp);
            i += 2;
            continue;
        }
        if (unit >= 0xD800 && unit <= 0xDFFF) {
            AppendUtf8(&out, kReplacement);
            wellFormed = false;
        } else {
            AppendUtf8(&out, unit);
        }
        ++i;
    }
    if (valid != nullptr)
        *valid = wellFormed;
    return out;
}
