// PostServiceTag against the local registration service: what reaches the service
// (the exact bytes, the path with its query, the headers, TLS on port 443 whatever
// the URL says), which answers count as success, the protocol set and its
// fallback, and the line each failing step writes.
#include <string>
#include <vector>

#include "actions/upload.h"
#include "runtime/context_log.h"
#include "service_fixture.h"

namespace {

using Lines = std::vector<std::string>;

class Upload : public ServiceTest {
  protected:
    void SetUp() override {
        ServiceTest::SetUp();
        ASSERT_EQ(S_OK, ActionBegin(install_, "CASendServiceTag"));
    }
    void TearDown() override {
        ActionEnd(0);
        ServiceTest::TearDown();
    }

    static HRESULT Post(const char16_t* destination, const std::string& body) {
        return PostServiceTag(destination, reinterpret_cast<const BYTE*>(body.data()),
                              static_cast<DWORD>(body.size()));
    }
};

// Bytes a text-minded layer would change: CR LF, a NUL, a lone 0xFF, UTF-8.
const std::string kTagBytes(
    "<?xml version=\"1.0\"?>\r\n<registration_data>\0\xff\xc3\xa9</registration_data>\n", 63);

TEST_F(Upload, Status200SendsTheExactBytesWithBothHeaders) {
    ASSERT_NO_FATAL_FAILURE(StartService());
    EXPECT_EQ(S_OK, Post(kSampleDestination, kTagBytes));
    EXPECT_TRUE(InfoLines().empty());
    const auto requests = service_.Requests();
    ASSERT_EQ(1u, requests.size());
    const RecordedRequest& request = requests[0];
    EXPECT_EQ("POST", request.method);
    EXPECT_EQ(kSamplePath, request.path);
    EXPECT_EQ(kTagBytes, request.body);
    EXPECT_EQ(std::vector<std::string>{"User Interface"}, request.Header("User-Agent"));
    EXPECT_EQ(std::vector<std::string>{"text/xml; charset=utf-8"}, request.Header("Content-Type"));
    EXPECT_EQ(std::vector<std::string>{"63"}, request.Header("Content-Length"));
    EXPECT_EQ(std::vector<std::string>{"close"}, request.Header("Connection"));
    EXPECT_EQ("TLSv1.3", request.tlsVersion);
}

TEST_F(Upload, EveryOtherStatusIsAFailureWithoutALogLine) {
    struct Case {
        int status;
        const char* redirect;
    };
    const Case cases[] = {
        {201, ""}, {204, ""}, {302, "https://register.example.com/done"}, {500, ""}};
    for (const Case& c : cases) {
        ServiceOptions options;
        options.status = c.status;
        options.redirect = c.redirect;
        RegistrationService service;
        std::string error;
        ASSERT_TRUE(service.Start(options, &error)) << error;
        SeamClearInternetSettings();
        SeamTrustExtraCa(RegistrationService::CertificateDirectory() + "/ca.pem");
        RedirectTo(service.port());
        EXPECT_EQ(E_FAIL, Post(kSampleDestination, kTagBytes)) << c.status;
        // Posted once: a redirection is not followed.
        const auto requests = service.Requests();
        ASSERT_EQ(1u, requests.size()) << c.status;
        EXPECT_EQ(kSamplePath, requests[0].path) << c.status;
    }
    EXPECT_TRUE(InfoLines().empty());  // "Status Code %u was returned." is a trace line
}

TEST_F(Upload, SchemeAndPortOfTheUrlDoNotMatterTlsOn443Does) {
    ASSERT_NO_FATAL_FAILURE(StartService());
    // Only register.example.com:443 leads to the service; port 8443 and plain http
    // would go elsewhere and fail.
    EXPECT_EQ(S_OK, Post(u"http://register.example.com/reg/svctag?via=http", "a"));
    EXPECT_EQ(S_OK, Post(u"https://register.example.com:8443/reg/svctag?via=port", "b"));
    EXPECT_EQ(S_OK, Post(u"http://register.example.com:80/reg/svctag?via=both", "c"));
    const auto requests = service_.Requests();
    ASSERT_EQ(3u, requests.size());
    EXPECT_EQ("/reg/svctag?via=http", requests[0].path);
    EXPECT_EQ("/reg/svctag?via=port", requests[1].path);
    EXPECT_EQ("/reg/svctag?via=both", requests[2].path);
    for (const RecordedRequest& request : requests) {
        EXPECT_FALSE(request.tlsVersion.empty());
    }
}

TEST_F(Upload, EmptyBodyIsAPostOfZeroBytes) {
    ASSERT_NO_FATAL_FAILURE(StartService());
    EXPECT_EQ(S_OK, PostServiceTag(kSampleDestination, nullptr, 0));
    const auto requests = service_.Requests();
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ("POST", requests[0].method);
    EXPECT_EQ(std::vector<std::string>{"0"}, requests[0].Header("Content-Length"));
    EXPECT_EQ("", requests[0].body);
}

TEST_F(Upload, RefusedTlsOrCertificateSendsNoBody) {
    for (const char* variant : {"tls10", "untrusted"}) {
        ServiceOptions options;
        options.variant = variant;
        RegistrationService service;
        std::string error;
        ASSERT_TRUE(service.Start(options, &error)) << error;
        SeamClearInternetSettings();
        SeamTrustExtraCa(RegistrationService::CertificateDirectory() + "/ca.pem");
        RedirectTo(service.port());
        EXPECT_EQ(static_cast<HRESULT>(0x80072F8F), Post(kSampleDestination, kTagBytes)) << variant;
        EXPECT_TRUE(service.WaitForEvent("tls_error", 10000)) << variant;
        EXPECT_EQ(0u, service.EventCount("request")) << variant;
    }
    EXPECT_EQ((Lines{"CASendServiceTag:  Error 0x80072f8f: failed to send request.",
                     "CASendServiceTag:  Error 0x80072f8f: failed to send request."}),
              InfoLines());
}

TEST_F(Upload, NoListenerFailsTheSend) {
    RedirectTo(RegistrationService::UnusedPort());
    EXPECT_EQ(static_cast<HRESULT>(0x80072EFD), Post(kSampleDestination, kTagBytes));
    EXPECT_EQ(Lines{"CASendServiceTag:  Error 0x80072efd: failed to send request."}, InfoLines());
}

TEST_F(Upload, NoAnswerInTimeIsAFailureWithoutALogLine) {
    ServiceOptions options;
    options.delaySeconds = 5;
    ASSERT_NO_FATAL_FAILURE(StartService(options));
    SeamSetInternetTimeouts(60000, 1000);
    EXPECT_EQ(E_FAIL, Post(kSampleDestination, kTagBytes));
    EXPECT_TRUE(InfoLines().empty());  // "No response to POST request. Offline." is a trace
}

TEST_F(Upload, RelativeDestinationFailsAtTheCrack) {
    EXPECT_EQ(static_cast<HRESULT>(0x80072EE6),
              Post(u"reg/svctag?product=ostrel-desk&v=4.2", kTagBytes));
    EXPECT_EQ(Lines{"CASendServiceTag:  Error 0x80072ee6: failed to crack URL."}, InfoLines());
}

TEST_F(Upload, ProtocolPairRefusedFallsBackToTls12Alone) {
    ASSERT_NO_FATAL_FAILURE(StartService());
    // As a system that does not know TLS 1.3 answers.
    SeamFailNthCall("WinHttpSetOption", 1, ERROR_INVALID_PARAMETER);
    EXPECT_EQ(S_OK, Post(kSampleDestination, kTagBytes));
    EXPECT_TRUE(InfoLines().empty());
    const auto requests = service_.Requests();
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ("TLSv1.2", requests[0].tlsVersion);
}

TEST_F(Upload, ProtocolsThatCannotBeSetEndTheUpload) {
    // Another error is not a refusal of the value: no second attempt.
    SeamFailNthCall("WinHttpSetOption", 1, ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
    EXPECT_EQ(static_cast<HRESULT>(0x80072EF2), Post(kSampleDestination, kTagBytes));
    // Refused twice: TLS 1.2 alone is refused too, and nothing older is tried.
    SeamFailNthCall("WinHttpSetOption", 1, ERROR_INVALID_PARAMETER);
    SeamFailNthCall("WinHttpSetOption", 2, ERROR_INVALID_PARAMETER);
    EXPECT_EQ(E_INVALIDARG, Post(kSampleDestination, kTagBytes));
    EXPECT_EQ((Lines{"CASendServiceTag:  Error 0x80072ef2: failed to set all SSL versions.",
                     "CASendServiceTag:  Error 0x80070057: failed to set all SSL versions."}),
              InfoLines());
}

TEST_F(Upload, EachFailingStepWritesItsLine) {
    ASSERT_NO_FATAL_FAILURE(StartService());
    struct Case {
        const char* api;
        unsigned nth;
        const char* line;  // null: a trace line only, and E_FAIL
    };
    const Case cases[] = {
        {"WinHttpCrackUrl", 1, "failed to crack URL."},
        {"WinHttpOpen", 1, "failed to Open request."},
        {"WinHttpConnect", 1, "failed to open connection."},
        {"WinHttpOpenRequest", 1, "failed to open request."},
        {"WinHttpSetOption", 2, "failed to set disable keep alive."},
        {"WinHttpAddRequestHeaders", 1, "failed to set first header."},
        {"WinHttpAddRequestHeaders", 2, "failed to set second header."},
        {"WinHttpSendRequest", 1, "failed to send request."},
        {"WinHttpReceiveResponse", 1, nullptr},
        {"WinHttpQueryHeaders", 1, nullptr},  // the code stays 0
    };
    ActionEnd(0);  // each case runs in an install of its own
    for (const Case& c : cases) {
        const MSIHANDLE install = InstallerOpenSession();
        ASSERT_EQ(S_OK, ActionBegin(install, "CASendServiceTag"));
        SeamFailNthCall(c.api, c.nth, ERROR_WINHTTP_INTERNAL_ERROR);
        const HRESULT hr = Post(kSampleDestination, kTagBytes);
        ActionEnd(0);
        Lines lines;
        for (const InstallerMessage& message : InstallerMessages(install)) {
            lines.push_back(Utf16ToUtf8(message.fields[0].text));
        }
        if (c.line != nullptr) {
            EXPECT_EQ(static_cast<HRESULT>(0x80072EE4), hr) << c.api;
            EXPECT_EQ(Lines{std::string("CASendServiceTag:  Error 0x80072ee4: ") + c.line}, lines)
                << c.api;
        } else {
            EXPECT_EQ(E_FAIL, hr) << c.api;
            EXPECT_TRUE(lines.empty()) << c.api;
        }
        EXPECT_EQ(0u, SeamLiveInternetHandles()) << c.api;
        SeamClearFailures();
        InstallerCloseSession(install);
    }
    // Only the two whose request went out reached the service.
    EXPECT_EQ(2u, service_.Requests().size());
    ASSERT_EQ(S_OK, ActionBegin(install_, "CASendServiceTag"));
}

TEST_F(Upload, HostOrPathThatCannotBeCopiedEndsTheUpload) {
    SeamFailNthAllocation(1);
    EXPECT_EQ(E_OUTOFMEMORY, Post(kSampleDestination, kTagBytes));
    SeamFailNthAllocation(2);
    EXPECT_EQ(E_OUTOFMEMORY, Post(kSampleDestination, kTagBytes));
    EXPECT_EQ((Lines{"CASendServiceTag:  Error 0x8007000e: failed to get host.",
                     "CASendServiceTag:  Error 0x8007000e: failed to get dest."}),
              InfoLines());
}

}  // namespace
