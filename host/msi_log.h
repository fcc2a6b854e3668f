// The --log file of ostrel-ca-run, laid out as msiexec writes a verbose log
// (/l*v), so that the tools installer authors read such logs with read it too:
//
//   === Logging started: 12/9/2026  11:04:26 ===
//   MSI (s) (3C:3C) [11:04:26:120]: PROPERTY CHANGE: Adding WMIQuery property. Its value is '...'.
//   MSI (s) (3C:3C) [11:04:26:121]: Doing action: CAQueryWMI
//   Action start 11:04:26: CAQueryWMI.
//   MSI (s) (3C!3C) [11:04:26:130]: PROPERTY CHANGE: Deleting WMIQuery property. Its current ...
//   CAQueryWMI:  Error 0x80070057: ...                    (the action's information lines, as is)
//   CustomAction CAQueryWMI returned actual error code 1603
//   Action ended 11:04:26: CAQueryWMI. Return value 3.
//   Property(S): NAME = VALUE                             (every property of the session)
//   === Logging stopped: 12/9/2026  11:04:26 ===
//
// Engine lines carry "MSI (s) (PID:TID) [hh:mm:ss:mmm]: ", the process and thread
// ids as their last byte in upper-case hexadecimal; lines about what the custom
// action itself did have "!" in place of ":", as msiexec marks lines from a custom
// action's thread. Times are local.
#ifndef OSTREL_HOST_MSI_LOG_H
#define OSTREL_HOST_MSI_LOG_H

#include <cstdio>
#include <functional>
#include <string>

// A moment as the log shows it, in local time.
struct LogTime {
    int year = 0;
    int month = 0;  // 1 to 12
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
};

// The current local time.
LogTime LocalLogTime();

// The "Return value" msiexec logs for a custom action's exit code: 1 success,
// 2 user exit (1602), 3 failure (1603 and any other code, which msiexec also
// takes as a failure).
int MsiexecReturnValue(unsigned exitCode);

class MsiLog {
  public:
    // Writes to `file` (owned by the caller, not closed here); `clock` gives the
    // time of each line.
    MsiLog(FILE* file, unsigned processId, unsigned threadId, std::function<LogTime()> clock);

    void Started();
    void Stopped();
    // "MSI (s) (PID:TID) [time]: text", a line of the installer engine.
    void EngineLine(const std::string& text);
    // "MSI (s) (PID!TID) [time]: text", a line about what the custom action did.
    void ActionLine(const std::string& text);
    // A line as is: an information message of the action.
    void PlainLine(const std::string& text);

    // "Doing action: NAME" and "Action start hh:mm:ss: NAME."
    void ActionStart(const std::string& action);
    // For a non-zero exit code the line msiexec writes about it, then "Action
    // ended hh:mm:ss: NAME. Return value N." with N from MsiexecReturnValue.
    void ActionEnded(const std::string& action, unsigned exitCode);

    // PROPERTY CHANGE lines: set by the engine (the command line) or by the action.
    enum class Source { Engine, Action };
    void PropertyAdded(Source source, const std::string& name, const std::string& value);
    void PropertyModified(Source source, const std::string& name, const std::string& oldValue,
                          const std::string& newValue);
    void PropertyDeleted(Source source, const std::string& name, const std::string& oldValue);

    // "Property(S): NAME = VALUE", a line of the closing property dump.
    void Property(const std::string& name, const std::string& value);

  private:
    void Prefixed(char separator, const std::string& text);
    void Write(const std::string& line);

    FILE* file_;
    unsigned processByte_;
    unsigned threadByte_;
    std::function<LogTime()> clock_;
};

#endif  // OSTREL_HOST_MSI_LOG_H
