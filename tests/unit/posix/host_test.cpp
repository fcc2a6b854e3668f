// ostrel-ca-run as a program: its exit statuses, its error lines and what it
// prints for real actions of the library. Each case runs the host in a child
// process (posix_spawn, no shell) with its output sent to files.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "tests/unit/posix/build_paths.h"
#include "host_runner.h"
#include "registration_service.h"

namespace {

using HostRun = ProgramRun;

class HostTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/ostrel-host-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        for (const char* name : {"/out", "/err", "/log", "/opener", "/opened"}) {
            std::remove((dir_ + name).c_str());
        }
        rmdir(dir_.c_str());
    }

    // Runs the host with `args`, its standard output and error going to files.
    HostRun Run(const std::vector<std::string>& args) {
        return RunProgram(OSTREL_HOST_PATH, args, dir_);
    }

    static bool IsOneLine(const std::string& text) {
        return text.size() > 1 && text.back() == '\n' && text.find('\n') == text.size() - 1;
    }

    std::string dir_;
};

TEST_F(HostTest, CommandLineMistakesExitTwoWithOneLine) {
    const std::vector<std::vector<std::string>> mistakes = {
        {"--bogus", "CASetRegDateTime"},
        {"CASetRegDateTime", "--mode"},
        {"--mode"},
        {"--mode", "sideways", "CASetRegDateTime"},
        {"--answer", "warning:1=2", "CASetRegDateTime"},
        {"--answer", "info:0=2", "CASetRegDateTime"},
        {"--answer", "info:1=cancel", "CASetRegDateTime"},
        {"--answer", "info=2", "CASetRegDateTime"},
        {"--default-answer", "dialog=2", "CASetRegDateTime"},
        {"--property", "=value", "CASetRegDateTime"},
        {"--property", "NoEquals", "CASetRegDateTime"},
        {},
        {"--log", "x"},
        {"CASetRegDateTime", "CACreateURN"},
        {"--fail-call", "MsiSetPropertyW=6", "CASetRegDateTime"},
        {"--fail-call", "MsiSetPropertyW:0=6", "CASetRegDateTime"},
        {"--fail-call", ":1=6", "CASetRegDateTime"},
        {"--fail-call", "MsiSetPropertyW:1=-6", "CASetRegDateTime"},
        {"--fail-call", "MsiSetPropertyW:1=0x100000000", "CASetRegDateTime"},
        {"--connect-to", "register.example.com:443", "CASendServiceTag"},
        {"--trust-ca", "", "CASendServiceTag"},
        {"--fail-points-from", "0", "CASetRegDateTime"},
        {"--fail-points-from", "x", "CASetRegDateTime"},
    };
    for (const auto& args : mistakes) {
        std::string shown;
        for (const std::string& arg : args) {
            shown += " " + arg;
        }
        const HostRun run = Run(args);
        EXPECT_EQ(run.status, 2) << shown;
        EXPECT_TRUE(IsOneLine(run.err)) << shown << ": " << run.err;
        EXPECT_EQ(run.out, "") << shown;
    }
}

TEST_F(HostTest, HelpDocumentsTheExitStatus) {
    const HostRun run = Run({"--help"});
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("Usage: ostrel-ca-run [options] ACTION"), std::string::npos);
    EXPECT_NE(run.out.find("1602 gives 66"), std::string::npos);
    EXPECT_EQ(run.err, "");
}

TEST_F(HostTest, VersionPrintsTheProjectVersion) {
    const HostRun run = Run({"--version"});
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(std::regex_match(run.out, std::regex("ostrel-ca-run [0-9]+\\.[0-9]+\\.[0-9]+\n")))
        << run.out;
    EXPECT_EQ(run.out, "ostrel-ca-run " OSTREL_VERSION "\n");
    EXPECT_EQ(run.err, "");
}

TEST_F(HostTest, UnknownActionOrLibraryExitsOne) {
    const std::vector<std::vector<std::string>> failures = {
        {"--library", OSTREL_LIBRARY_PATH, "CANoSuchAction"},
        // Defined by a library it depends on, not by the library itself.
        {"--library", OSTREL_LIBRARY_PATH, "HeapAlloc"},
        {"--library", dir_ + "/missing.so", "CASetRegDateTime"},
        {"--library", OSTREL_HOST_PATH, "CASetRegDateTime"},  // not a shared object
    };
    for (const auto& args : failures) {
        const HostRun run = Run(args);
        EXPECT_EQ(run.status, 1) << args.back() << " in " << args[1];
        EXPECT_TRUE(IsOneLine(run.err)) << run.err;
        EXPECT_EQ(run.out, "");
    }
}

TEST_F(HostTest, SetRegDateTimePrintsTheStampAndReturnsZero) {
    const HostRun run = Run({"--library", OSTREL_LIBRARY_PATH, "CASetRegDateTime"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(std::regex_match(
        run.out, std::regex("Property\\(S\\): SysDateTime = "
                            "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} UTC\n"
                            "Action ended: CASetRegDateTime\\. Return value 0\\.\n")))
        << run.out;
}

TEST_F(HostTest, FailedActionExitsWithItsCodeModulo256) {
    // Without its input the WMI action fails with 1603.
    const HostRun run = Run({"--library", OSTREL_LIBRARY_PATH, "CAQueryWMI"});
    EXPECT_EQ(run.status, 1603 % 256);
    EXPECT_NE(run.out.find("Action ended: CAQueryWMI. Return value 1603.\n"), std::string::npos)
        << run.out;
}

TEST_F(HostTest, FailedCallShowsTheActionsFailureLines) {
    const HostRun run = Run({"--library", OSTREL_LIBRARY_PATH, "--property", "SysDateTime=before",
                             "--fail-call", "MsiSetPropertyW:1=6", "CASetRegDateTime"});
    EXPECT_EQ(run.status, 1603 % 256) << run.err;
    EXPECT_EQ(run.out,
              "CASetRegDateTime:  Error 0x80070006: failed to set property: SysDateTime\n"
              "CASetRegDateTime:  Error 0x80070006: failed to set SysDateTime PROPERTY\n"
              "Action ended: CASetRegDateTime. Return value 1603.\n");
}

TEST_F(HostTest, FailedCallTakesACOMMethodWithColonsInItsName) {
    const HostRun run =
        Run({"--library", OSTREL_LIBRARY_PATH, "--property", "WMIQuery=SELECT * FROM Win32_BIOS",
             "--fail-call", "IWbemLocator::ConnectServer:1=0x80041003", "CAQueryWMI"});
    EXPECT_EQ(run.status, 1603 % 256) << run.err;
    EXPECT_NE(run.out.find("Error 0x80041003"), std::string::npos) << run.out;
}

TEST_F(HostTest, FailingEveryPointFromOneOnRepeatsATortureRun) {
    // Points 1 and 2 of CASetRegDateTime are the database handle and the value's
    // block: from the second on, the value cannot be made and no line can be sent.
    const HostRun run =
        Run({"--library", OSTREL_LIBRARY_PATH, "--fail-points-from", "2", "CASetRegDateTime"});
    EXPECT_EQ(run.status, 1603 % 256) << run.err;
    EXPECT_EQ(run.out, "Action ended: CASetRegDateTime. Return value 1603.\n");
}

TEST_F(HostTest, CancelOnAFailureLineEndsTheActionWith1602) {
    const HostRun run = Run({"--library", OSTREL_LIBRARY_PATH, "--fail-call", "UuidCreate:1=0x6CB",
                             "--answer", "info:1=2", "CACreateURN"});
    EXPECT_EQ(run.status, 1602 % 256) << run.err;
    EXPECT_EQ(run.out,
              "CACreateURN:  Error 0x800706cb: Could not create UUID\n"
              "Action ended: CACreateURN. Return value 1602.\n");
}

TEST_F(HostTest, SendServiceTagReachesTheLocalServiceAndOpensTheBrowser) {
    RegistrationService service;
    std::string error;
    ASSERT_TRUE(service.Start(ServiceOptions(), &error)) << error;
    const std::string install = std::string(OSTREL_SOURCE_DIR) + "/examples/install/";
    // The browser: writes what it is given to a file (renamed into place when whole).
    const std::string opener = dir_ + "/opener";
    std::ofstream(opener) << "#!/bin/sh\nprintf '%s' \"$1\" > '" << dir_ << "/log'\nmv '" << dir_
                          << "/log' '" << dir_ << "/opened'\n";
    ASSERT_EQ(chmod(opener.c_str(), 0700), 0);
    const HostRun run =
        Run({"--library", OSTREL_LIBRARY_PATH, "--trust-ca",
             RegistrationService::CertificateDirectory() + "/ca.pem", "--connect-to",
             "register.example.com:443:127.0.0.1:" + std::to_string(service.port()), "--open-with",
             opener, "--property", "PostRegistration=" + install, "CASendServiceTag"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out,
              "Property(S): PostRegistration = \n"
              "Action ended: CASendServiceTag. Return value 0.\n");
    const auto requests = service.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].path, "/reg/svctag?product=ostrel-desk&v=4.2");
    EXPECT_EQ(requests[0].body, ReadTextFile(install + "svctag.xml"));
    // The opener runs on its own: its record comes when it comes.
    std::string opened;
    for (int wait = 0; wait < 500 && opened.empty(); ++wait) {
        opened = ReadTextFile(dir_ + "/opened");
        usleep(20000);
    }
    EXPECT_EQ(opened, "https://register.example.com/reg/svctag?product=ostrel-desk&v=4.2");
}

TEST_F(HostTest, LibraryBesideTheHostIsTheDefault) {
    const std::string host = OSTREL_HOST_PATH;
    const std::string library = OSTREL_LIBRARY_PATH;
    const std::string hostDir = host.substr(0, host.rfind('/'));
    if (library != hostDir + "/libostrel_ca.so") {
        GTEST_SKIP() << "the library is not built beside the host";
    }
    const HostRun run = Run({"CASetRegDateTime"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("Property(S): SysDateTime = "), std::string::npos);
}

}  // namespace

TEST_F(HostTest, QueryWmiPrintsThisMachinesInventory) {
    const HostRun run =
        Run({"--library", OSTREL_LIBRARY_PATH, "--property",
             "WMIQuery=SELECT Caption, OSType FROM Win32_OperatingSystem", "CAQueryWMI"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(std::regex_match(
        run.out, std::regex("Progress: 3 2000 0 \\(total 2000\\)\n"
                            "Property\\(S\\): WMIQuery = \n"
                            "Property\\(S\\): OperatingSystem_Caption = .+\n"
                            "Property\\(S\\): OperatingSystem_OSType = 36 \\(0x24\\)\n"
                            "Action ended: CAQueryWMI\\. Return value 0\\.\n")))
        << run.out;
    // Standard error is a file here, not a terminal: no progress bar.
    EXPECT_EQ(run.err, "");
}
