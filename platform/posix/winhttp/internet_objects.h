// The objects behind the WinHTTP stand-in's handles and the table that hands them
// out (internet_objects.cpp), shared with the exchange over libcurl
// (curl_exchange.cpp).
//
// A handle is a small number, never reused in a process, that maps to an object held
// by shared ownership: a connection holds its session and a request its connection,
// so a child keeps working after its parent's handle is closed, as in WinHTTP.
#ifndef OSTREL_PLATFORM_POSIX_WINHTTP_INTERNET_OBJECTS_H
#define OSTREL_PLATFORM_POSIX_WINHTTP_INTERNET_OBJECTS_H

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/posix/win32_winhttp.h"

enum class InternetKind { Session, Connection, Request };

struct InternetObject {
    explicit InternetObject(InternetKind k) : kind(k) {}
    virtual ~InternetObject() = default;
    const InternetKind kind;
};

// What the tests and the host set for every session (seams.h).
struct InternetSettings {
    std::string extraCaFile;             // empty: the system's store only
    std::vector<std::string> connectTo;  // libcurl's "HOST:PORT:ADDRESS:PORT" entries
    DWORD connectTimeoutMs = 60000;
    DWORD sendReceiveTimeoutMs = 30000;
};

struct InternetSession : InternetObject {
    InternetSession() : InternetObject(InternetKind::Session) {}
    std::string agent;  // UTF-8
    DWORD accessType = WINHTTP_ACCESS_TYPE_DEFAULT_PROXY;
    std::string proxy;  // named proxy, UTF-8
    std::string proxyBypass;
    // Until set: what this stand-in offers, TLS 1.2 and 1.3.
    DWORD secureProtocols =
        WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
    InternetSettings settings;  // taken when the session is opened
};

struct InternetConnection : InternetObject {
    InternetConnection() : InternetObject(InternetKind::Connection) {}
    std::shared_ptr<InternetSession> session;
    std::string server;  // UTF-8, as given (an IPv6 literal with its brackets)
    INTERNET_PORT port = INTERNET_DEFAULT_PORT;
};

enum class RequestState { Opened, Sent, Received };

struct InternetRequest : InternetObject {
    InternetRequest() : InternetObject(InternetKind::Request) {}
    std::shared_ptr<InternetConnection> connection;
    std::string verb;    // UTF-8
    std::string target;  // the escaped object name, starting with "/"
    bool secure = false;
    bool http10 = false;
    std::vector<std::pair<std::string, std::string>> headers;  // added, in order
    DWORD disabledFeatures = 0;
    RequestState state = RequestState::Opened;
    DWORD statusCode = 0;
    DWORD receiveError = 0;  // the error WinHttpReceiveResponse reports; 0: none
};

// Puts an object in the table and answers its new handle.
HINTERNET AddInternetObject(std::shared_ptr<InternetObject> object);
// The object behind an open handle, or null with ERROR_INVALID_HANDLE as the last
// error.
std::shared_ptr<InternetObject> FindInternetObject(HINTERNET handle);
// As FindInternetObject, of one kind: null with ERROR_WINHTTP_INCORRECT_HANDLE_TYPE
// for a handle of another kind.
template <typename T>
std::shared_ptr<T> FindInternetObjectOf(HINTERNET handle, InternetKind kind) {
    std::shared_ptr<InternetObject> object = FindInternetObject(handle);
    if (object == nullptr) {
        return nullptr;
    }
    if (object->kind != kind) {
        SetLastError(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
        return nullptr;
    }
    return std::static_pointer_cast<T>(object);
}

// Applies the "Name:value" lines of `text` (CR LF separated) to the request's
// headers as WinHttpAddRequestHeaders describes; false with the error set.
bool AddRequestHeaderLines(InternetRequest* request, const std::string& text, DWORD modifiers);

// The settings a session opened now takes.
InternetSettings CurrentInternetSettings();

// How every WinHTTP entry starts: true, with the armed code as the last error, when
// the test seams make this call of `api` fail.
bool InternetCallFails(const char* api);

// UTF-16 text of `count` units (or up to its terminator when count is -1 or 0) as
// UTF-8.
std::string InternetUtf8(LPCWSTR text, DWORD count = 0xFFFFFFFF);

#endif  // OSTREL_PLATFORM_POSIX_WINHTTP_INTERNET_OBJECTS_H
