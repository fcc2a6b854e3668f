// The WinHTTP stand-in's handle table and the settings every session takes, and the
// calls that only make or change objects: WinHttpOpen, WinHttpConnect,
// WinHttpOpenRequest, WinHttpSetOption, WinHttpAddRequestHeaders,
// WinHttpQueryHeaders and WinHttpCloseHandle. Nothing here touches the network;
// that is curl_exchange.cpp.
#include "platform/posix/winhttp/internet_objects.h"

#include <map>
#include <mutex>

#include "platform/posix/shared/seams.h"
#include "platform/posix/shared/utf.h"

namespace {

struct TableState {
    std::mutex lock;
    std::map<uintptr_t, std::shared_ptr<InternetObject>> objects;
    uintptr_t nextHandle = 1;
    InternetSettings settings;
};

TableState& State() {
    static TableState* state = new TableState();  // never destroyed: used until exit
    return *state;
}

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

HINTERNET FailNull(DWORD error) {
    SetLastError(error);
    return nullptr;
}

constexpr DWORD kKnownProtocols =
    WINHTTP_FLAG_SECURE_PROTOCOL_SSL2 | WINHTTP_FLAG_SECURE_PROTOCOL_SSL3 |
    WINHTTP_FLAG_SECURE_PROTOCOL_TLS1 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_1 |
    WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
constexpr DWORD kKnownFeatures = WINHTTP_DISABLE_COOKIES | WINHTTP_DISABLE_REDIRECTS |
                                 WINHTTP_DISABLE_AUTHENTICATION | WINHTTP_DISABLE_KEEP_ALIVE;
constexpr DWORD kKnownModifiers =
    WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_ADD_IF_NEW | WINHTTP_ADDREQ_FLAG_REPLACE;
// WINHTTP_FLAG_BYPASS_PROXY_CACHE is accepted: nothing is cached here anyway.
constexpr DWORD kKnownRequestFlags = WINHTTP_FLAG_SECURE | WINHTTP_FLAG_ESCAPE_DISABLE | 0x100;

bool SameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        const char x = (a[i] >= 'A' && a[i] <= 'Z') ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
        const char y = (b[i] >= 'A' && b[i] <= 'Z') ? static_cast<char>(b[i] - 'A' + 'a') : b[i];
        if (x != y) {
            return false;
        }
    }
    return true;
}

std::string Trim(const std::string& text) {
    size_t first = 0;
    size_t last = text.size();
    while (first < last && (text[first] == ' ' || text[first] == '\t')) {
        ++first;
    }
    while (last > first && (text[last - 1] == ' ' || text[last - 1] == '\t')) {
        --last;
    }
    return text.substr(first, last - first);
}

// The object name as it goes on the request line: with a leading "/", and unless
// `raw`, every control byte, blank, DEL and non-ASCII byte (of the UTF-8 form)
// percent-escaped.
std::string RequestTarget(LPCWSTR objectName, bool raw) {
    const std::string name = objectName != nullptr ? InternetUtf8(objectName) : std::string();
    std::string target = (name.empty() || name[0] != '/') ? "/" : "";
    static const char kHex[] = "0123456789ABCDEF";
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (!raw && (byte <= 0x20 || byte >= 0x7F)) {
            target += '%';
            target += kHex[byte >> 4];
            target += kHex[byte & 0x0F];
        } else {
            target += c;
        }
    }
    return target;
}

// Applies one "Name:value" line to the request's headers; false with the error set.
bool ApplyHeader(InternetRequest* request, const std::string& line, DWORD modifiers) {
    const size_t colon = line.find(':');
    const std::string name =
        colon == std::string::npos ? std::string() : Trim(line.substr(0, colon));
    if (name.empty()) {
        SetLastError(ERROR_WINHTTP_INVALID_HEADER);
        return false;
    }
    const std::string value = Trim(line.substr(colon + 1));
    auto& headers = request->headers;
    bool present = false;
    for (const auto& header : headers) {
        present = present || SameName(header.first, name);
    }
    if (present && (modifiers & WINHTTP_ADDREQ_FLAG_ADD_IF_NEW)) {
        SetLastError(ERROR_WINHTTP_HEADER_ALREADY_EXISTS);
        return false;
    }
    if (modifiers & WINHTTP_ADDREQ_FLAG_REPLACE) {
        for (auto it = headers.begin(); it != headers.end();) {
            it = SameName(it->first, name) ? headers.erase(it) : it + 1;
        }
        if (value.empty()) {
            return true;
        }
    }
    headers.emplace_back(name, value);
    return true;
}

}  // namespace

HINTERNET AddInternetObject(std::shared_ptr<InternetObject> object) {
    TableState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    const uintptr_t handle = state.nextHandle++;
    state.objects.emplace(handle, std::move(object));
    return reinterpret_cast<HINTERNET>(handle);
}

std::shared_ptr<InternetObject> FindInternetObject(HINTERNET handle) {
    TableState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    auto it = state.objects.find(reinterpret_cast<uintptr_t>(handle));
    if (it == state.objects.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return it->second;
}

bool AddRequestHeaderLines(InternetRequest* request, const std::string& text, DWORD modifiers) {
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string line = text.substr(start, end - start);
        if (!line.empty() && !ApplyHeader(request, line, modifiers)) {
            return false;
        }
        start = end + 2;
    }
    return true;
}

InternetSettings CurrentInternetSettings() {
    TableState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    return state.settings;
}

bool InternetCallFails(const char* api) {
    uint32_t code = 0;
    if (SeamCallFails(api, &code)) {
        SetLastError(code);
        return true;
    }
    return false;
}

std::string InternetUtf8(LPCWSTR text, DWORD count) {
    if (text == nullptr) {
        return std::string();
    }
    size_t length = 0;
    if (count == 0 || count == 0xFFFFFFFF) {
        while (text[length] != 0) {
            ++length;
        }
    } else {
        length = count;
    }
    return Utf16ToUtf8(text, length);
}

size_t SeamLiveInternetHandles() {
    TableState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    return state.objects.size();
}

void SeamTrustExtraCa(const std::string& pemPath) {
    TableState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    state.settings.extraCaFile = pemPath;
}

void SeamRedirectConnection(const std::string& host, unsigned port, const std::string& address,
                            unsigned toPort) {
    // libcurl wants an IPv6 address in brackets.
    const bool ipv6 = address.find(':') != std::string::npos && address[0] != '[';
    const std::string target = ipv6 ? "[" + address + "]" : address;
    TableState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    state.settings.connectTo.push_back(host + ":" + std::to_string(port) + ":" + target + ":" +
                                       std::to_string(toPort));
}

void SeamSetInternetTimeouts(DWORD connectMs, DWORD sendReceiveMs) {
    TableState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    state.settings.connectTimeoutMs = connectMs;
    state.settings.sendReceiveTimeoutMs = sendReceiveMs;
}

void SeamClearInternetSettings() {
    TableState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    state.settings = InternetSettings();
}

HINTERNET WinHttpOpen(LPCWSTR agent, DWORD accessType, LPCWSTR proxyName, LPCWSTR proxyBypass,
                      DWORD flags) {
    if (InternetCallFails("WinHttpOpen")) {
        return nullptr;
    }
    // Only synchronous sessions are offered.
    if (flags != 0 ||
        (accessType != WINHTTP_ACCESS_TYPE_DEFAULT_PROXY &&
         accessType != WINHTTP_ACCESS_TYPE_NO_PROXY &&
         accessType != WINHTTP_ACCESS_TYPE_NAMED_PROXY) ||
        (accessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY &&
         (proxyName == nullptr || proxyName[0] == 0))) {
        return FailNull(ERROR_INVALID_PARAMETER);
    }
    auto session = std::make_shared<InternetSession>();
    session->agent = InternetUtf8(agent);
    session->accessType = accessType;
    if (accessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY) {
        session->proxy = InternetUtf8(proxyName);
        session->proxyBypass = InternetUtf8(proxyBypass);
    }
    session->settings = CurrentInternetSettings();
    return AddInternetObject(std::move(session));
}

HINTERNET WinHttpConnect(HINTERNET sessionHandle, LPCWSTR server, INTERNET_PORT port,
                         DWORD reserved) {
    if (InternetCallFails("WinHttpConnect")) {
        return nullptr;
    }
    auto session = FindInternetObjectOf<InternetSession>(sessionHandle, InternetKind::Session);
    if (session == nullptr) {
        return nullptr;
    }
    if (server == nullptr || server[0] == 0 || reserved != 0) {
        return FailNull(ERROR_INVALID_PARAMETER);
    }
    auto connection = std::make_shared<InternetConnection>();
    connection->session = std::move(session);
    connection->server = InternetUtf8(server);
    connection->port = port;
    return AddInternetObject(std::move(connection));
}

HINTERNET WinHttpOpenRequest(HINTERNET connectionHandle, LPCWSTR verb, LPCWSTR objectName,
                             LPCWSTR version, LPCWSTR referrer, LPCWSTR* acceptTypes, DWORD flags) {
    if (InternetCallFails("WinHttpOpenRequest")) {
        return nullptr;
    }
    auto connection =
        FindInternetObjectOf<InternetConnection>(connectionHandle, InternetKind::Connection);
    if (connection == nullptr) {
        return nullptr;
    }
    const std::string versionText = InternetUtf8(version);
    if ((flags & ~kKnownRequestFlags) != 0 ||
        !(versionText.empty() || versionText == "HTTP/1.1" || versionText == "HTTP/1.0")) {
        return FailNull(ERROR_INVALID_PARAMETER);
    }
    auto request = std::make_shared<InternetRequest>();
    request->connection = std::move(connection);
    request->verb = (verb == nullptr || verb[0] == 0) ? "GET" : InternetUtf8(verb);
    request->target = RequestTarget(objectName, (flags & WINHTTP_FLAG_ESCAPE_DISABLE) != 0);
    request->secure = (flags & WINHTTP_FLAG_SECURE) != 0;
    request->http10 = versionText == "HTTP/1.0";
    if (referrer != nullptr && referrer[0] != 0) {
        request->headers.emplace_back("Referer", InternetUtf8(referrer));
    }
    if (acceptTypes != nullptr) {
        std::string accept;
        for (LPCWSTR* type = acceptTypes; *type != nullptr; ++type) {
            accept += (accept.empty() ? "" : ", ") + InternetUtf8(*type);
        }
        if (!accept.empty()) {
            request->headers.emplace_back("Accept", accept);
        }
    }
    return AddInternetObject(std::move(request));
}

BOOL WinHttpSetOption(HINTERNET handle, DWORD option, LPVOID buffer, DWORD bufferLength) {
    if (InternetCallFails("WinHttpSetOption")) {
        return FALSE;
    }
    std::shared_ptr<InternetObject> object = FindInternetObject(handle);
    if (object == nullptr) {
        return FALSE;
    }
    if (buffer == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    switch (option) {
        case WINHTTP_OPTION_SECURE_PROTOCOLS: {
            if (object->kind != InternetKind::Session) {
                return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
            }
            if (bufferLength != sizeof(DWORD)) {
                return Fail(ERROR_INSUFFICIENT_BUFFER);
            }
            const DWORD protocols = *static_cast<const DWORD*>(buffer);
            if ((protocols & ~kKnownProtocols) != 0) {
                return Fail(ERROR_INVALID_PARAMETER);
            }
            static_cast<InternetSession*>(object.get())->secureProtocols = protocols;
            return TRUE;
        }
        case WINHTTP_OPTION_DISABLE_FEATURE: {
            if (object->kind != InternetKind::Request) {
                return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
            }
            if (bufferLength != sizeof(DWORD)) {
                return Fail(ERROR_INSUFFICIENT_BUFFER);
            }
            const DWORD features = *static_cast<const DWORD*>(buffer);
            if ((features & ~kKnownFeatures) != 0) {
                return Fail(ERROR_INVALID_PARAMETER);
            }
            static_cast<InternetRequest*>(object.get())->disabledFeatures |= features;
            return TRUE;
        }
        default:
            return Fail(ERROR_WINHTTP_INVALID_OPTION);
    }
}

BOOL WinHttpAddRequestHeaders(HINTERNET requestHandle, LPCWSTR headers, DWORD headersLength,
                              DWORD modifiers) {
    if (InternetCallFails("WinHttpAddRequestHeaders")) {
        return FALSE;
    }
    auto request = FindInternetObjectOf<InternetRequest>(requestHandle, InternetKind::Request);
    if (request == nullptr) {
        return FALSE;
    }
    if (headers == nullptr || (modifiers & ~kKnownModifiers) != 0) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (request->state != RequestState::Opened) {
        return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
    }
    return AddRequestHeaderLines(request.get(), InternetUtf8(headers, headersLength), modifiers)
               ? TRUE
               : FALSE;
}

BOOL WinHttpQueryHeaders(HINTERNET requestHandle, DWORD infoLevel, LPCWSTR name, LPVOID buffer,
                         LPDWORD bufferLength, LPDWORD index) {
    (void)name;
    if (InternetCallFails("WinHttpQueryHeaders")) {
        return FALSE;
    }
    auto request = FindInternetObjectOf<InternetRequest>(requestHandle, InternetKind::Request);
    if (request == nullptr) {
        return FALSE;
    }
    if (bufferLength == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (request->state != RequestState::Received) {
        return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
    }
    if ((infoLevel & ~WINHTTP_QUERY_FLAG_NUMBER) != WINHTTP_QUERY_STATUS_CODE ||
        (index != nullptr && *index != 0)) {
        return Fail(ERROR_WINHTTP_HEADER_NOT_FOUND);
    }
    if (infoLevel & WINHTTP_QUERY_FLAG_NUMBER) {
        if (*bufferLength < sizeof(DWORD)) {
            *bufferLength = sizeof(DWORD);
            return Fail(ERROR_INSUFFICIENT_BUFFER);
        }
        if (buffer == nullptr) {
            return Fail(ERROR_INVALID_PARAMETER);
        }
        *static_cast<DWORD*>(buffer) = request->statusCode;
        *bufferLength = sizeof(DWORD);
        return TRUE;
    }
    // As text, the length counts bytes: the terminator's too when asking for room.
    const std::string digits = std::to_string(request->statusCode);
    const DWORD needed = static_cast<DWORD>((digits.size() + 1) * sizeof(WCHAR));
    if (*bufferLength < needed || buffer == nullptr) {
        *bufferLength = needed;
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    WCHAR* out = static_cast<WCHAR*>(buffer);
    for (size_t i = 0; i < digits.size(); ++i) {
        out[i] = static_cast<WCHAR>(digits[i]);
    }
    out[digits.size()] = 0;
    *bufferLength = needed - sizeof(WCHAR);
    return TRUE;
}

BOOL WinHttpCloseHandle(HINTERNET handle) {
    TableState& state = State();
    {
        std::shared_ptr<InternetObject> released;  // destroyed outside the lock
        std::lock_guard<std::mutex> guard(state.lock);
        auto it = state.objects.find(reinterpret_cast<uintptr_t>(handle));
        if (it == state.objects.end()) {
            return Fail(ERROR_INVALID_HANDLE);
        }
        released = std::move(it->second);
        state.objects.erase(it);
    }
    // The handle is gone whatever the close says, as for files: an armed failure is
    // reported after it is released so that nothing leaks.
    if (InternetCallFails("WinHttpCloseHandle")) {
        return FALSE;
    }
    return TRUE;
}
