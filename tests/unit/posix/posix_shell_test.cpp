// The ShellExecuteW stand-in: the opener receives the target unchanged as its one
// argument (no shell in between), the call does not wait for it and leaves no
// child behind, and the failures answer 2 or 31 with the last error set.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "platform/posix/shared/seams.h"
#include "platform/posix/shared/utf.h"
#include "platform/posix/win32_shell.h"

namespace {

class ShellOpen : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/ostrel-shell-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        // The opener: records its arguments, one per line, then how many there were.
        recorder_ = dir_ + "/recorder";
        std::ofstream script(recorder_);
        script << "#!/bin/sh\n"
               << "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" << dir_ << "/opened.tmp'\n"
               << "printf '%s\\n' \"$#\" >> '" << dir_ << "/opened.tmp'\n"
               << "mv '" << dir_ << "/opened.tmp' '" << dir_ << "/opened'\n";
        script.close();
        chmod(recorder_.c_str(), 0700);
        SeamClearOpenRequests();
    }

    void TearDown() override {
        SeamSetOpenCommand("");
        SeamClearOpenRequests();
        SeamClearFailures();
        for (const char* name : {"/recorder", "/opened", "/opened.tmp", "/plain"}) {
            std::remove((dir_ + name).c_str());
        }
        rmdir(dir_.c_str());
    }

    // What the recorder wrote, once it has; empty after 10 s.
    std::string WaitForRecord() const {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < limit) {
            std::ifstream in(dir_ + "/opened");
            if (in) {
                std::ostringstream text;
                text << in.rdbuf();
                return text.str();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return std::string();
    }

    static INT_PTR Open(const char16_t* verb, const std::u16string& file,
                        const char16_t* parameters = nullptr) {
        return reinterpret_cast<INT_PTR>(
            ShellExecuteW(nullptr, verb, file.c_str(), parameters, nullptr, SW_SHOWNORMAL));
    }

    std::string dir_;
    std::string recorder_;
};

TEST_F(ShellOpen, TargetReachesTheOpenerUnchangedAndNothingIsLeftBehind) {
    SeamSetOpenCommand(recorder_);
    // Everything a shell would act on: blanks, quotes, $(...), ;, &, a non-ASCII letter.
    const std::u16string target = u"https://h/p?a=1&b=\"x y\";$(touch z) 'é'";
    SetLastError(99);
    EXPECT_EQ(33, Open(u"open", target));
    EXPECT_EQ(0u, GetLastError());
    EXPECT_EQ(Utf16ToUtf8(target) + "\n1\n", WaitForRecord());
    EXPECT_EQ(std::vector<std::u16string>{target}, SeamOpenRequests());
    // The middle process was reaped and the opener is not a child of ours.
    int status = 0;
    EXPECT_EQ(-1, waitpid(-1, &status, WNOHANG));
    EXPECT_EQ(ECHILD, errno);
}

TEST_F(ShellOpen, NullVerbMeansOpen) {
    SeamSetOpenCommand(recorder_);
    EXPECT_EQ(33, Open(nullptr, u"/tmp/x/register.htm"));
    EXPECT_EQ("/tmp/x/register.htm\n1\n", WaitForRecord());
}

TEST_F(ShellOpen, OpenerThatCannotStartAnswersFileNotFound) {
    const std::string plain = dir_ + "/plain";  // there, but not executable
    std::ofstream(plain) << "#!/bin/sh\n";
    chmod(plain.c_str(), 0600);
    const struct {
        std::string program;
        DWORD error;
    } cases[] = {
        {dir_ + "/missing", ERROR_FILE_NOT_FOUND},
        {"ostrel-no-such-opener", ERROR_FILE_NOT_FOUND},  // looked up in PATH
        {plain, ERROR_ACCESS_DENIED},
    };
    for (const auto& c : cases) {
        SeamSetOpenCommand(c.program);
        EXPECT_EQ(SE_ERR_FNF, Open(u"open", u"https://h/")) << c.program;
        EXPECT_EQ(c.error, GetLastError()) << c.program;
    }
    // Asked for all the same.
    EXPECT_EQ(3u, SeamOpenRequests().size());
}

TEST_F(ShellOpen, OnlyTheOpenVerbOfOneFile) {
    SeamSetOpenCommand(recorder_);
    EXPECT_EQ(SE_ERR_NOASSOC, Open(u"print", u"/tmp/a.htm"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_ASSOCIATION), GetLastError());
    EXPECT_EQ(SE_ERR_NOASSOC, Open(u"open", u"/tmp/a.htm", u"--new-window"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_ASSOCIATION), GetLastError());
    EXPECT_EQ(SE_ERR_FNF, Open(u"open", u""));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    EXPECT_TRUE(SeamOpenRequests().empty());
}

TEST_F(ShellOpen, ArmedFailureAnswersItsCode) {
    SeamSetOpenCommand(recorder_);
    SeamFailNthCall("ShellExecuteW", 1, ERROR_ACCESS_DENIED);
    EXPECT_EQ(SE_ERR_ACCESSDENIED, Open(u"open", u"https://h/"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    SeamFailNthCall("ShellExecuteW", 1, 1155);  // above 32: "out of resources"
    EXPECT_EQ(0, Open(u"open", u"https://h/"));
    EXPECT_EQ(1155u, GetLastError());
}

}  // namespace
