// Tests that talk to the local registration service: a fresh installer session as
// in InstallerTest, the WinHTTP stand-in trusting the test CA, and "open" given to
// /bin/true so that no browser starts (the shell stand-in still records what it was
// asked to open). Every test ends with no HINTERNET handle left open.
#ifndef OSTREL_TESTS_UNIT_POSIX_SERVICE_FIXTURE_H
#define OSTREL_TESTS_UNIT_POSIX_SERVICE_FIXTURE_H

#include <string>
#include <vector>

#include "installer_fixture.h"
#include "registration_service.h"

// The host the sample page's form action names; the tests send it to the service.
constexpr char kServiceHost[] = "register.example.com";
constexpr char16_t kSampleDestination[] =
    u"https://register.example.com/reg/svctag?product=ostrel-desk&v=4.2";
constexpr char kSamplePath[] = "/reg/svctag?product=ostrel-desk&v=4.2";

class ServiceTest : public InstallerTest {
  protected:
    void SetUp() override {
        InstallerTest::SetUp();
        SeamClearInternetSettings();
        SeamTrustExtraCa(RegistrationService::CertificateDirectory() + "/ca.pem");
        SeamSetOpenCommand("/bin/true");
        SeamClearOpenRequests();
    }

    void TearDown() override {
        service_.Stop();
        SeamClearInternetSettings();
        SeamSetOpenCommand("");
        SeamClearOpenRequests();
        EXPECT_EQ(0u, SeamLiveInternetHandles()) << "HINTERNET handles left open";
        InstallerTest::TearDown();
    }

    // Starts the service and sends register.example.com:443 to it. Call through
    // ASSERT_NO_FATAL_FAILURE.
    void StartService(const ServiceOptions& options = ServiceOptions()) {
        std::string error;
        ASSERT_TRUE(service_.Start(options, &error)) << error;
        RedirectTo(service_.port());
    }

    // Sends register.example.com:443 to a port of 127.0.0.1.
    static void RedirectTo(unsigned port) {
        SeamRedirectConnection(kServiceHost, 443, "127.0.0.1", port);
    }

    static std::vector<std::string> Opened() {
        std::vector<std::string> targets;
        for (const std::u16string& target : SeamOpenRequests()) {
            targets.push_back(Utf16ToUtf8(target));
        }
        return targets;
    }

    RegistrationService service_;
};

#endif  // OSTREL_TESTS_UNIT_POSIX_SERVICE_FIXTURE_H
