// The WinHTTP stand-in: how it cracks URLs, the rules of its handles, and real
// exchanges over TLS with the local registration service (protocol floor,
// certificate checks, redirects not followed, time-outs, WinHTTP's error codes).
#include <string>
#include <vector>

#include "platform/posix/win32_winhttp.h"
#include "service_fixture.h"

namespace {

struct Cracked {
    BOOL ok = FALSE;
    DWORD error = 0;
    URL_COMPONENTS parts = {};
};

// Cracks `url` asking for every component as a pointer into the URL.
Cracked Crack(const std::u16string& url, DWORD length = 0) {
    Cracked result;
    result.parts.dwStructSize = sizeof(URL_COMPONENTS);
    result.parts.dwSchemeLength = static_cast<DWORD>(-1);
    result.parts.dwHostNameLength = static_cast<DWORD>(-1);
    result.parts.dwUserNameLength = static_cast<DWORD>(-1);
    result.parts.dwPasswordLength = static_cast<DWORD>(-1);
    result.parts.dwUrlPathLength = static_cast<DWORD>(-1);
    result.parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    SetLastError(0);
    result.ok = WinHttpCrackUrl(url.c_str(), length, 0, &result.parts);
    result.error = GetLastError();
    return result;
}

std::string Part(const WCHAR* start, DWORD length) {
    return start == nullptr ? std::string() : Utf16ToUtf8(std::u16string(start, length));
}

TEST(WinHttpCrackUrl, SplitsAnAbsoluteUrlIntoItsParts) {
    struct Case {
        std::u16string url;
        INTERNET_SCHEME scheme;
        const char* host;
        INTERNET_PORT port;
        const char* user;
        const char* password;
        const char* path;
        const char* extra;
    };
    const Case cases[] = {
        {kSampleDestination, INTERNET_SCHEME_HTTPS, "register.example.com", 443, "", "",
         "/reg/svctag", "?product=ostrel-desk&v=4.2"},
        {u"http://Host.Example:8080", INTERNET_SCHEME_HTTP, "Host.Example", 8080, "", "", "", ""},
        {u"HTTPS://u:p@h:1/a/b#frag", INTERNET_SCHEME_HTTPS, "h", 1, "u", "p", "/a/b", "#frag"},
        {u"http://h?q=1", INTERNET_SCHEME_HTTP, "h", 80, "", "", "", "?q=1"},
        {u"https://[::1]:8443/x", INTERNET_SCHEME_HTTPS, "[::1]", 8443, "", "", "/x", ""},
        {u"https://h/p?q#f", INTERNET_SCHEME_HTTPS, "h", 443, "", "", "/p", "?q#f"},
        {u"https://user@h/", INTERNET_SCHEME_HTTPS, "h", 443, "user", "", "/", ""},
    };
    for (const Case& c : cases) {
        const std::string shown = Utf16ToUtf8(c.url);
        const Cracked r = Crack(c.url);
        ASSERT_TRUE(r.ok) << shown << " error " << r.error;
        EXPECT_EQ(c.scheme, r.parts.nScheme) << shown;
        EXPECT_EQ(c.port, r.parts.nPort) << shown;
        EXPECT_EQ(c.host, Part(r.parts.lpszHostName, r.parts.dwHostNameLength)) << shown;
        EXPECT_EQ(c.user, Part(r.parts.lpszUserName, r.parts.dwUserNameLength)) << shown;
        EXPECT_EQ(c.password, Part(r.parts.lpszPassword, r.parts.dwPasswordLength)) << shown;
        EXPECT_EQ(c.path, Part(r.parts.lpszUrlPath, r.parts.dwUrlPathLength)) << shown;
        EXPECT_EQ(c.extra, Part(r.parts.lpszExtraInfo, r.parts.dwExtraInfoLength)) << shown;
        // Pointers into the URL: the path and the extra information follow each other.
        EXPECT_EQ(r.parts.lpszUrlPath + r.parts.dwUrlPathLength, r.parts.lpszExtraInfo) << shown;
    }
}

TEST(WinHttpCrackUrl, RefusesWhatIsNotAnAbsoluteHttpUrl) {
    const std::pair<std::u16string, DWORD> cases[] = {
        {u"reg/svctag?product=ostrel-desk", ERROR_WINHTTP_UNRECOGNIZED_SCHEME},
        {u"/reg/svctag", ERROR_WINHTTP_UNRECOGNIZED_SCHEME},
        {u"register.example.com/reg", ERROR_WINHTTP_UNRECOGNIZED_SCHEME},
        {u"", ERROR_WINHTTP_UNRECOGNIZED_SCHEME},
        {u"https:/h/x", ERROR_WINHTTP_UNRECOGNIZED_SCHEME},
        {u"ftp://h/x", ERROR_WINHTTP_UNRECOGNIZED_SCHEME},
        {u"https://", ERROR_WINHTTP_INVALID_URL},
        {u"https:///x", ERROR_WINHTTP_INVALID_URL},
        {u"https://u@/x", ERROR_WINHTTP_INVALID_URL},
        {u"https://h:/x", ERROR_WINHTTP_INVALID_URL},
        {u"https://h:0/x", ERROR_WINHTTP_INVALID_URL},
        {u"https://h:65536/x", ERROR_WINHTTP_INVALID_URL},
        {u"https://h:44a/x", ERROR_WINHTTP_INVALID_URL},
        {u"https://[::1/x", ERROR_WINHTTP_INVALID_URL},
    };
    for (const auto& c : cases) {
        const Cracked r = Crack(c.first);
        EXPECT_FALSE(r.ok) << Utf16ToUtf8(c.first);
        EXPECT_EQ(c.second, r.error) << Utf16ToUtf8(c.first);
    }
}

TEST(WinHttpCrackUrl, RecordSizeFlagsAndLength) {
    const std::u16string url = u"https://h/abcdef";
    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof parts - 1;
    EXPECT_FALSE(WinHttpCrackUrl(url.c_str(), 0, 0, &parts));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    parts.dwStructSize = sizeof parts;
    EXPECT_FALSE(WinHttpCrackUrl(url.c_str(), 0, 1, &parts));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());

    // A length counts the characters taken from a URL that need not be terminated.
    const Cracked r = Crack(url, 12);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ("/ab", Part(r.parts.lpszUrlPath, r.parts.dwUrlPathLength));
}

TEST(WinHttpCrackUrl, CopiesIntoTheCallersBuffers) {
    const std::u16string url = kSampleDestination;
    WCHAR host[21];
    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host;
    parts.dwHostNameLength = 20;  // one short for the terminator
    EXPECT_FALSE(WinHttpCrackUrl(url.c_str(), 0, 0, &parts));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
    EXPECT_EQ(21u, parts.dwHostNameLength);

    parts.dwHostNameLength = 21;
    ASSERT_TRUE(WinHttpCrackUrl(url.c_str(), 0, 0, &parts));
    EXPECT_EQ(20u, parts.dwHostNameLength);
    EXPECT_EQ(u"register.example.com", std::u16string(host));
    EXPECT_EQ(nullptr, parts.lpszUrlPath);  // not asked for
}

class WinHttpHandles : public ::testing::Test {
  protected:
    void TearDown() override {
        SeamClearFailures();
        EXPECT_EQ(0u, SeamLiveInternetHandles()) << "HINTERNET handles left open";
    }
};

TEST_F(WinHttpHandles, EachKindTakesItsOwnCallsAndOptions) {
    HINTERNET session =
        WinHttpOpen(u"agent", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, nullptr, nullptr, 0);
    ASSERT_NE(nullptr, session);
    HINTERNET connection = WinHttpConnect(session, u"h", 443, 0);
    ASSERT_NE(nullptr, connection);
    HINTERNET request = WinHttpOpenRequest(connection, u"POST", u"/x", nullptr, nullptr, nullptr,
                                           WINHTTP_FLAG_SECURE);
    ASSERT_NE(nullptr, request);
    EXPECT_EQ(3u, SeamLiveInternetHandles());

    DWORD value = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
    EXPECT_FALSE(WinHttpSetOption(request, WINHTTP_OPTION_SECURE_PROTOCOLS, &value, 4));
    EXPECT_EQ(static_cast<DWORD>(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE), GetLastError());
    value = WINHTTP_DISABLE_KEEP_ALIVE;
    EXPECT_FALSE(WinHttpSetOption(session, WINHTTP_OPTION_DISABLE_FEATURE, &value, 4));
    EXPECT_EQ(static_cast<DWORD>(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE), GetLastError());
    EXPECT_FALSE(WinHttpSetOption(request, WINHTTP_OPTION_DISABLE_FEATURE, &value, 2));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
    EXPECT_FALSE(WinHttpSetOption(request, 31 /* an option not offered */, &value, 4));
    EXPECT_EQ(static_cast<DWORD>(ERROR_WINHTTP_INVALID_OPTION), GetLastError());
    value = 0x1;  // no protocol has that bit
    EXPECT_FALSE(WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &value, 4));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_EQ(nullptr, WinHttpConnect(request, u"h", 443, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE), GetLastError());

    // Nothing was sent: the request has no answer to give yet.
    EXPECT_FALSE(WinHttpReceiveResponse(request, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_WINHTTP_INCORRECT_HANDLE_STATE), GetLastError());
    DWORD status = 0;
    DWORD size = sizeof status;
    EXPECT_FALSE(WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                     nullptr, &status, &size, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_WINHTTP_INCORRECT_HANDLE_STATE), GetLastError());

    // The request outlives the handles of its parents.
    EXPECT_TRUE(WinHttpCloseHandle(session));
    EXPECT_TRUE(WinHttpCloseHandle(connection));
    value = WINHTTP_DISABLE_KEEP_ALIVE;
    EXPECT_TRUE(WinHttpSetOption(request, WINHTTP_OPTION_DISABLE_FEATURE, &value, 4));
    EXPECT_TRUE(WinHttpCloseHandle(request));
    EXPECT_FALSE(WinHttpCloseHandle(request));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_FALSE(WinHttpSetOption(request, WINHTTP_OPTION_DISABLE_FEATURE, &value, 4));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

TEST_F(WinHttpHandles, RefusesWhatItDoesNotOffer) {
    EXPECT_EQ(nullptr, WinHttpOpen(u"a", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, nullptr, nullptr,
                                   WINHTTP_FLAG_ASYNC));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_EQ(nullptr, WinHttpOpen(u"a", WINHTTP_ACCESS_TYPE_NAMED_PROXY, nullptr, nullptr, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());

    HINTERNET session = WinHttpOpen(u"a", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0);
    ASSERT_NE(nullptr, session);
    EXPECT_EQ(nullptr, WinHttpConnect(session, u"", 443, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    HINTERNET connection = WinHttpConnect(session, u"h", 443, 0);
    ASSERT_NE(nullptr, connection);
    EXPECT_EQ(nullptr,
              WinHttpOpenRequest(connection, u"GET", u"/", u"HTTP/2", nullptr, nullptr, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());

    HINTERNET request =
        WinHttpOpenRequest(connection, nullptr, nullptr, nullptr, nullptr, nullptr, 0);
    ASSERT_NE(nullptr, request);
    EXPECT_FALSE(WinHttpAddRequestHeaders(request, u"NoColonHere", static_cast<DWORD>(-1), 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_WINHTTP_INVALID_HEADER), GetLastError());
    EXPECT_TRUE(WinHttpAddRequestHeaders(request, u"X-One: 1", static_cast<DWORD>(-1),
                                         WINHTTP_ADDREQ_FLAG_ADD_IF_NEW));
    EXPECT_FALSE(WinHttpAddRequestHeaders(request, u"x-one: 2", static_cast<DWORD>(-1),
                                          WINHTTP_ADDREQ_FLAG_ADD_IF_NEW));
    EXPECT_EQ(static_cast<DWORD>(ERROR_WINHTTP_HEADER_ALREADY_EXISTS), GetLastError());
    // The body comes whole with the send: a total beyond it would need later writes.
    char body[] = "abc";
    EXPECT_FALSE(WinHttpSendRequest(request, nullptr, 0, body, 3, 10, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());

    for (HINTERNET handle : {request, connection, session}) {
        EXPECT_TRUE(WinHttpCloseHandle(handle));
    }
}

TEST_F(WinHttpHandles, ArmedFailuresFailTheCallWithTheirCode) {
    SeamFailNthCall("WinHttpOpen", 1, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(nullptr, WinHttpOpen(u"a", 0, nullptr, nullptr, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY), GetLastError());
    HINTERNET session = WinHttpOpen(u"a", 0, nullptr, nullptr, 0);
    ASSERT_NE(nullptr, session);
    // A failed close still releases the handle.
    SeamFailNthCall("WinHttpCloseHandle", 1, ERROR_INVALID_HANDLE);
    EXPECT_FALSE(WinHttpCloseHandle(session));
    EXPECT_EQ(0u, SeamLiveInternetHandles());
}

// One exchange through the stand-in, step by step, closing its handles at the end.
struct Exchange {
    BOOL sent = FALSE;
    DWORD sendError = 0;
    BOOL received = FALSE;
    DWORD receiveError = 0;
    DWORD status = 0;
};

Exchange RunExchange(const char16_t* url, const std::string& body, const DWORD* protocols = nullptr,
                     const char16_t* headers = nullptr,
                     const char16_t* agent = u"Brevanta Registration") {
    Exchange result;
    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    EXPECT_TRUE(WinHttpCrackUrl(url, 0, 0, &parts));
    const std::u16string host(parts.lpszHostName, parts.dwHostNameLength);
    const std::u16string path(parts.lpszUrlPath, parts.dwUrlPathLength + parts.dwExtraInfoLength);
    HINTERNET session = WinHttpOpen(agent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, nullptr, nullptr, 0);
    if (protocols != nullptr) {
        DWORD value = *protocols;
        EXPECT_TRUE(WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &value, 4));
    }
    HINTERNET connection = WinHttpConnect(session, host.c_str(), parts.nPort, 0);
    HINTERNET request =
        WinHttpOpenRequest(connection, u"POST", path.c_str(), nullptr, nullptr, nullptr,
                           parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0);
    DWORD features = WINHTTP_DISABLE_KEEP_ALIVE;
    EXPECT_TRUE(WinHttpSetOption(request, WINHTTP_OPTION_DISABLE_FEATURE, &features, 4));
    std::string bytes = body;
    result.sent =
        WinHttpSendRequest(request, headers, static_cast<DWORD>(-1), &bytes[0],
                           static_cast<DWORD>(bytes.size()), static_cast<DWORD>(bytes.size()), 0);
    result.sendError = result.sent ? 0 : GetLastError();
    if (result.sent) {
        result.received = WinHttpReceiveResponse(request, nullptr);
        result.receiveError = result.received ? 0 : GetLastError();
    }
    if (result.received) {
        DWORD size = sizeof result.status;
        EXPECT_TRUE(WinHttpQueryHeaders(request,
                                        WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                        nullptr, &result.status, &size, nullptr));
    }
    for (HINTERNET handle : {request, connection, session}) {
        EXPECT_TRUE(WinHttpCloseHandle(handle));
    }
    return result;
}

using WinHttpExchange = ServiceTest;

TEST_F(WinHttpExchange, PostCarriesItsHeadersAndNothingLibcurlWouldAdd) {
    ASSERT_NO_FATAL_FAILURE(StartService());
    // Longer than the 1024 bytes above which libcurl would otherwise ask for
    // "100-continue".
    const std::string body(3000, 'x');
    const Exchange r = RunExchange(u"https://register.example.com:443/a%20b/c d?q=1", body, nullptr,
                                   u"X-Extra: one\r\nX-Other: two");
    ASSERT_TRUE(r.sent) << r.sendError;
    ASSERT_TRUE(r.received) << r.receiveError;
    EXPECT_EQ(200u, r.status);
    const auto requests = service_.Requests();
    ASSERT_EQ(1u, requests.size());
    const RecordedRequest& request = requests[0];
    EXPECT_EQ("POST", request.method);
    EXPECT_EQ("/a%20b/c%20d?q=1", request.path);  // a blank is escaped, "%20" stays
    EXPECT_EQ(body, request.body);
    EXPECT_EQ(std::vector<std::string>{"Brevanta Registration"}, request.Header("User-Agent"));
    EXPECT_EQ(std::vector<std::string>{"register.example.com"}, request.Header("Host"));
    EXPECT_EQ(std::vector<std::string>{"close"}, request.Header("Connection"));
    EXPECT_EQ(std::vector<std::string>{"one"}, request.Header("X-Extra"));
    EXPECT_EQ(std::vector<std::string>{"two"}, request.Header("X-Other"));
    EXPECT_TRUE(request.Header("Expect").empty());
    EXPECT_TRUE(request.Header("Accept").empty());
    EXPECT_TRUE(request.Header("Content-Type").empty());
}

TEST_F(WinHttpExchange, RedirectIsAnsweredNotFollowed) {
    ServiceOptions options;
    options.status = 302;
    options.redirect = "https://register.example.com/elsewhere";
    ASSERT_NO_FATAL_FAILURE(StartService(options));
    const Exchange r = RunExchange(kSampleDestination, "<x/>");
    ASSERT_TRUE(r.received) << r.sendError << " " << r.receiveError;
    EXPECT_EQ(302u, r.status);
    EXPECT_EQ(1u, service_.Requests().size());
}

TEST_F(WinHttpExchange, StatusAsTextWithTheLengthProtocol) {
    ServiceOptions options;
    options.status = 201;
    ASSERT_NO_FATAL_FAILURE(StartService(options));
    HINTERNET session = WinHttpOpen(u"a", 0, nullptr, nullptr, 0);
    HINTERNET connection = WinHttpConnect(session, u"register.example.com", 443, 0);
    HINTERNET request = WinHttpOpenRequest(connection, u"POST", u"/", nullptr, nullptr, nullptr,
                                           WINHTTP_FLAG_SECURE);
    ASSERT_TRUE(WinHttpSendRequest(request, nullptr, 0, nullptr, 0, 0, 0)) << GetLastError();
    ASSERT_TRUE(WinHttpReceiveResponse(request, nullptr));
    WCHAR text[4] = {};
    DWORD size = 4;  // bytes: room for one character
    EXPECT_FALSE(
        WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE, nullptr, text, &size, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
    EXPECT_EQ(8u, size);
    ASSERT_TRUE(
        WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE, nullptr, text, &size, nullptr));
    EXPECT_EQ(6u, size);
    EXPECT_EQ(u"201", std::u16string(text));
    DWORD status = 0;
    size = 2;
    EXPECT_FALSE(WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                     nullptr, &status, &size, nullptr));
    EXPECT_EQ(4u, size);
    EXPECT_FALSE(WinHttpQueryHeaders(request, 1 /* content type */, nullptr, text, &size, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_WINHTTP_HEADER_NOT_FOUND), GetLastError());
    for (HINTERNET handle : {request, connection, session}) {
        WinHttpCloseHandle(handle);
    }
}

TEST_F(WinHttpExchange, ProtocolBitsChooseTheVersionFromTls12Up) {
    ASSERT_NO_FATAL_FAILURE(StartService());
    const DWORD tls12 = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
    const DWORD both = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
    EXPECT_EQ(200u, RunExchange(kSampleDestination, "1", &tls12).status);
    EXPECT_EQ(200u, RunExchange(kSampleDestination, "2", &both).status);
    EXPECT_EQ(200u, RunExchange(kSampleDestination, "3").status);  // the session's default
    const auto requests = service_.Requests();
    ASSERT_EQ(3u, requests.size());
    EXPECT_EQ("TLSv1.2", requests[0].tlsVersion);
    EXPECT_EQ("TLSv1.3", requests[1].tlsVersion);
    EXPECT_EQ("TLSv1.3", requests[2].tlsVersion);
}

TEST_F(WinHttpExchange, OlderProtocolsAloneNeverConnect) {
    ASSERT_NO_FATAL_FAILURE(StartService());
    const DWORD legacy = WINHTTP_FLAG_SECURE_PROTOCOL_SSL2 | WINHTTP_FLAG_SECURE_PROTOCOL_SSL3 |
                         WINHTTP_FLAG_SECURE_PROTOCOL_TLS1 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_1;
    const Exchange r = RunExchange(kSampleDestination, "secret", &legacy);
    EXPECT_FALSE(r.sent);
    EXPECT_EQ(static_cast<DWORD>(ERROR_WINHTTP_SECURE_FAILURE), r.sendError);
    EXPECT_EQ(0u, service_.EventCount("request"));
    EXPECT_EQ(0u, service_.EventCount("tls_error"));  // not even a handshake
}

TEST_F(WinHttpExchange, RefusedTlsAndCertificatesGiveSecureFailureAndNoBody) {
    for (const char* variant : {"tls10", "untrusted", "expired"}) {
        ServiceOptions options;
        options.variant = variant;
        RegistrationService service;
        std::string error;
        ASSERT_TRUE(service.Start(options, &error)) << error;
        SeamClearInternetSettings();
        SeamTrustExtraCa(RegistrationService::CertificateDirectory() + "/ca.pem");
        RedirectTo(service.port());
        const Exchange r = RunExchange(kSampleDestination, "secret");
        EXPECT_FALSE(r.sent) << variant;
        EXPECT_EQ(static_cast<DWORD>(ERROR_WINHTTP_SECURE_FAILURE), r.sendError) << variant;
        EXPECT_TRUE(service.WaitForEvent("tls_error", 10000)) << variant;
        EXPECT_EQ(0u, service.EventCount("request")) << variant;
    }
}

TEST_F(WinHttpExchange, TestCaIsNotTrustedByTheSystemStoreAlone) {
    ASSERT_NO_FATAL_FAILURE(StartService());
    SeamClearInternetSettings();
    RedirectTo(service_.port());
    const Exchange r = RunExchange(kSampleDestination, "secret");
    EXPECT_FALSE(r.sent);
    EXPECT_EQ(static_cast<DWORD>(ERROR_WINHTTP_SECURE_FAILURE), r.sendError);
    EXPECT_EQ(0u, service_.EventCount("request"));
}

TEST_F(WinHttpExchange, NoListenerCannotConnect) {
    RedirectTo(RegistrationService::UnusedPort());
    const Exchange r = RunExchange(kSampleDestination, "x");
    EXPECT_FALSE(r.sent);
    EXPECT_EQ(static_cast<DWORD>(ERROR_WINHTTP_CANNOT_CONNECT), r.sendError);
}

TEST_F(WinHttpExchange, AnswerTooLateIsAReceiveTimeout) {
    ServiceOptions options;
    options.delaySeconds = 5;
    ASSERT_NO_FATAL_FAILURE(StartService(options));
    SeamSetInternetTimeouts(60000, 1000);
    const Exchange r = RunExchange(kSampleDestination, "x");
    EXPECT_TRUE(r.sent) << r.sendError;
    EXPECT_FALSE(r.received);
    EXPECT_EQ(static_cast<DWORD>(ERROR_WINHTTP_TIMEOUT), r.receiveError);
    EXPECT_EQ(1u, service_.Requests().size());  // the request itself went out whole
}

}  // namespace
