// WinHttpCrackUrl over arbitrary text and over URLs built from parts. For every
// URL:
//   - a success gives components that lie inside the URL and put together again
//     make it: scheme "://" [user [":" password] "@"] host [":" port] path extra,
//     with the scheme http or https (any case) as nScheme says, the port the URL's
//     own decimal 1 to 65535 or else 80 for http and 443 for https, a path that is
//     empty or starts with "/", and extra information that is empty or starts with
//     "?" or "#" and runs to the URL's end (the request path is path + extra in one
//     piece);
//   - a failure is ERROR_WINHTTP_UNRECOGNIZED_SCHEME exactly when the URL does not
//     start with "http://" or "https://" (any case), else ERROR_WINHTTP_INVALID_URL;
//   - a small reference parser of the well-formed subset (letters, digits and
//     the URL punctuation, a host name or a bracketed IPv6 literal, at most one
//     "@") gives the same components and port for every URL it takes;
//   - cracked again with each component asked for in its own way (not at all, as a
//     pointer, or copied into a buffer of exactly the length given), the copies are
//     the same text terminated, a buffer that is too short makes the call fail with
//     ERROR_INSUFFICIENT_BUFFER and the length it needs, and nothing is written
//     past a buffer. The URL itself lies in a block of exactly its length (without
//     a terminator when its length is given), so nothing is read past it either.
//
// Input: a control byte (bit 0: build the URL from parts; bit 1: give its length),
// six bytes choosing how each component is asked for, then the URL's text (UTF-8)
// or the parts' choices.
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/posix/shared/utf.h"
#include "platform/win32.h"
#include "tests/fuzz/fuzz_input.h"

namespace {

struct Span {
    const WCHAR* start = nullptr;
    DWORD length = 0;
};

constexpr int kComponents = 6;  // scheme, host, user, password, path, extra

struct Cracked {
    BOOL ok = FALSE;
    DWORD error = 0;
    URL_COMPONENTS parts = {};
};

LPWSTR* PointerField(URL_COMPONENTS& parts, int which) {
    LPWSTR* fields[kComponents] = {&parts.lpszScheme,   &parts.lpszHostName, &parts.lpszUserName,
                                   &parts.lpszPassword, &parts.lpszUrlPath,  &parts.lpszExtraInfo};
    return fields[which];
}
DWORD* LengthField(URL_COMPONENTS& parts, int which) {
    DWORD* fields[kComponents] = {&parts.dwSchemeLength,   &parts.dwHostNameLength,
                                  &parts.dwUserNameLength, &parts.dwPasswordLength,
                                  &parts.dwUrlPathLength,  &parts.dwExtraInfoLength};
    return fields[which];
}

std::u16string Lower(std::u16string text) {
    for (char16_t& c : text) {
        if (c >= u'A' && c <= u'Z') {
            c = static_cast<char16_t>(c - u'A' + u'a');
        }
    }
    return text;
}

bool StartsWithHttpScheme(const std::u16string& url) {
    const std::u16string head = Lower(url.substr(0, 8));
    return head.compare(0, 7, u"http://") == 0 || head.compare(0, 8, u"https://") == 0;
}

// The URL as the reference reads the well-formed subset, or false outside it.
struct ReferenceUrl {
    INTERNET_SCHEME scheme = INTERNET_SCHEME_HTTP;
    bool hasUser = false;
    bool hasPassword = false;
    std::u16string user, password, host, path, extra;
    INTERNET_PORT port = 0;
};

bool IsAlnum(char16_t c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9');
}
bool AllOf(const std::u16string& text, const char* punctuation) {
    for (const char16_t c : text) {
        if (!IsAlnum(c) &&
            (c > 0x7F || strchr(punctuation, static_cast<char>(c)) == nullptr || c == 0)) {
            return false;
        }
    }
    return true;
}

bool ReferenceParse(const std::u16string& url, ReferenceUrl* out) {
    const size_t schemeEnd = url.find(u"://");
    if (schemeEnd == std::u16string::npos) {
        return false;
    }
    const std::u16string scheme = Lower(url.substr(0, schemeEnd));
    if (scheme == u"http") {
        out->scheme = INTERNET_SCHEME_HTTP;
        out->port = 80;
    } else if (scheme == u"https") {
        out->scheme = INTERNET_SCHEME_HTTPS;
        out->port = 443;
    } else {
        return false;
    }
    const size_t authorityAt = schemeEnd + 3;
    size_t authorityEnd = url.find_first_of(u"/?#", authorityAt);
    if (authorityEnd == std::u16string::npos) {
        authorityEnd = url.size();
    }
    std::u16string authority = url.substr(authorityAt, authorityEnd - authorityAt);
    const size_t at = authority.find(u'@');
    if (at != std::u16string::npos) {
        const std::u16string userInfo = authority.substr(0, at);
        authority = authority.substr(at + 1);
        const size_t colon = userInfo.find(u':');
        out->hasUser = true;
        out->user = userInfo.substr(0, colon);
        if (colon != std::u16string::npos) {
            out->hasPassword = true;
            out->password = userInfo.substr(colon + 1);
        }
        if (!AllOf(out->user, "-._~!$&'()*+,;=%") || !AllOf(out->password, "-._~!$&'()*+,;=%")) {
            return false;
        }
    }
    size_t hostEnd = 0;
    if (!authority.empty() && authority[0] == u'[') {
        hostEnd = authority.find(u']');
        if (hostEnd == std::u16string::npos || hostEnd == 1 ||
            !AllOf(authority.substr(1, hostEnd - 1), ":.")) {
            return false;
        }
        ++hostEnd;
    } else {
        hostEnd = authority.find(u':');
        if (hostEnd == std::u16string::npos) {
            hostEnd = authority.size();
        }
        if (hostEnd == 0 || !AllOf(authority.substr(0, hostEnd), "-.")) {
            return false;
        }
    }
    out->host = authority.substr(0, hostEnd);
    if (hostEnd < authority.size()) {
        const std::u16string port = authority.substr(hostEnd);
        if (port[0] != u':' || port.size() < 2 || port.size() > 6) {
            return false;
        }
        unsigned value = 0;
        for (size_t i = 1; i < port.size(); ++i) {
            if (port[i] < u'0' || port[i] > u'9') {
                return false;
            }
            value = value * 10 + (port[i] - u'0');
        }
        if (value == 0 || value > 65535) {
            return false;
        }
        out->port = static_cast<INTERNET_PORT>(value);
    }
    size_t extraAt = url.find_first_of(u"?#", authorityEnd);
    if (extraAt == std::u16string::npos) {
        extraAt = url.size();
    }
    out->path = url.substr(authorityEnd, extraAt - authorityEnd);
    out->extra = url.substr(extraAt);
    return AllOf(out->path, "-._~!$&'()*+,;=%:@/") && AllOf(out->extra, "-._~!$&'()*+,;=%:@/?#");
}

// A URL built from parts in the well-formed subset.
std::u16string BuildUrl(FuzzInput& in) {
    auto word = [&](const char* alphabet, size_t longest) {
        std::u16string text;
        const size_t size = strlen(alphabet);
        for (size_t i = in.Below(longest + 1); i > 0; --i) {
            text += static_cast<char16_t>(alphabet[in.Below(size)]);
        }
        return text;
    };
    const char* const schemes[] = {"http", "https", "HTTP", "HTTPS", "Https", "hTTp"};
    std::string scheme = schemes[in.Below(6)];
    std::u16string url(scheme.begin(), scheme.end());
    url += u"://";
    const uint8_t shape = in.Byte();
    if (shape & 1) {
        url += word("abcXYZ019-._~!$&'()*+,;=%", 8);
        if (shape & 2) {
            url += u":" + word("pqrPQR28-._~!$&'()*+,;=%", 8);
        }
        url += u"@";
    }
    if (shape & 4) {
        url += u"[" + word("0123456789abcdefABCDEF:.", 12) + u"1]";
    } else {
        url += word("abcdefxyzABC0129-.", 16) + u"h";
    }
    if (shape & 8) {
        const unsigned port = 1 + in.U16() % 65535;
        url += u":";
        if (shape & 16) {
            url += u"0";  // a leading zero, five digits at most
            if (port >= 10000) {
                url.pop_back();
            }
        }
        const std::string digits = std::to_string(port);
        url += std::u16string(digits.begin(), digits.end());
    }
    if (shape & 32) {
        url += u"/" + word("abAB09-._~!$&'()*+,;=%:@/", 16);
    }
    if (shape & 64) {
        url += u"?" + word("abAB09-._~!$&'()*+,;=%:@/?#", 16);
    }
    if (shape & 128) {
        url += u"#" + word("abAB09-._~!$&'()*+,;=%:@/?#", 16);
    }
    return url;
}

// Cracks the `length` units at `url` asking for every component as a pointer.
Cracked CrackToPointers(const WCHAR* url, DWORD length) {
    Cracked result;
    result.parts.dwStructSize = sizeof(URL_COMPONENTS);
    for (int i = 0; i < kComponents; ++i) {
        *LengthField(result.parts, i) = static_cast<DWORD>(-1);
    }
    SetLastError(0);
    result.ok = WinHttpCrackUrl(url, length, 0, &result.parts);
    result.error = GetLastError();
    return result;
}

Span SpanOf(URL_COMPONENTS& parts, int which) {
    return Span{*PointerField(parts, which), *LengthField(parts, which)};
}
std::u16string TextOf(const Span& span) {
    return span.start == nullptr ? std::u16string() : std::u16string(span.start, span.length);
}

// The checks of a successful crack against the URL's own text.
void CheckPieces(const std::u16string& url, const WCHAR* base, Cracked& r) {
    const WCHAR* const end = base + url.size();
    for (int i = 0; i < kComponents; ++i) {
        const Span span = SpanOf(r.parts, i);
        if (span.start == nullptr) {
            if ((i != 2 && i != 3) || span.length != 0) {
                FuzzFail("a component without a place in the URL", std::to_string(i));
            }
        } else if (span.start < base || span.start > end ||
                   span.length > static_cast<DWORD>(end - span.start)) {
            FuzzFail("a component outside the URL", std::to_string(i));
        }
    }
    const std::u16string scheme = Lower(TextOf(SpanOf(r.parts, 0)));
    const INTERNET_SCHEME wantedScheme =
        scheme == u"https" ? INTERNET_SCHEME_HTTPS : INTERNET_SCHEME_HTTP;
    if ((scheme != u"http" && scheme != u"https") || r.parts.nScheme != wantedScheme) {
        FuzzFail("the scheme is neither http nor https, or nScheme disagrees");
    }
    // Put together again, piece by piece, in the URL's order.
    size_t at = 0;
    auto expectAt = [&](const Span& span, const char* what) {
        if (span.start != base + at) {
            FuzzFail("a component is not where the URL has it:", what);
        }
        at += span.length;
    };
    expectAt(SpanOf(r.parts, 0), "scheme");
    if (url.compare(at, 3, u"://") != 0) {
        FuzzFail("no :// after the scheme");
    }
    at += 3;
    const Span user = SpanOf(r.parts, 2);
    const Span password = SpanOf(r.parts, 3);
    if (user.start != nullptr) {
        expectAt(user, "user");
        if (at < url.size() && url[at] == u':') {
            ++at;
            expectAt(password, "password");
        } else if (password.length != 0) {
            FuzzFail("a password without its colon");
        }
        if (at >= url.size() || url[at] != u'@') {
            FuzzFail("the user information does not end at an @");
        }
        ++at;
        if (TextOf(user).find(u':') != std::u16string::npos) {
            FuzzFail("a colon inside the user name");
        }
    } else if (password.start != nullptr) {
        FuzzFail("a password without a user");
    }
    const Span host = SpanOf(r.parts, 1);
    expectAt(host, "host");
    const std::u16string hostText = TextOf(host);
    const size_t closing = hostText[0] == u'[' ? hostText.find(u']') : 0;
    if (host.length == 0 || closing == std::u16string::npos ||
        hostText.find_first_of(u":@", closing) != std::u16string::npos) {
        FuzzFail("an empty host, or a colon or @ in the host outside brackets");
    }
    const Span path = SpanOf(r.parts, 4);
    const INTERNET_PORT defaultPort = wantedScheme == INTERNET_SCHEME_HTTPS ? 443 : 80;
    if (path.start != base + at) {
        if (url[at] != u':' || path.start < base + at + 2 || path.start > base + at + 6) {
            FuzzFail("something other than a port between the host and the path");
        }
        unsigned port = 0;
        for (const WCHAR* digit = base + at + 1; digit < path.start; ++digit) {
            if (*digit < u'0' || *digit > u'9') {
                FuzzFail("a port that is not decimal digits");
            }
            port = port * 10 + (*digit - u'0');
        }
        if (port == 0 || port > 65535 || r.parts.nPort != port) {
            FuzzFail("a port outside 1 to 65535 or different from nPort");
        }
        at = static_cast<size_t>(path.start - base);
    } else if (r.parts.nPort != defaultPort) {
        FuzzFail("a URL without a port did not get its scheme's default port");
    }
    expectAt(path, "path");
    const Span extra = SpanOf(r.parts, 5);
    expectAt(extra, "extra information");
    if (at != url.size()) {
        FuzzFail("the extra information does not run to the URL's end");
    }
    const std::u16string pathText = TextOf(path);
    const std::u16string extraText = TextOf(extra);
    if ((!pathText.empty() && pathText[0] != u'/') ||
        pathText.find_first_of(u"?#") != std::u16string::npos ||
        (!extraText.empty() && extraText[0] != u'?' && extraText[0] != u'#')) {
        FuzzFail("a path or extra information that does not start as it must");
    }
}

void CheckAgainstReference(const ReferenceUrl& ref, Cracked& r) {
    if (!r.ok) {
        FuzzFail("a well-formed URL failed with", std::to_string(r.error));
    }
    const Span user = SpanOf(r.parts, 2);
    const Span password = SpanOf(r.parts, 3);
    if (r.parts.nScheme != ref.scheme || r.parts.nPort != ref.port ||
        TextOf(SpanOf(r.parts, 1)) != ref.host || (user.start != nullptr) != ref.hasUser ||
        TextOf(user) != ref.user || TextOf(password) != ref.password ||
        TextOf(SpanOf(r.parts, 4)) != ref.path || TextOf(SpanOf(r.parts, 5)) != ref.extra) {
        FuzzFail("the components differ from the reference parser's");
    }
}

// Cracks again with each component asked for as `modes` says, and compares with
// the all-pointer crack `reference`.
void CheckDelivery(const WCHAR* url, DWORD length, Cracked& reference, FuzzInput& modes) {
    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof parts;
    WCHAR untouched[1] = {u'#'};
    WCHAR* buffers[kComponents] = {};
    DWORD capacities[kComponents] = {};
    int mode[kComponents] = {};
    for (int i = 0; i < kComponents; ++i) {
        const uint8_t choice = modes.Byte();
        mode[i] = choice % 3;
        if (mode[i] == 0) {  // not asked for: the pointer field is left alone
            *PointerField(parts, i) = untouched;
        } else if (mode[i] == 1) {  // any non-zero length asks for a pointer
            *LengthField(parts, i) = 1 + choice / 3;
        } else {  // a buffer of exactly the length given, at least one character
            capacities[i] = 1 + (choice / 3) % 48;
            buffers[i] = static_cast<WCHAR*>(malloc(capacities[i] * sizeof(WCHAR)));
            *PointerField(parts, i) = buffers[i];
            *LengthField(parts, i) = capacities[i];
        }
    }
    SetLastError(0);
    const BOOL ok = WinHttpCrackUrl(url, length, 0, &parts);
    const DWORD error = GetLastError();

    bool fits = true;
    for (int i = 0; i < kComponents && reference.ok; ++i) {
        const Span span = SpanOf(reference.parts, i);
        if (mode[i] == 0) {
            if (*PointerField(parts, i) != untouched || *LengthField(parts, i) != 0) {
                FuzzFail("a component not asked for was touched", std::to_string(i));
            }
        } else if (mode[i] == 1) {
            if (*PointerField(parts, i) != span.start || *LengthField(parts, i) != span.length) {
                FuzzFail("a pointer differs from the first crack's", std::to_string(i));
            }
        } else if (capacities[i] > span.length) {
            if (*LengthField(parts, i) != span.length || buffers[i][span.length] != 0 ||
                std::u16string(buffers[i], span.length) != TextOf(span)) {
                FuzzFail("a copied component differs", std::to_string(i));
            }
        } else {
            fits = false;
            if (*LengthField(parts, i) != span.length + 1) {
                FuzzFail("a short buffer was not told the length it needs", std::to_string(i));
            }
        }
    }
    if (!reference.ok) {
        if (ok || error != reference.error) {
            FuzzFail("the second crack does not fail as the first");
        }
    } else if (fits ? !ok : (ok || error != ERROR_INSUFFICIENT_BUFFER)) {
        FuzzFail("the answer does not follow from the buffers' sizes", std::to_string(error));
    } else if (parts.nScheme != reference.parts.nScheme || parts.nPort != reference.parts.nPort) {
        FuzzFail("scheme or port differ between the cracks");
    }
    for (WCHAR* buffer : buffers) {
        free(buffer);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    const uint8_t control = in.Byte();
    const std::string modeBytes = in.Bytes(kComponents);
    FuzzInput modes(reinterpret_cast<const uint8_t*>(modeBytes.data()), modeBytes.size());
    const bool built = (control & 1) != 0;
    const bool counted = (control & 2) != 0;
    std::u16string url = built ? BuildUrl(in) : Utf8ToUtf16(in.Rest());
    if (!counted) {
        url = url.substr(0, url.find(u'\0'));  // the terminator ends it
    } else if (url.empty()) {
        return 0;  // a length of 0 means "up to the terminator"
    }

    // The URL in a block of exactly its units, the terminator only when uncounted.
    const size_t units = url.size() + (counted ? 0 : 1);
    WCHAR* block = static_cast<WCHAR*>(malloc(units * sizeof(WCHAR)));
    memcpy(block, url.c_str(), units * sizeof(WCHAR));
    const DWORD length = counted ? static_cast<DWORD>(url.size()) : 0;

    Cracked r = CrackToPointers(block, length);
    if (r.ok) {
        CheckPieces(url, block, r);
    } else {
        const DWORD wanted = StartsWithHttpScheme(url) ? ERROR_WINHTTP_INVALID_URL
                                                       : ERROR_WINHTTP_UNRECOGNIZED_SCHEME;
        if (r.error != wanted) {
            FuzzFail("a failure with the wrong error", std::to_string(r.error));
        }
    }
    ReferenceUrl reference;
    if (ReferenceParse(url, &reference)) {
        CheckAgainstReference(reference, r);
    } else if (built) {
        FuzzFail("the reference refuses a URL built in the well-formed subset");
    }
    CheckDelivery(block, length, r, modes);
    free(block);
    return 0;
}
