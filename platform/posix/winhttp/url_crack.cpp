// WinHttpCrackUrl: an http or https URL split into scheme, user name, password,
// host, port, path and extra information (query and fragment), as pointers into the
// URL or as copies into the caller's buffers.
//
//   scheme "://" [user [":" password] "@"] host [":" port] [path] ["?" or "#" extra]
//
// The host ends at the first "/", "?" or "#" after "//" (an IPv6 literal keeps its
// brackets); the path starts at that "/" and ends where the extra information
// starts, at the first "?" or "#".
#include "platform/posix/shared/seams.h"
#include "platform/posix/win32_winhttp.h"

namespace {

struct Span {
    const WCHAR* start = nullptr;  // null: the component is not in the URL
    DWORD length = 0;
};

WCHAR Lower(WCHAR c) {
    return (c >= u'A' && c <= u'Z') ? static_cast<WCHAR>(c - u'A' + u'a') : c;
}

bool IsScheme(const Span& scheme, const char* name) {
    DWORD i = 0;
    for (; name[i] != 0; ++i) {
        if (i >= scheme.length || Lower(scheme.start[i]) != static_cast<WCHAR>(name[i])) {
            return false;
        }
    }
    return i == scheme.length;
}

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

// Hands one component to the caller the way the record asks for it: nothing when its
// length field is 0; a pointer into the URL when the pointer field is null; else a
// terminated copy into the caller's buffer of `*length` characters. False with
// ERROR_INSUFFICIENT_BUFFER (and the size needed in *length) when the copy does not fit.
bool Deliver(const Span& span, LPWSTR* pointer, DWORD* length) {
    if (*length == 0) {
        return true;
    }
    if (*pointer == nullptr) {
        *pointer = const_cast<LPWSTR>(span.start);
        *length = span.length;
        return true;
    }
    if (*length <= span.length) {
        *length = span.length + 1;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    for (DWORD i = 0; i < span.length; ++i) {
        (*pointer)[i] = span.start[i];
    }
    (*pointer)[span.length] = 0;
    *length = span.length;
    return true;
}

// The decimal port of `span`, 1 to 65535; false for anything else.
bool ParsePort(const Span& span, INTERNET_PORT* port) {
    if (span.length == 0 || span.length > 5) {
        return false;
    }
    DWORD value = 0;
    for (DWORD i = 0; i < span.length; ++i) {
        const WCHAR c = span.start[i];
        if (c < u'0' || c > u'9') {
            return false;
        }
        value = value * 10 + static_cast<DWORD>(c - u'0');
    }
    if (value == 0 || value > 65535) {
        return false;
    }
    *port = static_cast<INTERNET_PORT>(value);
    return true;
}

}  // namespace

BOOL WinHttpCrackUrl(LPCWSTR url, DWORD urlLength, DWORD flags, LPURL_COMPONENTS components) {
    uint32_t armed = 0;
    if (SeamCallFails("WinHttpCrackUrl", &armed)) {
        return Fail(armed);
    }
    if (url == nullptr || components == nullptr ||
        components->dwStructSize != sizeof(URL_COMPONENTS) || flags != 0) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    DWORD length = urlLength;
    if (length == 0) {
        while (url[length] != 0) {
            ++length;
        }
    }
    const WCHAR* const end = url + length;

    // "scheme://": a URL without it is relative, and only http and https are known.
    const WCHAR* p = url;
    while (p < end && *p != u':' && *p != u'/' && *p != u'?' && *p != u'#') {
        ++p;
    }
    if (p == url || p == end || *p != u':' || end - p < 3 || p[1] != u'/' || p[2] != u'/') {
        return Fail(ERROR_WINHTTP_UNRECOGNIZED_SCHEME);
    }
    const Span scheme{url, static_cast<DWORD>(p - url)};
    INTERNET_SCHEME schemeNumber;
    if (IsScheme(scheme, "http")) {
        schemeNumber = INTERNET_SCHEME_HTTP;
    } else if (IsScheme(scheme, "https")) {
        schemeNumber = INTERNET_SCHEME_HTTPS;
    } else {
        return Fail(ERROR_WINHTTP_UNRECOGNIZED_SCHEME);
    }

    const WCHAR* const authority = p + 3;
    const WCHAR* authorityEnd = authority;
    while (authorityEnd < end && *authorityEnd != u'/' && *authorityEnd != u'?' &&
           *authorityEnd != u'#') {
        ++authorityEnd;
    }

    // user[:password]@ ends at the authority's last "@".
    Span user;
    Span password;
    const WCHAR* hostStart = authority;
    for (const WCHAR* at = authorityEnd; at > authority; --at) {
        if (at[-1] == u'@') {
            hostStart = at;
            const WCHAR* colon = authority;
            while (colon < at - 1 && *colon != u':') {
                ++colon;
            }
            user = Span{authority, static_cast<DWORD>(colon - authority)};
            if (colon < at - 1) {
                password = Span{colon + 1, static_cast<DWORD>(at - 1 - (colon + 1))};
            } else {
                password = Span{colon, 0};
            }
            break;
        }
    }

    // host[:port]; the colons inside an IPv6 literal's brackets are not the port's.
    const WCHAR* hostEnd = hostStart;
    if (hostEnd < authorityEnd && *hostEnd == u'[') {
        while (hostEnd < authorityEnd && *hostEnd != u']') {
            ++hostEnd;
        }
        if (hostEnd == authorityEnd) {
            return Fail(ERROR_WINHTTP_INVALID_URL);
        }
        ++hostEnd;
    }
    while (hostEnd < authorityEnd && *hostEnd != u':') {
        ++hostEnd;
    }
    const Span host{hostStart, static_cast<DWORD>(hostEnd - hostStart)};
    if (host.length == 0) {
        return Fail(ERROR_WINHTTP_INVALID_URL);
    }
    INTERNET_PORT port = schemeNumber == INTERNET_SCHEME_HTTPS ? INTERNET_DEFAULT_HTTPS_PORT
                                                               : INTERNET_DEFAULT_HTTP_PORT;
    if (hostEnd < authorityEnd &&
        !ParsePort(Span{hostEnd + 1, static_cast<DWORD>(authorityEnd - hostEnd - 1)}, &port)) {
        return Fail(ERROR_WINHTTP_INVALID_URL);
    }

    const WCHAR* extraStart = authorityEnd;
    while (extraStart < end && *extraStart != u'?' && *extraStart != u'#') {
        ++extraStart;
    }
    const Span path{authorityEnd, static_cast<DWORD>(extraStart - authorityEnd)};
    const Span extra{extraStart, static_cast<DWORD>(end - extraStart)};

    components->nScheme = schemeNumber;
    components->nPort = port;
    // Every component is delivered before the first shortage is reported, so that
    // each length field tells the size it needs.
    bool fits = Deliver(scheme, &components->lpszScheme, &components->dwSchemeLength);
    fits = Deliver(host, &components->lpszHostName, &components->dwHostNameLength) && fits;
    fits = Deliver(user, &components->lpszUserName, &components->dwUserNameLength) && fits;
    fits = Deliver(password, &components->lpszPassword, &components->dwPasswordLength) && fits;
    fits = Deliver(path, &components->lpszUrlPath, &components->dwUrlPathLength) && fits;
    fits = Deliver(extra, &components->lpszExtraInfo, &components->dwExtraInfoLength) && fits;
    if (!fits) {
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    return TRUE;
}
