// The host's pieces without a process: how it reads its command line (every
// option documented with an example that parses) and the log lines it makes of
// the installer's messages, progress state included.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "host/log_printer.h"
#include "host/options.h"

namespace {

InstallerField Integer(int value) {
    InstallerField field;
    field.isNull = false;
    field.isInteger = true;
    field.integer = value;
    return field;
}

InstallerField Text(const std::u16string& text) {
    InstallerField field;
    field.isNull = false;
    field.text = text;
    return field;
}

InstallerMessage Progress(int type, int ticks, int third) {
    InstallerMessage message;
    message.type = INSTALLMESSAGE_PROGRESS;
    message.fields = {InstallerField(), Integer(type), Integer(ticks), Integer(third)};
    return message;
}

TEST(HostLogLines, ProgressShowsTheStateTheInstallerKeeps) {
    LogPrinter printer(nullptr);
    EXPECT_EQ(printer.DescribeMessage(Progress(3, 2000, 0)), "Progress: 3 2000 0 (total 2000)");
    EXPECT_EQ(printer.DescribeMessage(Progress(3, 1000, 0)), "Progress: 3 1000 0 (total 3000)");
    EXPECT_EQ(printer.DescribeMessage(Progress(1, 1, 0)),
              "Progress: 1 1 0 (explicit progress reports)");
    EXPECT_EQ(printer.DescribeMessage(Progress(2, 3000, 0)),
              "Progress: 2 3000 0 (position 3000 of total 3000)");
    EXPECT_EQ(printer.DescribeMessage(Progress(2, -500, 0)),
              "Progress: 2 -500 0 (position 2500 of total 3000)");
    EXPECT_EQ(printer.DescribeMessage(Progress(0, 400, 0)), "Progress: 0 400 0 (reset, total 400)");
    EXPECT_EQ(printer.DescribeMessage(Progress(2, 10, 0)),
              "Progress: 2 10 0 (position 10 of total 400)");
    EXPECT_EQ(printer.DescribeMessage(Progress(1, 5, 1)),
              "Progress: 1 5 1 (5 ticks per action data message)");
    EXPECT_EQ(printer.DescribeMessage(Progress(9, 1, 0)),
              "Progress: 9 1 0 (unknown progress type)");
}

TEST(HostLogLines, ProgressCountsSaturateAndReadIntegerText) {
    LogPrinter printer(nullptr);
    printer.DescribeMessage(Progress(3, 2147483647, 0));
    printer.DescribeMessage(Progress(3, 2147483647, 0));
    EXPECT_EQ(printer.DescribeMessage(Progress(3, 2, 0)), "Progress: 3 2 0 (total 4294967296)");

    InstallerMessage textual = Progress(2, 0, 0);
    textual.fields[2] = Text(u"25");
    textual.fields[3] = InstallerField();
    EXPECT_EQ(printer.DescribeMessage(textual),
              "Progress: 2 25 - (position 25 of total 4294967296)");
}

TEST(HostLogLines, InfoLinesAreTheirTextAsIs) {
    LogPrinter printer(nullptr);
    InstallerMessage info;
    info.type = INSTALLMESSAGE_INFO;
    info.fields = {Text(u"CAQueryWMI:  Error 0x80070057: caf\u00e9 100%")};
    EXPECT_EQ(printer.DescribeMessage(info), "CAQueryWMI:  Error 0x80070057: caf\xc3\xa9 100%");
    info.fields = {InstallerField()};
    EXPECT_EQ(printer.DescribeMessage(info), "");
}

// ---------------------------------------------------------------- command line

ParseOutcome Parse(const std::vector<std::string>& args, HostOptions* options, std::string* error) {
    return ParseOptions(args, options, error);
}

TEST(HostCommandLine, ReadsEveryOptionInOrder) {
    HostOptions options;
    std::string error;
    ASSERT_EQ(Parse({"--property", "A=1=2", "--custom-action-data", "[x]", "--property",
                     "Empty=", "--mode", "rollback", "--policy", "voicewarmup", "--answer",
                     "info:3=2", "--default-answer", "progress=-1", "--log", "run.log", "--library",
                     "lib.so", "CAQueryWMI"},
                    &options, &error),
              ParseOutcome::Run)
        << error;
    EXPECT_EQ(options.properties, (std::vector<std::pair<std::string, std::string>>{
                                      {"A", "1=2"}, {"CustomActionData", "[x]"}, {"Empty", ""}}));
    EXPECT_TRUE(options.deferred);
    EXPECT_EQ(options.mode, MSIRUNMODE_ROLLBACK);
    EXPECT_TRUE(options.hasPolicy);
    EXPECT_EQ(options.policy, "voicewarmup");
    ASSERT_EQ(options.answers.size(), 2u);
    EXPECT_EQ(options.answers[0].type, INSTALLMESSAGE_INFO);
    EXPECT_EQ(options.answers[0].nth, 3u);
    EXPECT_EQ(options.answers[0].answer, 2);
    EXPECT_EQ(options.answers[1].type, INSTALLMESSAGE_PROGRESS);
    EXPECT_EQ(options.answers[1].nth, 0u) << "a default answer";
    EXPECT_EQ(options.answers[1].answer, -1);
    EXPECT_EQ(options.logPath, "run.log");
    EXPECT_EQ(options.libraryPath, "lib.so");
    EXPECT_EQ(options.action, "CAQueryWMI");
}

TEST(HostCommandLine, ModesMapToRunModes) {
    const struct {
        const char* name;
        bool deferred;
        MSIRUNMODE mode;
    } modes[] = {
        {"deferred", true, MSIRUNMODE_SCHEDULED},
        {"rollback", true, MSIRUNMODE_ROLLBACK},
        {"commit", true, MSIRUNMODE_COMMIT},
    };
    for (const auto& expected : modes) {
        HostOptions options;
        std::string error;
        ASSERT_EQ(Parse({"--mode", expected.name, "X"}, &options, &error), ParseOutcome::Run);
        EXPECT_EQ(options.deferred, expected.deferred) << expected.name;
        EXPECT_EQ(options.mode, expected.mode) << expected.name;
    }
    HostOptions options;
    std::string error;
    ASSERT_EQ(Parse({"--mode", "deferred", "--mode", "immediate", "X"}, &options, &error),
              ParseOutcome::Run);
    EXPECT_FALSE(options.deferred) << "the last --mode counts";
}

TEST(HostCommandLine, MistakesGiveOneLineErrors) {
    const std::vector<std::vector<std::string>> mistakes = {
        {"--answer", "info:1x=2", "X"},
        {"--answer", "info:99999999999=2", "X"},
        {"--answer", "info:1=2x", "X"},
        {"--default-answer", "info:1=2", "X"},
        {"--policy"},
        {"--", "--help", "X"},
        {"--library", "", "X"},
    };
    for (const auto& args : mistakes) {
        HostOptions options;
        std::string error;
        EXPECT_EQ(Parse(args, &options, &error), ParseOutcome::Error) << args[0] << " " << args[1];
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
}

TEST(HostCommandLine, ReadsTheUploadOptions) {
    HostOptions options;
    std::string error;
    ASSERT_EQ(
        Parse({"--trust-ca", "ca.pem", "--connect-to", "register.example.com:443:127.0.0.1:8443",
               "--connect-to", "h:80:[::1]:8080", "--open-with", "/bin/echo", "CASendServiceTag"},
              &options, &error),
        ParseOutcome::Run)
        << error;
    EXPECT_EQ(options.trustedCa, "ca.pem");
    EXPECT_EQ(options.openWith, "/bin/echo");
    ASSERT_EQ(options.redirections.size(), 2u);
    EXPECT_EQ(options.redirections[0].host, "register.example.com");
    EXPECT_EQ(options.redirections[0].port, 443u);
    EXPECT_EQ(options.redirections[0].address, "127.0.0.1");
    EXPECT_EQ(options.redirections[0].toPort, 8443u);
    EXPECT_EQ(options.redirections[1].address, "::1");
    EXPECT_EQ(options.redirections[1].toPort, 8080u);

    const std::vector<std::string> wrong = {
        "register.example.com:443:127.0.0.1",  // no port to go to
        ":443:127.0.0.1:8443",                 // no host
        "h:0:127.0.0.1:8443",                  // port 0
        "h:443:127.0.0.1:65536",
        "h:443::8443",      // no address
        "h:443:[::1:8443",  // bracket not closed
        "h:+443:127.0.0.1:8443",
    };
    for (const std::string& value : wrong) {
        HostOptions rejected;
        EXPECT_EQ(Parse({"--connect-to", value, "X"}, &rejected, &error), ParseOutcome::Error)
            << value;
        EXPECT_NE(error.find("HOST:PORT:ADDRESS:PORT"), std::string::npos) << error;
    }
    EXPECT_EQ(Parse({"--trust-ca", "", "X"}, &options, &error), ParseOutcome::Error);
    EXPECT_EQ(Parse({"--open-with", "", "X"}, &options, &error), ParseOutcome::Error);
}

TEST(HostCommandLine, VersionStopsTheReading) {
    HostOptions options;
    std::string error;
    EXPECT_EQ(Parse({"--version"}, &options, &error), ParseOutcome::Version);
    EXPECT_EQ(Parse({"--mode", "deferred", "--version", "--bogus"}, &options, &error),
              ParseOutcome::Version);
    EXPECT_EQ(VersionText(), "ostrel-ca-run " OSTREL_VERSION "\n");
}

// A command line as a shell splits it: words apart at blanks, "..." kept whole.
std::vector<std::string> ShellWords(const std::string& line) {
    std::vector<std::string> words;
    std::string word;
    bool quoted = false;
    bool inWord = false;
    for (char c : line) {
        if (c == '"') {
            quoted = !quoted;
            inWord = true;
        } else if (c == ' ' && !quoted) {
            if (inWord) {
                words.push_back(word);
            }
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) {
        words.push_back(word);
    }
    return words;
}

TEST(HostCommandLine, EveryOptionHasAnExampleThatParses) {
    const auto examples = UsageExamples();
    // The options scripts, the torture harness and the demo call the host with.
    for (const char* relied :
         {"--property", "--custom-action-data", "--mode", "--policy", "--answer",
          "--default-answer", "--fail-call", "--fail-points-from", "--trust-ca", "--connect-to",
          "--open-with", "--log", "--library", "--help", "--version"}) {
        EXPECT_NE(std::find_if(examples.begin(), examples.end(),
                               [relied](const std::pair<std::string, std::string>& example) {
                                   return example.first == relied;
                               }),
                  examples.end())
            << relied;
    }
    const std::string usage = UsageText();
    for (const auto& example : examples) {
        const std::string& option = example.first;
        EXPECT_NE(usage.find("\n  " + option), std::string::npos) << option;
        EXPECT_NE(usage.find("e.g. " + example.second + "\n"), std::string::npos) << option;
        std::vector<std::string> words = ShellWords(example.second);
        ASSERT_GE(words.size(), 2u) << example.second;
        EXPECT_EQ(words[0], "ostrel-ca-run");
        words.erase(words.begin());
        EXPECT_NE(std::find(words.begin(), words.end(), option), words.end())
            << "the example of " << option << " does not use it: " << example.second;
        HostOptions options;
        std::string error;
        const ParseOutcome outcome = Parse(words, &options, &error);
        const ParseOutcome expected = option == "--help"      ? ParseOutcome::Help
                                      : option == "--version" ? ParseOutcome::Version
                                                              : ParseOutcome::Run;
        EXPECT_EQ(outcome, expected) << example.second << ": " << error;
    }
}

TEST(HostCommandLine, DoubleDashEndsOptions) {
    HostOptions options;
    std::string error;
    ASSERT_EQ(Parse({"--", "-odd-name"}, &options, &error), ParseOutcome::Run) << error;
    EXPECT_EQ(options.action, "-odd-name");
    EXPECT_EQ(Parse({"--help", "--bogus"}, &options, &error), ParseOutcome::Help);
}

TEST(HostCommandLine, ExitStatusNeverTurnsAFailureIntoSuccess) {
    EXPECT_EQ(ExitStatusFor(0), 0);
    EXPECT_EQ(ExitStatusFor(1602), 66);
    EXPECT_EQ(ExitStatusFor(1603), 67);
    EXPECT_EQ(ExitStatusFor(512), 255);
    EXPECT_EQ(ExitStatusFor(0x80000000u), 255);
    EXPECT_EQ(ExitStatusFor(255), 255);
}

}  // namespace
