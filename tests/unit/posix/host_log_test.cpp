// ostrel-ca-run --log: the file must read like an msiexec verbose log. Each case
// runs the host on a real action and reads the file twice: line by line against
// the shapes of msiexec's lines, and with the code that reads Wine's real msiexec
// logs in the end-to-end tests (tests/e2e/wine_install.py, through host_log_reader.py).
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/unit/posix/build_paths.h"
#include "host_runner.h"

namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    return lines;
}

class HostLogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/ostrel-host-log-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        log_ = dir_ + "/run.log";
    }
    void TearDown() override {
        for (const char* name : {"/out", "/err", "/run.log"}) {
            std::remove((dir_ + name).c_str());
        }
        rmdir(dir_.c_str());
    }

    // Runs the host with --log and the library, then `args`.
    ProgramRun Run(const std::vector<std::string>& args) {
        std::vector<std::string> all = {"--log", log_, "--library", OSTREL_LIBRARY_PATH};
        all.insert(all.end(), args.begin(), args.end());
        return RunProgram(OSTREL_HOST_PATH, all, dir_);
    }

    // What the end-to-end harness's log reader finds in the log.
    nlohmann::json ReadWithTheE2eHarness() {
        const ProgramRun run =
            RunProgram("python3",
                       {std::string(OSTREL_SOURCE_DIR) + "/tests/unit/posix/host_log_reader.py",
                        std::string(OSTREL_SOURCE_DIR) + "/tests/e2e", log_},
                       dir_);
        EXPECT_EQ(run.status, 0) << run.err;
        return nlohmann::json::parse(run.out, nullptr, false);
    }

    // The log's lines, each checked against the shapes of msiexec's lines.
    std::vector<std::string> CheckedLines() {
        const std::vector<std::string> lines = Lines(ReadTextFile(log_));
        const std::regex frame(
            "=== Logging (started|stopped): [0-9]{1,2}/[0-9]{1,2}/[0-9]{4}  "
            "[0-9]{1,2}:[0-9]{2}:[0-9]{2} ===");
        const std::regex engine(
            "MSI \\(s\\) \\([0-9A-F]{2}[:!][0-9A-F]{2}\\) "
            "\\[[0-9]{2}:[0-9]{2}:[0-9]{2}:[0-9]{3}\\]: \\S.*");
        const std::regex action(
            "Action (start|ended) [0-9]{1,2}:[0-9]{2}:[0-9]{2}: \\S+\\."
            "( Return value [123]\\.)?");
        const std::regex property("Property\\(S\\): \\S+ = .*");
        const std::regex errorCode("CustomAction \\S+ returned actual error code [0-9]+");
        const std::regex information("CA[A-Za-z]+:  .*");
        EXPECT_GE(lines.size(), 2u);
        if (lines.size() >= 2) {
            EXPECT_EQ(lines.front().rfind("=== Logging started: ", 0), 0u) << lines.front();
            EXPECT_EQ(lines.back().rfind("=== Logging stopped: ", 0), 0u) << lines.back();
        }
        for (const std::string& line : lines) {
            EXPECT_TRUE(std::regex_match(line, frame) || std::regex_match(line, engine) ||
                        std::regex_match(line, action) || std::regex_match(line, property) ||
                        std::regex_match(line, errorCode) || std::regex_match(line, information))
                << "not a line of a verbose log: " << line;
        }
        return lines;
    }

    // The position of the first line that contains `text`, or lines.size().
    static size_t Find(const std::vector<std::string>& lines, const std::string& text) {
        for (size_t i = 0; i < lines.size(); ++i) {
            if (lines[i].find(text) != std::string::npos) {
                return i;
            }
        }
        return lines.size();
    }

    std::string dir_;
    std::string log_;
};

TEST_F(HostLogTest, SuccessReadsAsMsiexecLogsIt) {
    const ProgramRun run = Run({"--property", "Input=x", "CACreateURN"});
    EXPECT_EQ(run.status, 0) << run.err;
    // Standard output is what it is without --log.
    std::smatch urn;
    ASSERT_TRUE(
        std::regex_match(run.out, urn,
                         std::regex("Property\\(S\\): NewURN = (urn:st:uuid:[0-9a-f-]{36})\n"
                                    "Action ended: CACreateURN\\. Return value 0\\.\n")))
        << run.out;

    const std::vector<std::string> lines = CheckedLines();
    EXPECT_LT(Find(lines, ": PROPERTY CHANGE: Adding Input property. Its value is 'x'."),
              Find(lines, "Action start "));
    const size_t added = Find(lines, "!");
    ASSERT_LT(added, lines.size());
    EXPECT_NE(lines[added].find(": PROPERTY CHANGE: Adding NewURN property. Its value is '" +
                                urn[1].str() + "'."),
              std::string::npos)
        << lines[added];

    nlohmann::json read = ReadWithTheE2eHarness();
    ASSERT_TRUE(read.is_object());
    EXPECT_EQ(read["results"], nlohmann::json::parse("{\"CACreateURN\": [1]}"));
    EXPECT_EQ(read["properties"], (nlohmann::json{{"Input", "x"}, {"NewURN", urn[1].str()}}));
    EXPECT_TRUE(read["failure_lines"].empty());
    EXPECT_TRUE(read["failed_actions"].empty());
    EXPECT_TRUE(read["local_start_seconds"].is_number()) << "no start time in the frame";
}

TEST_F(HostLogTest, FailureLinesAndReturnValueReadAsMsiexecLogsThem) {
    const ProgramRun run = Run({"--property", "SysDateTime=before", "--fail-call",
                                "MsiSetPropertyW:1=6", "CASetRegDateTime"});
    EXPECT_EQ(run.status, 1603 % 256) << run.err;
    const std::vector<std::string> lines = CheckedLines();
    const size_t code =
        Find(lines, "CustomAction CASetRegDateTime returned actual error code 1603");
    EXPECT_LT(code, Find(lines, "Action ended "));
    EXPECT_LT(Find(lines, "failed to set SysDateTime PROPERTY"), code);

    nlohmann::json read = ReadWithTheE2eHarness();
    ASSERT_TRUE(read.is_object());
    EXPECT_EQ(read["results"]["CASetRegDateTime"], nlohmann::json::array({3}));
    EXPECT_EQ(read["failure_lines"],
              nlohmann::json::array(
                  {"CASetRegDateTime:  Error 0x80070006: failed to set property: SysDateTime",
                   "CASetRegDateTime:  Error 0x80070006: failed to set SysDateTime PROPERTY"}));
    EXPECT_EQ(read["failed_actions"], nlohmann::json::array({"CASetRegDateTime"}));
    EXPECT_EQ(read["properties"], (nlohmann::json{{"SysDateTime", "before"}}));
}

TEST_F(HostLogTest, CancelIsReturnValueTwo) {
    const ProgramRun run =
        Run({"--fail-call", "UuidCreate:1=0x6CB", "--answer", "info:1=2", "CACreateURN"});
    EXPECT_EQ(run.status, 1602 % 256) << run.err;
    CheckedLines();
    nlohmann::json read = ReadWithTheE2eHarness();
    ASSERT_TRUE(read.is_object());
    EXPECT_EQ(read["results"]["CACreateURN"], nlohmann::json::array({2}));
    EXPECT_EQ(read["library_lines"],
              nlohmann::json::array({"CACreateURN:  Error 0x800706cb: Could not create UUID"}));
}

TEST_F(HostLogTest, PropertyChangesComeInOrderWithTheActionsLines) {
    // The action takes its input (removing the property), then fails on the
    // missing folder and writes its lines.
    const ProgramRun run =
        Run({"--property", "UpdateRegistration=" + dir_ + "/missing/", "CAUpdateOfflineReg"});
    EXPECT_EQ(run.status, 1603 % 256) << run.err;
    const std::vector<std::string> lines = CheckedLines();
    const size_t deleted = Find(lines,
                                "]: PROPERTY CHANGE: Deleting UpdateRegistration property. Its "
                                "current value is '" +
                                    dir_ + "/missing/'.");
    ASSERT_LT(deleted, lines.size()) << ReadTextFile(log_);
    EXPECT_NE(lines[deleted].find("!"), std::string::npos)
        << "made by the action: " << lines[deleted];
    const size_t failure = Find(lines, "CAUpdateOfflineReg:  Error 0x");
    ASSERT_LT(failure, lines.size()) << ReadTextFile(log_);
    EXPECT_LT(Find(lines, "Action start "), deleted);
    EXPECT_LT(deleted, failure) << ReadTextFile(log_);
    EXPECT_EQ(Find(lines, "Property(S): UpdateRegistration"), lines.size())
        << "a removed property is not in the dump";
}

TEST_F(HostLogTest, ProgressRecordsStayOutOfTheLog) {
    const ProgramRun run =
        Run({"--property", "WMIQuery=SELECT OSType FROM Win32_OperatingSystem", "CAQueryWMI"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("Progress: 3 2000 0 (total 2000)\n"), std::string::npos) << run.out;
    const std::vector<std::string> lines = CheckedLines();
    EXPECT_EQ(Find(lines, "Progress"), lines.size());
    EXPECT_EQ(Find(lines, "2000"), lines.size());
    nlohmann::json read = ReadWithTheE2eHarness();
    ASSERT_TRUE(read.is_object());
    EXPECT_EQ(read["properties"], (nlohmann::json{{"OperatingSystem_OSType", "36 (0x24)"}}));
}

TEST_F(HostLogTest, AMissingActionIsLoggedAndAnUnopenableLogRefused) {
    const ProgramRun missing = Run({"CANoSuchAction"});
    EXPECT_EQ(missing.status, 1);
    const std::vector<std::string> lines = CheckedLines();
    EXPECT_LT(Find(lines, "]: ostrel-ca-run: no action CANoSuchAction in "), lines.size());
    EXPECT_EQ(Find(lines, "Action start"), lines.size());

    log_ = dir_ + "/missing/run.log";
    const ProgramRun unopenable = Run({"CACreateURN"});
    EXPECT_EQ(unopenable.status, 1);
    EXPECT_EQ(unopenable.err, "ostrel-ca-run: cannot open log file " + log_ + "\n");
    EXPECT_EQ(unopenable.out, "");
}

}  // namespace
