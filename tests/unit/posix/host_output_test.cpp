// The host's pieces without a process: how it reads its command line, the log
// lines it makes of the installer's messages, progress state included, the
// progress bar it draws and the layout of its msiexec-style verbose log.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "host/log_printer.h"
#include "host/msi_log.h"
#include "host/options.h"
#include "host/progress_bar.h"
#include "host/progress_state.h"

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

TEST(HostLogLines, ActionDataMovesTheBarOnlyWhenTheActionAskedForIt) {
    InstallerMessage actionData;
    actionData.type = INSTALLMESSAGE_ACTIONDATA;
    actionData.fields = {Text(u"file.txt")};

    ProgressState state;
    EXPECT_FALSE(state.started());
    state.Apply(actionData);
    EXPECT_FALSE(state.started()) << "action data alone is no progress";
    state.Apply(Progress(0, 100, 0));
    state.Apply(actionData);
    EXPECT_EQ(state.position(), 0) << "no (1, ticks, 1) yet";
    state.Apply(Progress(1, 7, 1));
    state.Apply(actionData);
    state.Apply(actionData);
    EXPECT_EQ(state.position(), 14);
    state.Apply(Progress(1, 1, 0));
    state.Apply(actionData);
    EXPECT_EQ(state.position(), 14) << "explicit reports: action data no longer moves it";
    EXPECT_EQ(state.total(), 100);
    EXPECT_TRUE(state.started());
}

// ---------------------------------------------------------------- progress bar

std::string Repeat(char c, size_t count) {
    return std::string(count, c);
}

TEST(HostProgressBar, RendersPositionOfTotal) {
    EXPECT_EQ(RenderProgressBar("CAQueryWMI", 0, 2000, 120),
              "CAQueryWMI [" + Repeat('-', 40) + "]   0% 0/2000 ticks");
    EXPECT_EQ(RenderProgressBar("CAQueryWMI", 1000, 2000, 120),
              "CAQueryWMI [" + Repeat('#', 20) + Repeat('-', 20) + "]  50% 1000/2000 ticks");
    // A third of 40 cells is 13 whole cells.
    EXPECT_EQ(RenderProgressBar("A", 1, 3, 120),
              "A [" + Repeat('#', 13) + Repeat('-', 27) + "]  33% 1/3 ticks");
    EXPECT_EQ(RenderProgressBar("A", 3000, 3000, 120),
              "A [" + Repeat('#', 40) + "] 100% 3000/3000 ticks");
}

TEST(HostProgressBar, PositionsOutsideTheTotalStayOnTheBar) {
    EXPECT_EQ(RenderProgressBar("A", 2500, 2000, 120),
              "A [" + Repeat('#', 40) + "] 100% 2500/2000 ticks");
    EXPECT_EQ(RenderProgressBar("A", -500, 2000, 120),
              "A [" + Repeat('-', 40) + "]   0% -500/2000 ticks");
    EXPECT_EQ(RenderProgressBar("A", INT64_MAX - 1, INT64_MAX, 120).substr(0, 49),
              "A [" + Repeat('#', 39) + Repeat('-', 1) + "]  99%");
    EXPECT_EQ(RenderProgressBar("A", INT64_MAX, INT64_MAX, 120).substr(0, 49),
              "A [" + Repeat('#', 40) + "] 100%");
}

TEST(HostProgressBar, WithoutATotalTheBarIsFullOnceItMoved) {
    // A deferred action only moves the bar: the total was the script's business.
    EXPECT_EQ(RenderProgressBar("CAUpdateOfflineReg", 3000, 0, 120),
              "CAUpdateOfflineReg [" + Repeat('#', 40) + "] 3000 ticks, no total");
    EXPECT_EQ(RenderProgressBar("A", 0, 0, 120), "A [" + Repeat('-', 40) + "] 0 ticks, no total");
    EXPECT_EQ(RenderProgressBar("A", 10, -5, 120),
              "A [" + Repeat('#', 40) + "] 10 ticks, no total");
}

TEST(HostProgressBar, NarrowTerminalsShortenTheBarThenCutTheLine) {
    // 60 columns: 59 characters, "A [" and "]   0% 0/2000 ticks" leave 37 cells.
    EXPECT_EQ(RenderProgressBar("A", 0, 2000, 60), "A [" + Repeat('-', 37) + "]   0% 0/2000 ticks");
    // Never fewer than 10 cells; the line is cut instead, never wider than
    // the terminal less its last column.
    const std::string narrow = RenderProgressBar("CAUpdateOfflineReg", 3000, 0, 40);
    EXPECT_EQ(narrow,
              ("CAUpdateOfflineReg [" + Repeat('#', 10) + "] 3000 ticks, no total").substr(0, 39));
    EXPECT_EQ(RenderProgressBar("A", 1, 2, 1), "");
    EXPECT_EQ(RenderProgressBar("A", 1, 2, 0), "");
    // A label cut inside a UTF-8 sequence loses the whole character.
    EXPECT_EQ(RenderProgressBar("\xc3\xa9\xc3\xa9", 0, 1, 3), "\xc3\xa9");
    EXPECT_EQ(RenderProgressBar("a\xc3\xa9", 0, 1, 3), "a");
}

// What a bar writes to its terminal, through a memory stream.
class CapturedTerminal {
  public:
    CapturedTerminal() : stream_(open_memstream(&buffer_, &size_)) {}
    ~CapturedTerminal() {
        if (stream_ != nullptr) {
            std::fclose(stream_);
        }
        std::free(buffer_);
    }
    FILE* stream() { return stream_; }
    std::string Text() {
        std::fflush(stream_);
        return std::string(buffer_, size_);
    }

  private:
    char* buffer_ = nullptr;
    size_t size_ = 0;
    FILE* stream_;
};

TEST(HostProgressBar, DrawsInPlaceHidesForOtherLinesAndStaysAtTheEnd) {
    CapturedTerminal terminal;
    ASSERT_NE(terminal.stream(), nullptr);
    ProgressBar bar(terminal.stream(), "A");
    bar.Hide();
    bar.Finish();
    EXPECT_EQ(terminal.Text(), "") << "nothing drawn: nothing to hide or leave";

    ProgressState state;
    state.Apply(Progress(3, 10, 0));
    // Not a terminal: the width falls back to 80 columns.
    const std::string line = RenderProgressBar("A", 0, 10, 80);
    bar.Show(state);
    bar.Hide();
    bar.Hide();
    bar.Show(state);
    bar.Finish();
    EXPECT_EQ(terminal.Text(), "\r" + line + "\033[K" + "\r\033[K" + "\r" + line + "\033[K\n");
}

TEST(HostProgressBar, FinishDrawsAHiddenBarAgain) {
    CapturedTerminal terminal;
    ASSERT_NE(terminal.stream(), nullptr);
    ProgressBar bar(terminal.stream(), "A");
    ProgressState state;
    state.Apply(Progress(1, 1, 0));
    state.Apply(Progress(2, 5, 0));
    const std::string line = RenderProgressBar("A", 5, 0, 80);
    bar.Show(state);
    bar.Hide();
    bar.Finish();
    bar.Finish();
    EXPECT_EQ(terminal.Text(), "\r" + line + "\033[K\r\033[K\r" + line + "\033[K\n");
}

TEST(HostProgressBar, NoTerminalNoBar) {
    ProgressBar bar(nullptr, "A");
    ProgressState state;
    state.Apply(Progress(3, 10, 0));
    bar.Show(state);
    bar.Hide();
    bar.Finish();  // nothing to write to, nothing written: no crash
    FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    EXPECT_FALSE(ProgressBar::WantedOn(file));
    EXPECT_FALSE(ProgressBar::WantedOn(nullptr));
    std::fclose(file);
}

// ---------------------------------------------------------------- verbose log

// A clock that moves 1 ms each time it is read, from 9:05:03.007 on 7 March 2026.
struct SteppingClock {
    int reads = 0;
    LogTime operator()() {
        LogTime time;
        time.year = 2026;
        time.month = 3;
        time.day = 7;
        time.hour = 9;
        time.minute = 5;
        time.second = 3;
        time.millisecond = 7 + reads++;
        return time;
    }
};

std::string LogOf(const std::function<void(MsiLog&)>& write) {
    CapturedTerminal file;
    SteppingClock clock;
    {
        MsiLog log(file.stream(), 0x12345, 0x678AB, std::ref(clock));
        write(log);
    }
    return file.Text();
}

TEST(HostVerboseLog, LinesAreLaidOutAsMsiexecWritesThem) {
    const std::string text = LogOf([](MsiLog& log) {
        log.Started();
        log.PropertyAdded(MsiLog::Source::Engine, "UpdateRegistration", "/tmp/app/");
        log.ActionStart("CAUpdateOfflineReg");
        log.EngineLine("Invoking custom action.");
        log.PropertyDeleted(MsiLog::Source::Action, "UpdateRegistration", "/tmp/app/");
        log.PropertyModified(MsiLog::Source::Action, "A", "old", "new");
        log.PropertyAdded(MsiLog::Source::Action, "B", "it's");
        log.PlainLine(
            "CAUpdateOfflineReg:  Error 0x80004005: failed to write offline registration file.");
        log.ActionEnded("CAUpdateOfflineReg", 1603);
        log.Property("A", "new");
        log.Property("Empty", "");
        log.Stopped();
    });
    EXPECT_EQ(
        text,
        "=== Logging started: 3/7/2026  9:05:03 ===\n"
        "MSI (s) (45:AB) [09:05:03:008]: PROPERTY CHANGE: Adding UpdateRegistration property. "
        "Its value is '/tmp/app/'.\n"
        "MSI (s) (45:AB) [09:05:03:009]: Doing action: CAUpdateOfflineReg\n"
        "Action start 9:05:03: CAUpdateOfflineReg.\n"
        "MSI (s) (45:AB) [09:05:03:011]: Invoking custom action.\n"
        "MSI (s) (45!AB) [09:05:03:012]: PROPERTY CHANGE: Deleting UpdateRegistration "
        "property. Its current value is '/tmp/app/'.\n"
        "MSI (s) (45!AB) [09:05:03:013]: PROPERTY CHANGE: Modifying A property. Its current "
        "value is 'old'. Its new value: 'new'.\n"
        "MSI (s) (45!AB) [09:05:03:014]: PROPERTY CHANGE: Adding B property. Its value is "
        "'it's'.\n"
        "CAUpdateOfflineReg:  Error 0x80004005: failed to write offline registration file.\n"
        "CustomAction CAUpdateOfflineReg returned actual error code 1603\n"
        "Action ended 9:05:03: CAUpdateOfflineReg. Return value 3.\n"
        "Property(S): A = new\n"
        "Property(S): Empty = \n"
        "=== Logging stopped: 3/7/2026  9:05:03 ===\n");
}

TEST(HostVerboseLog, ReturnValuesFollowMsiexec) {
    EXPECT_EQ(MsiexecReturnValue(0), 1);
    EXPECT_EQ(MsiexecReturnValue(1602), 2);
    EXPECT_EQ(MsiexecReturnValue(1603), 3);
    // Any other code is a failure to msiexec.
    EXPECT_EQ(MsiexecReturnValue(1), 3);
    EXPECT_EQ(MsiexecReturnValue(0x80004005u), 3);

    const std::string success = LogOf([](MsiLog& log) { log.ActionEnded("CACreateURN", 0); });
    EXPECT_EQ(success, "Action ended 9:05:03: CACreateURN. Return value 1.\n")
        << "no error code line for a success";
    const std::string cancel = LogOf([](MsiLog& log) { log.ActionEnded("CACreateURN", 1602); });
    EXPECT_EQ(cancel,
              "CustomAction CACreateURN returned actual error code 1602\n"
              "Action ended 9:05:03: CACreateURN. Return value 2.\n");
}

TEST(HostVerboseLog, TimesArePaddedWhereMsiexecPadsThem) {
    CapturedTerminal file;
    LogTime time;
    time.year = 2027;
    time.month = 12;
    time.day = 31;
    time.hour = 23;
    time.minute = 59;
    time.second = 58;
    time.millisecond = 999;
    {
        MsiLog log(file.stream(), 0x4, 0x100, [time] { return time; });
        log.Started();
        log.EngineLine("x");
        log.ActionStart("A");
    }
    EXPECT_EQ(file.Text(),
              "=== Logging started: 12/31/2027  23:59:58 ===\n"
              "MSI (s) (04:00) [23:59:58:999]: x\n"
              "MSI (s) (04:00) [23:59:58:999]: Doing action: A\n"
              "Action start 23:59:58: A.\n");
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
