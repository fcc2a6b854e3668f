// PostServiceTag: the service tag posted over HTTPS through WinHTTP, one step per
// call, each failure logged with its own line and ending the upload.
//
// The session allows TLS 1.3 and TLS 1.2, or TLS 1.2 alone where the system does not
// know TLS 1.3 (it refuses the pair with ERROR_INVALID_PARAMETER); never anything
// older, since the service tag carries machine data and current services refuse
// the older protocols anyway.
//
// The three handles and the two strings are owned by scope guards declared in the
// order that makes the clean-up free the strings first, then close the request,
// the connection and the session.
#include "actions/upload.h"

#include "runtime/context_log.h"
#include "runtime/heap_string.h"
#include "runtime/status.h"

namespace {

constexpr WCHAR kAgent[] = WSTR("Brevanta Registration");
constexpr WCHAR kUserAgentHeader[] = WSTR("User-Agent:User Interface");
constexpr WCHAR kContentTypeHeader[] = WSTR("Content-Type:text/xml; charset=utf-8");
constexpr DWORD kZeroTerminated = static_cast<DWORD>(-1);
constexpr DWORD kStatusOk = 200;

// WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 and _TLS1_3 (not every SDK names the latter).
constexpr DWORD kTls12 = 0x00000800;
constexpr DWORD kTls13 = 0x00002000;

// An open WinHTTP handle, closed with WinHttpCloseHandle at the end of its scope.
class InternetHandle {
  public:
    InternetHandle() = default;
    ~InternetHandle() {
        if (handle_ != nullptr) {
            WinHttpCloseHandle(handle_);
        }
    }
    InternetHandle(const InternetHandle&) = delete;
    InternetHandle& operator=(const InternetHandle&) = delete;
    // Takes the handle an open call answered (null when it failed).
    bool Take(HINTERNET handle) {
        handle_ = handle;
        return handle_ != nullptr;
    }
    HINTERNET get() const { return handle_; }

  private:
    HINTERNET handle_ = nullptr;
};

// Allows TLS 1.3 and 1.2 on the session, or TLS 1.2 alone where the pair is refused
// as an unknown value.
BOOL SetSecureProtocols(HINTERNET session) {
    DWORD protocols = kTls12 | kTls13;
    if (WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols)) {
        return TRUE;
    }
    if (GetLastError() != ERROR_INVALID_PARAMETER) {
        return FALSE;
    }
    protocols = kTls12;
    return WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols);
}

}  // namespace

HRESULT PostServiceTag(LPCWSTR destination, const BYTE* body, DWORD bodyLength) {
    InternetHandle session;
    InternetHandle connection;
    InternetHandle request;
    HeapString host;
    HeapString path;

    URL_COMPONENTS components = {};
    components.dwStructSize = sizeof components;
    components.dwSchemeLength = kZeroTerminated;
    components.dwHostNameLength = kZeroTerminated;
    components.dwUrlPathLength = kZeroTerminated;
    components.dwExtraInfoLength = kZeroTerminated;
    if (!WinHttpCrackUrl(destination, 0, 0, &components)) {
        const HRESULT hr = LastErrorStatus();
        LogFailure(hr, "failed to crack URL.");
        return hr;
    }

    HRESULT hr = WStrCopy(host.address(), components.lpszHostName, components.dwHostNameLength);
    if (FAILED(hr)) {
        LogFailure(hr, "failed to get host.");
        return hr;
    }
    LogLine(LogTrace, "host = %wS.", host.get());

    // The path and the extra information (query, fragment) follow each other in the
    // URL, so they are copied in one piece from the start of the path.
    const ULONGLONG pathLength =
        static_cast<ULONGLONG>(components.dwUrlPathLength) + components.dwExtraInfoLength;
    if (pathLength >= kMaxBufferCount) {
        hr = E_OUTOFMEMORY;  // more than a heap string holds; the sum must not wrap
    } else {
        hr = WStrCopy(path.address(), components.lpszUrlPath, static_cast<DWORD>(pathLength));
    }
    if (FAILED(hr)) {
        LogFailure(hr, "failed to get dest.");
        return hr;
    }
    LogLine(LogTrace, "destination = %wS.", path.get());

    if (!session.Take(WinHttpOpen(kAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                  WINHTTP_NO_PROXY_BYPASS, 0))) {
        hr = LastErrorStatus();
        LogFailure(hr, "failed to Open request.");
        return hr;
    }
    LogLine(LogTrace, "opened");

    if (!SetSecureProtocols(session.get())) {
        hr = LastErrorStatus();
        LogFailure(hr, "failed to set all SSL versions.");
        return hr;
    }
    LogLine(LogTrace, "set option");

    // Port 443 whatever the URL names: the service tag only ever travels over TLS.
    if (!connection.Take(
            WinHttpConnect(session.get(), host.get(), INTERNET_DEFAULT_HTTPS_PORT, 0))) {
        hr = LastErrorStatus();
        LogFailure(hr, "failed to open connection.");
        return hr;
    }
    LogLine(LogTrace, "connected");

    if (!request.Take(WinHttpOpenRequest(connection.get(), WSTR("POST"), path.get(), nullptr,
                                         WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                         WINHTTP_FLAG_SECURE))) {
        hr = LastErrorStatus();
        LogFailure(hr, "failed to open request.");
        return hr;
    }
    LogLine(LogTrace, "request opened");

    DWORD features = WINHTTP_DISABLE_KEEP_ALIVE;
    if (!WinHttpSetOption(request.get(), WINHTTP_OPTION_DISABLE_FEATURE, &features,
                          sizeof features)) {
        hr = LastErrorStatus();
        LogFailure(hr, "failed to set disable keep alive.");
        return hr;
    }
    LogLine(LogTrace, "option 2");

    if (!WinHttpAddRequestHeaders(request.get(), kUserAgentHeader, kZeroTerminated, 0)) {
        hr = LastErrorStatus();
        LogFailure(hr, "failed to set first header.");
        return hr;
    }
    LogLine(LogTrace, "header 1");

    if (!WinHttpAddRequestHeaders(request.get(), kContentTypeHeader, kZeroTerminated, 0)) {
        hr = LastErrorStatus();
        LogFailure(hr, "failed to set second header.");
        return hr;
    }
    LogLine(LogTrace, "header 2");

    // The whole body goes with the request: no separate writes.
    if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                            const_cast<BYTE*>(body), bodyLength, bodyLength, 0)) {
        hr = LastErrorStatus();
        LogFailure(hr, "failed to send request.");
        return hr;
    }

    if (!WinHttpReceiveResponse(request.get(), nullptr)) {
        LogLine(LogTrace, "No response to POST request. Offline.");
        return E_FAIL;
    }

    // The query's own result is not examined: when it fails the code stays 0.
    DWORD statusCode = 0;
    DWORD statusSize = sizeof statusCode;
    WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                        WINHTTP_HEADER_NAME_BY_INDEX, &statusCode, &statusSize,
                        WINHTTP_NO_HEADER_INDEX);
    if (statusCode != kStatusOk) {
        LogLine(LogTrace, "Status Code %u was returned.", static_cast<unsigned>(statusCode));
        return E_FAIL;
    }
    LogLine(LogTrace, "POSTed Service Tag.");
    return S_OK;
}
