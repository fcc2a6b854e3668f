// posix substitutes: the calls of winhttp (WinHttpCrackUrl, WinHttpOpen,
// WinHttpSetOption, WinHttpConnect, WinHttpOpenRequest, WinHttpAddRequestHeaders,
// WinHttpSendRequest, WinHttpReceiveResponse, WinHttpQueryHeaders,
// WinHttpCloseHandle), over libcurl, in winhttp/*.cpp.
//
// Synchronous use only, as the library makes it. A session, a connection and a
// request are handles of one in-process table; a child keeps its parent's settings
// alive after the parent's handle is closed, as WinHTTP's handles do. The exchange
// happens in WinHttpSendRequest (request and whole body in one call, no
// WinHttpWriteData); WinHttpReceiveResponse hands over its outcome, and the response
// body is never read. What the stand-in does the way WinHTTP does: TLS with the
// certificate and host name verified against the system's trust store, no redirect
// followed, WinHTTP's default time-outs (connect 60 s, send and receive 30 s), and
// WinHTTP's error codes through SetLastError (12029 cannot connect, 12175 a
// certificate or TLS failure, 12002 a time-out, 12007 a name not resolved, ...).
// Its own floor: TLS 1.2; a session whose secure protocols name nothing from TLS 1.2
// up cannot send over TLS at all (12175).
#ifndef OSTREL_PLATFORM_POSIX_WIN32_WINHTTP_H
#define OSTREL_PLATFORM_POSIX_WIN32_WINHTTP_H

#include "platform/posix/win32_base.h"

typedef void* HINTERNET;
typedef uintptr_t DWORD_PTR;
typedef WORD INTERNET_PORT;
typedef HINTERNET* LPHINTERNET;

#define INTERNET_DEFAULT_PORT 0
#define INTERNET_DEFAULT_HTTP_PORT 80
#define INTERNET_DEFAULT_HTTPS_PORT 443

typedef enum {
    INTERNET_SCHEME_HTTP = 1,
    INTERNET_SCHEME_HTTPS = 2,
} INTERNET_SCHEME;

// WinHttpCrackUrl's record. A component whose length is non-zero and whose pointer
// is null comes back as a pointer into the URL with its length.
typedef struct {
    DWORD dwStructSize;
    LPWSTR lpszScheme;
    DWORD dwSchemeLength;
    INTERNET_SCHEME nScheme;
    LPWSTR lpszHostName;
    DWORD dwHostNameLength;
    INTERNET_PORT nPort;
    LPWSTR lpszUserName;
    DWORD dwUserNameLength;
    LPWSTR lpszPassword;
    DWORD dwPasswordLength;
    LPWSTR lpszUrlPath;
    DWORD dwUrlPathLength;
    LPWSTR lpszExtraInfo;
    DWORD dwExtraInfoLength;
} URL_COMPONENTS, *LPURL_COMPONENTS;

#define WINHTTP_ACCESS_TYPE_DEFAULT_PROXY 0
#define WINHTTP_ACCESS_TYPE_NO_PROXY 1
#define WINHTTP_ACCESS_TYPE_NAMED_PROXY 3
#define WINHTTP_NO_PROXY_NAME nullptr
#define WINHTTP_NO_PROXY_BYPASS nullptr
#define WINHTTP_NO_REFERER nullptr
#define WINHTTP_DEFAULT_ACCEPT_TYPES nullptr
#define WINHTTP_NO_ADDITIONAL_HEADERS nullptr
#define WINHTTP_NO_REQUEST_DATA nullptr
#define WINHTTP_HEADER_NAME_BY_INDEX nullptr
#define WINHTTP_NO_HEADER_INDEX nullptr

#define WINHTTP_FLAG_ASYNC 0x10000000
#define WINHTTP_FLAG_SECURE 0x00800000
#define WINHTTP_FLAG_ESCAPE_DISABLE 0x00000040

#define WINHTTP_OPTION_DISABLE_FEATURE 63
#define WINHTTP_OPTION_SECURE_PROTOCOLS 84
#define WINHTTP_DISABLE_COOKIES 0x00000001
#define WINHTTP_DISABLE_REDIRECTS 0x00000002
#define WINHTTP_DISABLE_AUTHENTICATION 0x00000004
#define WINHTTP_DISABLE_KEEP_ALIVE 0x00000008

#define WINHTTP_FLAG_SECURE_PROTOCOL_SSL2 0x00000008
#define WINHTTP_FLAG_SECURE_PROTOCOL_SSL3 0x00000020
#define WINHTTP_FLAG_SECURE_PROTOCOL_TLS1 0x00000080
#define WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_1 0x00000200
#define WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 0x00000800
#define WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3 0x00002000

#define WINHTTP_ADDREQ_FLAG_ADD_IF_NEW 0x10000000
#define WINHTTP_ADDREQ_FLAG_ADD 0x20000000
#define WINHTTP_ADDREQ_FLAG_REPLACE 0x80000000

#define WINHTTP_QUERY_STATUS_CODE 19
#define WINHTTP_QUERY_FLAG_NUMBER 0x20000000

// WinHTTP's own error codes.
#define ERROR_WINHTTP_TIMEOUT 12002L
#define ERROR_WINHTTP_INTERNAL_ERROR 12004L
#define ERROR_WINHTTP_INVALID_URL 12005L
#define ERROR_WINHTTP_UNRECOGNIZED_SCHEME 12006L
#define ERROR_WINHTTP_NAME_NOT_RESOLVED 12007L
#define ERROR_WINHTTP_INVALID_OPTION 12009L
#define ERROR_WINHTTP_OPERATION_CANCELLED 12017L
#define ERROR_WINHTTP_INCORRECT_HANDLE_TYPE 12018L
#define ERROR_WINHTTP_INCORRECT_HANDLE_STATE 12019L
#define ERROR_WINHTTP_CANNOT_CONNECT 12029L
#define ERROR_WINHTTP_CONNECTION_ERROR 12030L
#define ERROR_WINHTTP_HEADER_NOT_FOUND 12150L
#define ERROR_WINHTTP_INVALID_SERVER_RESPONSE 12152L
#define ERROR_WINHTTP_INVALID_HEADER 12153L
#define ERROR_WINHTTP_HEADER_ALREADY_EXISTS 12155L
#define ERROR_WINHTTP_SECURE_FAILURE 12175L

// Splits an http or https URL (zero-terminated when urlLength is 0) into its parts.
// Only flags 0 is offered: nothing is decoded or escaped. A URL without "scheme://"
// (a relative one) or with another scheme fails with
// ERROR_WINHTTP_UNRECOGNIZED_SCHEME, one without a host or with a bad port with
// ERROR_WINHTTP_INVALID_URL. The port is the URL's own, else 80 or 443.
BOOL WinHttpCrackUrl(LPCWSTR url, DWORD urlLength, DWORD flags, LPURL_COMPONENTS components);

// A session: the agent becomes the User-Agent of its requests unless a request adds
// its own. WINHTTP_ACCESS_TYPE_DEFAULT_PROXY takes the proxy from the environment
// (http_proxy, https_proxy, no_proxy), as libcurl does.
HINTERNET WinHttpOpen(LPCWSTR agent, DWORD accessType, LPCWSTR proxyName, LPCWSTR proxyBypass,
                      DWORD flags);
// Options: WINHTTP_OPTION_SECURE_PROTOCOLS on a session (WINHTTP_FLAG_SECURE_PROTOCOL_*
// bits; other bits give ERROR_INVALID_PARAMETER) and WINHTTP_OPTION_DISABLE_FEATURE on
// a request (WINHTTP_DISABLE_*). Values are 4 bytes (else ERROR_INSUFFICIENT_BUFFER);
// other options give ERROR_WINHTTP_INVALID_OPTION.
BOOL WinHttpSetOption(HINTERNET handle, DWORD option, LPVOID buffer, DWORD bufferLength);
// A connection to `server` on `port` (INTERNET_DEFAULT_PORT: 80, or 443 for secure
// requests). Nothing is sent until a request is.
HINTERNET WinHttpConnect(HINTERNET session, LPCWSTR server, INTERNET_PORT port, DWORD reserved);
// A request on a connection: verb (null: GET), object name (null or empty: "/"; a
// leading "/" is added when missing), version (null or "HTTP/1.1", or "HTTP/1.0").
// Control characters, blanks and non-ASCII characters of the object name are
// percent-escaped as UTF-8 unless WINHTTP_FLAG_ESCAPE_DISABLE. WINHTTP_FLAG_SECURE
// selects https. No Accept header is sent unless accept types are given.
HINTERNET WinHttpOpenRequest(HINTERNET connection, LPCWSTR verb, LPCWSTR objectName,
                             LPCWSTR version, LPCWSTR referrer, LPCWSTR* acceptTypes, DWORD flags);
// Adds "Name:value" header lines (CR LF separated; length -1 or 0 when
// zero-terminated). Modifiers 0 or WINHTTP_ADDREQ_FLAG_ADD append; _REPLACE replaces
// a header of that name (an empty value removes it); _ADD_IF_NEW fails with
// ERROR_WINHTTP_HEADER_ALREADY_EXISTS when there is one. A line without a colon
// gives ERROR_WINHTTP_INVALID_HEADER.
BOOL WinHttpAddRequestHeaders(HINTERNET request, LPCWSTR headers, DWORD headersLength,
                              DWORD modifiers);
// Connects, sends the request with the `optionalLength` bytes of `optional` as its
// body (with Content-Length; a POST without a body says 0), and reads the response
// headers. totalLength must equal optionalLength: the body goes in this one call.
// Fails with the WinHTTP error of a failure before the request was sent whole.
BOOL WinHttpSendRequest(HINTERNET request, LPCWSTR headers, DWORD headersLength, LPVOID optional,
                        DWORD optionalLength, DWORD totalLength, DWORD_PTR context);
// Hands over the response of the sent request, or the error that ended the exchange
// after the request was sent (a time-out, 12002; no valid response, 12152).
BOOL WinHttpReceiveResponse(HINTERNET request, LPVOID reserved);
// WINHTTP_QUERY_STATUS_CODE of a received response: as a DWORD with
// WINHTTP_QUERY_FLAG_NUMBER, else as wide text (length protocol in bytes:
// ERROR_INSUFFICIENT_BUFFER with the size needed). Other queries give
// ERROR_WINHTTP_HEADER_NOT_FOUND.
BOOL WinHttpQueryHeaders(HINTERNET request, DWORD infoLevel, LPCWSTR name, LPVOID buffer,
                         LPDWORD bufferLength, LPDWORD index);
// Closes any of the three kinds of handle; FALSE with ERROR_INVALID_HANDLE for one that
// is not open.
BOOL WinHttpCloseHandle(HINTERNET handle);

#endif  // OSTREL_PLATFORM_POSIX_WIN32_WINHTTP_H
