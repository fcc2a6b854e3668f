// ostrel-ca-run's progress bar, seen as a user sees it: the host runs in a real
// terminal (a detached tmux session of the test's own, on its own socket) and the
// screen is read back with capture-pane once the host has ended. In a terminal
// the bar is the last line, below the lines standard output printed, which stay
// whole; in a pipe or a file there is no bar at all.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/unit/posix/build_paths.h"
#include "host_runner.h"

namespace {

bool OnPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path != nullptr ? path : "");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        if (!dir.empty() && access((dir + "/" + program).c_str(), X_OK) == 0) {
            return true;
        }
    }
    return false;
}

// `text` as one word of a POSIX shell command line.
std::string Quoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

std::string Host(const std::string& args) {
    return Quoted(OSTREL_HOST_PATH) + " --library " + Quoted(OSTREL_LIBRARY_PATH) + " " + args;
}

class HostTerminalTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!OnPath("tmux")) {
            GTEST_SKIP() << "SKIP: tmux is not installed (scripts/setup installs it)";
        }
        char pattern[] = "/tmp/ostrel-host-terminal-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        socket_ = dir_ + "/tmux.sock";
    }
    void TearDown() override {
        if (!dir_.empty()) {
            Tmux({"kill-server"});
            std::error_code ignored;
            std::filesystem::remove_all(dir_, ignored);
        }
    }

    ProgramRun Tmux(const std::vector<std::string>& args) {
        // A tmux of the test's own: its socket, no configuration, and not taken
        // for a nested session when the tests themselves run inside tmux.
        std::vector<std::string> all = {"-u", "TMUX", "tmux", "-S", socket_, "-f", "/dev/null"};
        all.insert(all.end(), args.begin(), args.end());
        return RunProgram("env", all, dir_);
    }

    // Runs the shell command line `command` in a fresh terminal `columns` wide
    // and 30 lines high, waits until it has ended, and returns the screen's
    // lines up to the last one that is not empty. `status_` is the command's
    // exit status.
    std::vector<std::string> Screen(const std::string& command, int columns = 120) {
        const std::string statusFile = dir_ + "/status";
        const std::string script = command + "; echo $? > " + Quoted(statusFile) + "; tmux -S " +
                                   Quoted(socket_) + " wait-for -S done; exec sleep 120";
        const ProgramRun started = Tmux(
            {"new-session", "-d", "-s", "host", "-x", std::to_string(columns), "-y", "30", script});
        EXPECT_EQ(started.status, 0) << started.err;
        // The signal is kept when it comes before the wait, so there is no race.
        const ProgramRun waited = RunProgram(
            "timeout", {"30", "env", "-u", "TMUX", "tmux", "-S", socket_, "wait-for", "done"},
            dir_);
        EXPECT_EQ(waited.status, 0) << "the command did not end: " << waited.err;
        const ProgramRun captured = Tmux({"capture-pane", "-p", "-t", "host"});
        EXPECT_EQ(captured.status, 0) << captured.err;
        status_ = std::atoi(ReadTextFile(statusFile).c_str());

        std::vector<std::string> lines;
        std::istringstream in(captured.out);
        std::string line;
        while (std::getline(in, line)) {
            lines.push_back(line);
        }
        while (!lines.empty() && lines.back().empty()) {
            lines.pop_back();
        }
        return lines;
    }

    // A copy of the sample installation directory, for CAUpdateOfflineReg.
    std::string CopyOfInstall() {
        const std::string copy = dir_ + "/install/";
        std::filesystem::copy(std::string(OSTREL_SOURCE_DIR) + "/examples/install", copy,
                              std::filesystem::copy_options::recursive);
        return copy;
    }

    static std::string Joined(const std::vector<std::string>& lines) {
        std::string text;
        for (const std::string& line : lines) {
            text += line + "\n";
        }
        return text;
    }

    std::string dir_;
    std::string socket_;
    int status_ = -1;
};

const char kQuery[] = "WMIQuery=SELECT OSType FROM Win32_OperatingSystem";

TEST_F(HostTerminalTest, ImmediateActionShowsTheTotalItAdded) {
    const std::vector<std::string> screen =
        Screen(Host("--property " + Quoted(kQuery) + " CAQueryWMI"));
    EXPECT_EQ(status_, 0);
    // The tmux capture drops blanks at the end of a line ("WMIQuery = ").
    EXPECT_EQ(Joined(screen),
              "Progress: 3 2000 0 (total 2000)\n"
              "Property(S): WMIQuery =\n"
              "Property(S): OperatingSystem_OSType = 36 (0x24)\n"
              "Action ended: CAQueryWMI. Return value 0.\n"
              "CAQueryWMI [" +
                  std::string(40, '-') + "]   0% 0/2000 ticks\n");
}

TEST_F(HostTerminalTest, DeferredActionMovesTheBar) {
    const std::string install = CopyOfInstall();
    const std::vector<std::string> screen = Screen(
        Host("--mode deferred --custom-action-data " + Quoted(install) + " CAUpdateOfflineReg"));
    EXPECT_EQ(status_, 0);
    EXPECT_EQ(Joined(screen),
              "Progress: 1 1 0 (explicit progress reports)\n"
              "Progress: 2 3000 0 (position 3000 of total 0)\n"
              "Action ended: CAUpdateOfflineReg. Return value 0.\n"
              "CAUpdateOfflineReg [" +
                  std::string(40, '#') + "] 3000 ticks, no total\n");
}

TEST_F(HostTerminalTest, BarNeverWrapsInANarrowTerminal) {
    const std::string install = CopyOfInstall();
    const std::vector<std::string> screen = Screen(
        Host("--mode deferred --custom-action-data " + Quoted(install) + " CAUpdateOfflineReg"),
        40);
    EXPECT_EQ(status_, 0);
    ASSERT_GE(screen.size(), 2u);
    // 39 characters: the label, the shortest bar (10 cells), the numbers cut.
    EXPECT_EQ(screen.back(), "CAUpdateOfflineReg [##########] 3000 ti") << Joined(screen);
    // The printed lines wrap as the terminal wraps them; the bar did not clear
    // any part of them.
    EXPECT_EQ(screen[screen.size() - 3], "Action ended: CAUpdateOfflineReg. Return");
    EXPECT_EQ(screen[screen.size() - 2], " value 0.");
}

TEST_F(HostTerminalTest, NoProgressRecordNoBar) {
    const std::vector<std::string> screen = Screen(Host("CASetRegDateTime"));
    EXPECT_EQ(status_, 0);
    EXPECT_TRUE(std::regex_match(
        Joined(screen), std::regex("Property\\(S\\): SysDateTime = [0-9-]{10} [0-9:]{8} UTC\n"
                                   "Action ended: CASetRegDateTime\\. Return value 0\\.\n")))
        << Joined(screen);
}

TEST_F(HostTerminalTest, PipeOrFileGetsNoBar) {
    const std::string errors = dir_ + "/errors";
    const std::vector<std::string> screen =
        Screen(Host("--property " + Quoted(kQuery) + " CAQueryWMI 2>&1 | cat; " +
                    Host("--property " + Quoted(kQuery) + " CAQueryWMI 2>" + Quoted(errors))));
    EXPECT_EQ(status_, 0);
    const std::string once =
        "Progress: 3 2000 0 (total 2000)\n"
        "Property(S): WMIQuery =\n"
        "Property(S): OperatingSystem_OSType = 36 (0x24)\n"
        "Action ended: CAQueryWMI. Return value 0.\n";
    EXPECT_EQ(Joined(screen), once + once);
    EXPECT_EQ(ReadTextFile(errors), "");
}

}  // namespace
