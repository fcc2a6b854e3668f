// WinHttpSendRequest and WinHttpReceiveResponse over libcurl: one easy handle per
// request, made, used and cleaned up inside WinHttpSendRequest.
//
// libcurl does the whole exchange in one call, so the send decides which of the two
// calls reports a failure: one before the request and its body were sent whole
// (name, connection, TLS) is WinHttpSendRequest's, one after it (no answer in time,
// no valid answer) is handed to WinHttpReceiveResponse. The transfer stops at the
// first byte of the response body: the body is never read, and a service that sends
// an endless one cannot hold the caller.
//
// curl errors become WinHTTP's in WinHttpErrorFor and nowhere else.
#include <curl/curl.h>
#include <strings.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <chrono>
#include <memory>
#include <mutex>

#include "platform/posix/winhttp/internet_objects.h"

namespace {

struct CurlEasyCleanup {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct CurlListFree {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using CurlEasy = std::unique_ptr<CURL, CurlEasyCleanup>;
using CurlList = std::unique_ptr<curl_slist, CurlListFree>;

// What the callbacks of one transfer share.
struct Transfer {
    CURL* easy = nullptr;
    bool secure = false;
    std::string extraCaFile;
    bool stoppedAtBody = false;
    // The send and receive time-out: once connected, the longest time no byte may
    // move in either direction.
    std::chrono::milliseconds idleLimit{0};
    bool connected = false;
    std::chrono::steady_clock::time_point lastActivity;
    curl_off_t lastMoved = -1;
    bool timedOut = false;
};

bool CurlReady() {
    static std::once_flag once;
    static CURLcode initialized = CURLE_FAILED_INIT;
    std::call_once(once, [] { initialized = curl_global_init(CURL_GLOBAL_DEFAULT); });
    return initialized == CURLE_OK;
}

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

// The one translation of a curl result into the error WinHTTP gives for it.
DWORD WinHttpErrorFor(CURLcode result) {
    switch (result) {
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return ERROR_WINHTTP_NAME_NOT_RESOLVED;
        case CURLE_COULDNT_CONNECT:
            return ERROR_WINHTTP_CANNOT_CONNECT;
        case CURLE_OPERATION_TIMEDOUT:
            return ERROR_WINHTTP_TIMEOUT;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_INVALIDCERTSTATUS:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
        case CURLE_SSL_ENGINE_INITFAILED:
        case CURLE_USE_SSL_FAILED:
            return ERROR_WINHTTP_SECURE_FAILURE;
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
            return ERROR_WINHTTP_CONNECTION_ERROR;
        case CURLE_GOT_NOTHING:
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_PARTIAL_FILE:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM:
        case CURLE_BAD_CONTENT_ENCODING:
            return ERROR_WINHTTP_INVALID_SERVER_RESPONSE;
        case CURLE_URL_MALFORMAT:
        case CURLE_UNSUPPORTED_PROTOCOL:
            return ERROR_WINHTTP_INVALID_URL;
        case CURLE_OUT_OF_MEMORY:
            return ERROR_NOT_ENOUGH_MEMORY;
        case CURLE_ABORTED_BY_CALLBACK:
            return ERROR_WINHTTP_OPERATION_CANCELLED;
        default:
            return ERROR_WINHTTP_INTERNAL_ERROR;
    }
}

// The body is not read: the first bytes of it end the transfer.
size_t StopAtBody(char* /*data*/, size_t /*size*/, size_t /*count*/, void* user) {
    static_cast<Transfer*>(user)->stoppedAtBody = true;
    return 0;
}

// Ends the transfer when, after connecting, nothing moved for the idle limit.
// libcurl calls this often while bytes move and about once a second while none do.
int WatchIdleTime(void* user, curl_off_t /*downTotal*/, curl_off_t downNow, curl_off_t /*upTotal*/,
                  curl_off_t upNow) {
    auto* transfer = static_cast<Transfer*>(user);
    const auto now = std::chrono::steady_clock::now();
    curl_off_t connectedAt = 0;
    curl_easy_getinfo(transfer->easy,
                      transfer->secure ? CURLINFO_APPCONNECT_TIME_T : CURLINFO_CONNECT_TIME_T,
                      &connectedAt);
    if (connectedAt == 0) {
        return 0;  // still connecting: the connect time-out's business
    }
    long headerBytes = 0;
    curl_easy_getinfo(transfer->easy, CURLINFO_HEADER_SIZE, &headerBytes);
    const curl_off_t moved = downNow + upNow + headerBytes;
    if (!transfer->connected || moved != transfer->lastMoved) {
        transfer->connected = true;
        transfer->lastMoved = moved;
        transfer->lastActivity = now;
        return 0;
    }
    if (now - transfer->lastActivity >= transfer->idleLimit) {
        transfer->timedOut = true;
        return 1;
    }
    return 0;
}

// Adds the extra trusted CA to the store libcurl filled from the system's.
CURLcode TrustExtraCa(CURL* /*easy*/, void* sslContext, void* user) {
    const auto* transfer = static_cast<const Transfer*>(user);
    X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(sslContext));
    if (store == nullptr || X509_STORE_load_file(store, transfer->extraCaFile.c_str()) != 1) {
        return CURLE_SSL_CACERT_BADFILE;
    }
    return CURLE_OK;
}

bool HasHeader(const InternetRequest& request, const char* name) {
    for (const auto& header : request.headers) {
        if (strcasecmp(header.first.c_str(), name) == 0) {
            return true;
        }
    }
    return false;
}

// The request's header lines for libcurl, with libcurl's own additions that WinHTTP
// does not make taken out again (an empty "Name:" removes one).
bool BuildHeaderList(const InternetRequest& request, CurlList* list) {
    std::vector<std::string> lines;
    for (const auto& header : request.headers) {
        // "Name;" is libcurl's way to send a header with an empty value.
        lines.push_back(header.second.empty() ? header.first + ";"
                                              : header.first + ": " + header.second);
    }
    for (const char* name : {"Accept", "Expect", "Content-Type"}) {
        if (!HasHeader(request, name)) {
            lines.push_back(std::string(name) + ":");
        }
    }
    if ((request.disabledFeatures & WINHTTP_DISABLE_KEEP_ALIVE) &&
        !HasHeader(request, "Connection")) {
        lines.push_back("Connection: close");
    }
    for (const std::string& line : lines) {
        curl_slist* grown = curl_slist_append(list->get(), line.c_str());
        if (grown == nullptr) {
            return false;
        }
        list->release();
        list->reset(grown);
    }
    return true;
}

bool BuildConnectToList(const std::vector<std::string>& entries, CurlList* list) {
    for (const std::string& entry : entries) {
        curl_slist* grown = curl_slist_append(list->get(), entry.c_str());
        if (grown == nullptr) {
            return false;
        }
        list->release();
        list->reset(grown);
    }
    return true;
}

// libcurl's TLS version range for WinHTTP's protocol bits, from TLS 1.2 up; false
// when the bits allow none of those.
bool TlsVersionRange(DWORD protocols, long* range) {
    const bool tls12 = (protocols & WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2) != 0;
    const bool tls13 = (protocols & WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3) != 0;
    if (!tls12 && !tls13) {
        return false;
    }
    *range = (tls12 ? CURL_SSLVERSION_TLSv1_2 : CURL_SSLVERSION_TLSv1_3) |
             (tls13 ? CURL_SSLVERSION_MAX_DEFAULT : CURL_SSLVERSION_MAX_TLSv1_2);
    return true;
}

std::string HostForUrl(const std::string& server) {
    const bool bareIpv6 = server.find(':') != std::string::npos && server[0] != '[';
    return bareIpv6 ? "[" + server + "]" : server;
}

// WinHTTP's proxy bypass list ("a;b c") as libcurl's ("a,b,c"); "<local>" has no
// libcurl form and is dropped.
std::string NoProxyList(const std::string& bypass) {
    std::string list;
    std::string item;
    for (size_t i = 0; i <= bypass.size(); ++i) {
        const char c = i < bypass.size() ? bypass[i] : ';';
        if (c == ';' || c == ' ' || c == ',') {
            if (!item.empty() && item != "<local>") {
                list += (list.empty() ? "" : ",") + item;
            }
            item.clear();
        } else {
            item += c;
        }
    }
    return list;
}

struct Outcome {
    CURLcode result = CURLE_OK;
    long status = 0;
    bool sentWhole = false;  // the request and all of its body went out
    bool stoppedAtBody = false;
};

// Runs the exchange of `request` with `body`; false when libcurl could not be set up.
bool Exchange(const InternetRequest& request, const char* body, DWORD bodyLength,
              Outcome* outcome) {
    const InternetConnection& connection = *request.connection;
    const InternetSession& session = *connection.session;
    const InternetSettings& settings = session.settings;

    CurlEasy easy(curl_easy_init());
    CurlList headers;
    CurlList connectTo;
    if (easy == nullptr || !BuildHeaderList(request, &headers) ||
        !BuildConnectToList(settings.connectTo, &connectTo)) {
        return false;
    }
    const unsigned port =
        connection.port != INTERNET_DEFAULT_PORT
            ? connection.port
            : (request.secure ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT);
    const std::string url = std::string(request.secure ? "https://" : "http://") +
                            HostForUrl(connection.server) + ":" + std::to_string(port) +
                            request.target;
    // A redirected host is reached directly: a proxy would defeat the redirection.
    const std::string redirectPrefix = connection.server + ":" + std::to_string(port) + ":";
    bool redirected = false;
    for (const std::string& entry : settings.connectTo) {
        redirected = redirected || entry.compare(0, redirectPrefix.size(), redirectPrefix) == 0;
    }

    Transfer transfer;
    transfer.easy = easy.get();
    transfer.secure = request.secure;
    transfer.extraCaFile = settings.extraCaFile;
    transfer.idleLimit = std::chrono::milliseconds(settings.sendReceiveTimeoutMs);
    CURL* e = easy.get();
    bool ok = curl_easy_setopt(e, CURLOPT_URL, url.c_str()) == CURLE_OK;
    ok = ok && curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK;
    ok = ok && curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L) == CURLE_OK;
    ok = ok && curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L) == CURLE_OK;
    ok = ok && curl_easy_setopt(e, CURLOPT_FORBID_REUSE, 1L) == CURLE_OK;
    ok = ok && curl_easy_setopt(e, CURLOPT_HTTP_VERSION,
                                request.http10 ? CURL_HTTP_VERSION_1_0 : CURL_HTTP_VERSION_1_1) ==
                   CURLE_OK;
    if (request.verb == "HEAD") {
        ok = ok && curl_easy_setopt(e, CURLOPT_NOBODY, 1L) == CURLE_OK;
    } else if (request.verb == "GET" && bodyLength == 0) {
        ok = ok && curl_easy_setopt(e, CURLOPT_HTTPGET, 1L) == CURLE_OK;
    } else {
        // Never a null body pointer: libcurl would then read the body from stdin.
        static const char kNoBody[] = "";
        ok = ok && curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE,
                                    static_cast<curl_off_t>(bodyLength)) == CURLE_OK;
        ok = ok &&
             curl_easy_setopt(e, CURLOPT_POSTFIELDS, body != nullptr ? body : kNoBody) == CURLE_OK;
        if (request.verb != "POST") {
            ok = ok && curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, request.verb.c_str()) == CURLE_OK;
        }
    }
    if (!session.agent.empty()) {
        ok = ok && curl_easy_setopt(e, CURLOPT_USERAGENT, session.agent.c_str()) == CURLE_OK;
    }
    ok = ok && curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers.get()) == CURLE_OK;
    if (session.accessType == WINHTTP_ACCESS_TYPE_NO_PROXY || redirected) {
        ok = ok && curl_easy_setopt(e, CURLOPT_PROXY, "") == CURLE_OK;
    } else if (session.accessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY) {
        const std::string noProxy = NoProxyList(session.proxyBypass);
        ok = ok && curl_easy_setopt(e, CURLOPT_PROXY, session.proxy.c_str()) == CURLE_OK;
        ok = ok && curl_easy_setopt(e, CURLOPT_NOPROXY, noProxy.c_str()) == CURLE_OK;
    }
    if (connectTo != nullptr) {
        ok = ok && curl_easy_setopt(e, CURLOPT_CONNECT_TO, connectTo.get()) == CURLE_OK;
    }
    if (request.secure) {
        long range = 0;
        TlsVersionRange(session.secureProtocols, &range);
        ok = ok && curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK;
        ok = ok && curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK;
        ok = ok && curl_easy_setopt(e, CURLOPT_SSLVERSION, range) == CURLE_OK;
        if (!transfer.extraCaFile.empty()) {
            ok = ok && curl_easy_setopt(e, CURLOPT_SSL_CTX_FUNCTION, TrustExtraCa) == CURLE_OK;
            ok = ok && curl_easy_setopt(e, CURLOPT_SSL_CTX_DATA, &transfer) == CURLE_OK;
        }
    }
    // WinHTTP's time-outs: connecting, then no byte moving for the send and receive
    // time-out.
    ok = ok && curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS,
                                static_cast<long>(settings.connectTimeoutMs)) == CURLE_OK;
    ok = ok && curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L) == CURLE_OK;
    ok = ok && curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, WatchIdleTime) == CURLE_OK;
    ok = ok && curl_easy_setopt(e, CURLOPT_XFERINFODATA, &transfer) == CURLE_OK;
    ok = ok && curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, StopAtBody) == CURLE_OK;
    ok = ok && curl_easy_setopt(e, CURLOPT_WRITEDATA, &transfer) == CURLE_OK;
    if (!ok) {
        return false;
    }

    outcome->result = curl_easy_perform(e);
    if (outcome->result == CURLE_ABORTED_BY_CALLBACK && transfer.timedOut) {
        outcome->result = CURLE_OPERATION_TIMEDOUT;
    }
    curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &outcome->status);
    long requestSize = 0;
    curl_off_t uploaded = 0;
    curl_easy_getinfo(e, CURLINFO_REQUEST_SIZE, &requestSize);
    curl_easy_getinfo(e, CURLINFO_SIZE_UPLOAD_T, &uploaded);
    outcome->sentWhole = requestSize > 0 && uploaded == static_cast<curl_off_t>(bodyLength);
    outcome->stoppedAtBody = transfer.stoppedAtBody;
    return true;
}

}  // namespace

BOOL WinHttpSendRequest(HINTERNET requestHandle, LPCWSTR headers, DWORD headersLength,
                        LPVOID optional, DWORD optionalLength, DWORD totalLength,
                        DWORD_PTR /*context*/) {
    if (InternetCallFails("WinHttpSendRequest")) {
        return FALSE;
    }
    auto request = FindInternetObjectOf<InternetRequest>(requestHandle, InternetKind::Request);
    if (request == nullptr) {
        return FALSE;
    }
    // The whole body comes with this call: there is no WinHttpWriteData here.
    if ((optional == nullptr && optionalLength != 0) || totalLength != optionalLength) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (request->state != RequestState::Opened) {
        return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
    }
    if (headers != nullptr &&
        !AddRequestHeaderLines(request.get(), InternetUtf8(headers, headersLength),
                               WINHTTP_ADDREQ_FLAG_ADD)) {
        return FALSE;
    }
    long range = 0;
    if (request->secure &&
        !TlsVersionRange(request->connection->session->secureProtocols, &range)) {
        return Fail(ERROR_WINHTTP_SECURE_FAILURE);  // no protocol this side will speak
    }
    if (!CurlReady()) {
        return Fail(ERROR_WINHTTP_INTERNAL_ERROR);
    }
    Outcome outcome;
    if (!Exchange(*request, static_cast<const char*>(optional), optionalLength, &outcome)) {
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    const bool answered =
        outcome.status > 0 && (outcome.result == CURLE_OK ||
                               (outcome.result == CURLE_WRITE_ERROR && outcome.stoppedAtBody));
    if (answered) {
        request->statusCode = static_cast<DWORD>(outcome.status);
        request->receiveError = 0;
    } else if (outcome.sentWhole) {
        request->receiveError = WinHttpErrorFor(outcome.result);
    } else {
        return Fail(WinHttpErrorFor(outcome.result));
    }
    request->state = RequestState::Sent;
    return TRUE;
}

BOOL WinHttpReceiveResponse(HINTERNET requestHandle, LPVOID reserved) {
    if (InternetCallFails("WinHttpReceiveResponse")) {
        return FALSE;
    }
    auto request = FindInternetObjectOf<InternetRequest>(requestHandle, InternetKind::Request);
    if (request == nullptr) {
        return FALSE;
    }
    if (reserved != nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (request->state != RequestState::Sent) {
        return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
    }
    if (request->receiveError != 0) {
        return Fail(request->receiveError);
    }
    request->state = RequestState::Received;
    return TRUE;
}
