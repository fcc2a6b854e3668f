// CASendServiceTag end to end: a copy of the sample installation directory, the
// local registration service standing in for register.example.com, and the shell
// stand-in recording what the browser was asked to open. The outcome table row by
// row (exit code, page opened, failure lines), the input, and the steps that stop
// the action before anything is posted.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/unit/posix/build_paths.h"
#include "module/exports.h"
#include "service_fixture.h"

namespace {

using Lines = std::vector<std::string>;
constexpr char kDestination[] = "https://register.example.com/reg/svctag?product=ostrel-desk&v=4.2";

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class SendServiceTag : public ServiceTest {
  protected:
    void SetUp() override {
        ServiceTest::SetUp();
        char pattern[] = "/tmp/ostrel-send-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        const std::string sample = std::string(OSTREL_SOURCE_DIR) + "/examples/install/";
        for (const char* name : {"svctag.xml", "register.htm"}) {
            std::filesystem::copy_file(sample + name, dir_ + "/" + name);
        }
        SetProperty("PostRegistration", (dir_ + "/").c_str());
    }

    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
        ServiceTest::TearDown();
    }

    std::string LocalPage() const { return dir_ + "/register.htm"; }
    std::string ServiceTag() const { return ReadFile(dir_ + "/svctag.xml"); }

    std::string dir_;
};

TEST_F(SendServiceTag, Status200OpensTheServicesAddressAndReturnsZero) {
    ASSERT_NO_FATAL_FAILURE(StartService());
    EXPECT_EQ(0u, CASendServiceTag(install_));
    EXPECT_EQ(Lines{kDestination}, Opened());
    EXPECT_TRUE(InfoLines().empty());
    const auto requests = service_.Requests();
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ(kSamplePath, requests[0].path);
    EXPECT_EQ(ServiceTag(), requests[0].body);
    EXPECT_EQ("", Property("PostRegistration"));  // consumed, as immediate input is
}

TEST_F(SendServiceTag, Status200ButNoBrowserFails) {
    ASSERT_NO_FATAL_FAILURE(StartService());
    SeamSetOpenCommand(dir_ + "/no-such-browser");
    EXPECT_EQ(1603u, CASendServiceTag(install_));
    EXPECT_EQ(Lines{kDestination}, Opened());  // attempted
    EXPECT_EQ(Lines{"CASendServiceTag:  Error 0x80070002: Failed to launch browser."}, InfoLines());
    EXPECT_EQ(1u, service_.Requests().size());
}

TEST_F(SendServiceTag, OtherStatusOpensTheLocalPageAndFailsQuietly) {
    ServiceOptions options;
    options.status = 500;
    ASSERT_NO_FATAL_FAILURE(StartService(options));
    EXPECT_EQ(1603u, CASendServiceTag(install_));
    EXPECT_EQ(Lines{LocalPage()}, Opened());
    EXPECT_TRUE(InfoLines().empty());
    EXPECT_EQ(1u, service_.Requests().size());
}

TEST_F(SendServiceTag, NoAnswerInTimeOpensTheLocalPage) {
    ServiceOptions options;
    options.delaySeconds = 5;
    ASSERT_NO_FATAL_FAILURE(StartService(options));
    SeamSetInternetTimeouts(60000, 1000);
    EXPECT_EQ(1603u, CASendServiceTag(install_));
    EXPECT_EQ(Lines{LocalPage()}, Opened());
    EXPECT_TRUE(InfoLines().empty());
}

TEST_F(SendServiceTag, FailedCallOpensTheLocalPageAfterItsLine) {
    RedirectTo(RegistrationService::UnusedPort());  // a machine that reaches nothing
    EXPECT_EQ(1603u, CASendServiceTag(install_));
    EXPECT_EQ(Lines{LocalPage()}, Opened());
    EXPECT_EQ(Lines{"CASendServiceTag:  Error 0x80072efd: failed to send request."}, InfoLines());
}

TEST_F(SendServiceTag, FailedUploadAndNoBrowserWriteBothLines) {
    RedirectTo(RegistrationService::UnusedPort());
    SeamSetOpenCommand(dir_ + "/no-such-browser");
    EXPECT_EQ(1603u, CASendServiceTag(install_));
    EXPECT_EQ(Lines{LocalPage()}, Opened());
    EXPECT_EQ((Lines{"CASendServiceTag:  Error 0x80072efd: failed to send request.",
                     "CASendServiceTag:  Error 0x80070002: Failed to launch browser."}),
              InfoLines());
}

TEST_F(SendServiceTag, QuietUploadFailureAndNoBrowserWriteOnlyTheLaunchLine) {
    ServiceOptions options;
    options.status = 500;
    ASSERT_NO_FATAL_FAILURE(StartService(options));
    SeamFailNthCall("ShellExecuteW", 1, ERROR_ACCESS_DENIED);
    EXPECT_EQ(1603u, CASendServiceTag(install_));
    EXPECT_EQ(Lines{"CASendServiceTag:  Error 0x80070005: Failed to launch browser."}, InfoLines());
}

TEST_F(SendServiceTag, CancelAnsweredToAFailureLineGives1602) {
    RedirectTo(RegistrationService::UnusedPort());
    InstallerScriptAnswer(install_, INSTALLMESSAGE_INFO, 1, IDCANCEL);
    EXPECT_EQ(1602u, CASendServiceTag(install_));
    EXPECT_EQ(Lines{LocalPage()}, Opened());  // the action still carries on to the page
}

TEST_F(SendServiceTag, DeferredTakesCustomActionDataAndLeavesThePropertyAlone) {
    ASSERT_NO_FATAL_FAILURE(StartService());
    SetProperty("PostRegistration", "/nowhere/");
    SetProperty("CustomActionData", (dir_ + "/").c_str());
    InstallerSetRunMode(install_, MSIRUNMODE_SCHEDULED, true);
    EXPECT_EQ(0u, CASendServiceTag(install_));
    EXPECT_EQ(Lines{kDestination}, Opened());
    EXPECT_EQ("/nowhere/", Property("PostRegistration"));
    EXPECT_EQ(1u, service_.Requests().size());
}

TEST_F(SendServiceTag, ImmediateInputIsExpanded) {
    ASSERT_NO_FATAL_FAILURE(StartService());
    SetProperty("INSTALLDIR", (dir_ + "/").c_str());
    SetProperty("PostRegistration", "[INSTALLDIR]");
    EXPECT_EQ(0u, CASendServiceTag(install_));
    EXPECT_EQ(Lines{kDestination}, Opened());
}

TEST_F(SendServiceTag, WhatStopsTheActionBeforeAnyPost) {
    ASSERT_NO_FATAL_FAILURE(StartService());
    struct Case {
        const char* name;
        const char* removed;  // file taken out of the directory, or null
        bool trailingSeparator;
        Lines lines;  // with <tag> standing for the service tag's path
    };
    const Case cases[] = {
        {"missing page",
         "register.htm",
         true,
         {"CASendServiceTag:  Error 0x80070002: failed to read offline reg contents.",
          "CASendServiceTag:  Error 0x80070002: failed to get payload destination"}},
        {"missing service tag",
         "svctag.xml",
         true,
         {"CASendServiceTag:  Error 0x80070002: failed to read Service Tag Contents from "
          "<tag>."}},
        // The directory and the file name run together: ".../ostrel-send-test-Xregister.htm".
        {"input without the trailing separator",
         nullptr,
         false,
         {"CASendServiceTag:  Error 0x80070002: failed to read offline reg contents.",
          "CASendServiceTag:  Error 0x80070002: failed to get payload destination"}},
    };
    for (const Case& c : cases) {
        const std::string saved = c.removed ? ReadFile(dir_ + "/" + c.removed) : "";
        if (c.removed) {
            std::filesystem::remove(dir_ + "/" + c.removed);
        }
        const MSIHANDLE install = InstallerOpenSession();
        const std::string input = c.trailingSeparator ? dir_ + "/" : dir_;
        InstallerSetProperty(install, u"PostRegistration", Utf8ToUtf16(input));
        EXPECT_EQ(1603u, CASendServiceTag(install)) << c.name;
        Lines lines;
        for (const InstallerMessage& message : InstallerMessages(install)) {
            lines.push_back(Utf16ToUtf8(message.fields[0].text));
        }
        Lines expected;
        for (std::string line : c.lines) {
            const size_t tag = line.find("<tag>");
            if (tag != std::string::npos) {
                line.replace(tag, 5, dir_ + "/svctag.xml");
            }
            expected.push_back(line);
        }
        EXPECT_EQ(expected, lines) << c.name;
        InstallerCloseSession(install);
        if (c.removed) {
            std::ofstream(dir_ + "/" + c.removed, std::ios::binary) << saved;
        }
    }
    EXPECT_TRUE(Opened().empty());
    EXPECT_EQ(0u, service_.EventCount("request"));
}

TEST_F(SendServiceTag, EmptyInputPropertyFails) {
    SetProperty("PostRegistration", "");
    EXPECT_EQ(1603u, CASendServiceTag(install_));
    EXPECT_EQ(
        (Lines{"CASendServiceTag:  Error 0x80070057: failed to get PROPERTY value for "
               "PostRegistration",
               "CASendServiceTag:  Error 0x80070057: failed to get PostRegistration PROPERTY."}),
        InfoLines());
    EXPECT_TRUE(Opened().empty());
}

TEST_F(SendServiceTag, OutOfMemoryAtEachStepFailsCleanly) {
    ServiceOptions options;
    options.maxRequests = 1;  // only the run without a failed allocation posts
    ASSERT_NO_FATAL_FAILURE(StartService(options));
    const std::vector<std::string> lastLines = {"failed to get PostRegistration PROPERTY.",
                                                "failed to copy INSTALLDIR.",
                                                "failed to append OFFREGFNAME.",
                                                "failed to append SVCTAGFNAME.",
                                                "failed to get payload destination",
                                                "failed to read Service Tag Contents from ",
                                                "failed to get host.",
                                                "failed to get dest."};
    UINT exitCode = 1603;
    unsigned nth = 1;
    for (; nth < 100 && exitCode != 0; ++nth) {
        const MSIHANDLE install = InstallerOpenSession();
        InstallerSetProperty(install, u"PostRegistration", Utf8ToUtf16(dir_ + "/"));
        const size_t blocks = SeamLiveHeapBlocks();
        SeamFailNthAllocation(nth);
        exitCode = CASendServiceTag(install);
        SeamFailNthAllocation(0);
        EXPECT_EQ(blocks, SeamLiveHeapBlocks()) << "allocation " << nth;
        EXPECT_EQ(0u, SeamLiveInternetHandles()) << "allocation " << nth;
        Lines lines;
        for (const InstallerMessage& message : InstallerMessages(install)) {
            lines.push_back(Utf16ToUtf8(message.fields[0].text));
        }
        if (exitCode != 0) {
            EXPECT_EQ(1603u, exitCode) << "allocation " << nth;
            ASSERT_FALSE(lines.empty()) << "allocation " << nth;
            bool known = false;
            for (const std::string& text : lastLines) {
                known = known || lines.back().find(": " + text) != std::string::npos;
            }
            EXPECT_TRUE(known) << "allocation " << nth << ": " << lines.back();
        }
        InstallerCloseSession(install);
    }
    EXPECT_EQ(0u, exitCode) << "never got through";
    EXPECT_GT(nth, 5u);  // several allocations were failed in turn
    EXPECT_EQ(1u, service_.Requests().size());
}

}  // namespace
