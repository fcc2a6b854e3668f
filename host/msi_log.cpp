// Writing the msiexec-style verbose log of ostrel-ca-run. Every line is flushed
// as it is written, so the log is whole up to the last line even when the action
// takes the process down.
#include "host/msi_log.h"

#include <sys/time.h>

#include <ctime>
#include <utility>

namespace {

std::string Format(const char* format, int a, int b, int c) {
    char text[64];
    std::snprintf(text, sizeof text, format, a, b, c);
    return text;
}

// "M/D/YYYY  H:MM:SS", the frame's date and time.
std::string FrameTime(const LogTime& time) {
    return Format("%d/%d/%d", time.month, time.day, time.year) + "  " +
           Format("%d:%02d:%02d", time.hour, time.minute, time.second);
}

// "H:MM:SS", the time of the Action start and Action ended lines.
std::string ActionTime(const LogTime& time) {
    return Format("%d:%02d:%02d", time.hour, time.minute, time.second);
}

}  // namespace

LogTime LocalLogTime() {
    timeval now{};
    gettimeofday(&now, nullptr);
    const time_t seconds = now.tv_sec;
    tm local{};
    localtime_r(&seconds, &local);
    LogTime time;
    time.year = local.tm_year + 1900;
    time.month = local.tm_mon + 1;
    time.day = local.tm_mday;
    time.hour = local.tm_hour;
    time.minute = local.tm_min;
    time.second = local.tm_sec;
    time.millisecond = static_cast<int>(now.tv_usec / 1000);
    return time;
}

int MsiexecReturnValue(unsigned exitCode) {
    switch (exitCode) {
        case 0:
            return 1;
        case 1602:
            return 2;
        default:
            return 3;
    }
}

MsiLog::MsiLog(FILE* file, unsigned processId, unsigned threadId, std::function<LogTime()> clock)
    : file_(file),
      processByte_(processId & 0xFFu),
      threadByte_(threadId & 0xFFu),
      clock_(std::move(clock)) {}

void MsiLog::Started() {
    Write("=== Logging started: " + FrameTime(clock_()) + " ===");
}

void MsiLog::Stopped() {
    Write("=== Logging stopped: " + FrameTime(clock_()) + " ===");
}

void MsiLog::EngineLine(const std::string& text) {
    Prefixed(':', text);
}

void MsiLog::ActionLine(const std::string& text) {
    Prefixed('!', text);
}

void MsiLog::PlainLine(const std::string& text) {
    Write(text);
}

void MsiLog::ActionStart(const std::string& action) {
    EngineLine("Doing action: " + action);
    Write("Action start " + ActionTime(clock_()) + ": " + action + ".");
}

void MsiLog::ActionEnded(const std::string& action, unsigned exitCode) {
    if (exitCode != 0) {
        Write("CustomAction " + action + " returned actual error code " + std::to_string(exitCode));
    }
    Write("Action ended " + ActionTime(clock_()) + ": " + action + ". Return value " +
          std::to_string(MsiexecReturnValue(exitCode)) + ".");
}

void MsiLog::PropertyAdded(Source source, const std::string& name, const std::string& value) {
    Prefixed(source == Source::Engine ? ':' : '!',
             "PROPERTY CHANGE: Adding " + name + " property. Its value is '" + value + "'.");
}

void MsiLog::PropertyModified(Source source, const std::string& name, const std::string& oldValue,
                              const std::string& newValue) {
    Prefixed(source == Source::Engine ? ':' : '!',
             "PROPERTY CHANGE: Modifying " + name + " property. Its current value is '" + oldValue +
                 "'. Its new value: '" + newValue + "'.");
}

void MsiLog::PropertyDeleted(Source source, const std::string& name, const std::string& oldValue) {
    Prefixed(source == Source::Engine ? ':' : '!', "PROPERTY CHANGE: Deleting " + name +
                                                       " property. Its current value is '" +
                                                       oldValue + "'.");
}

void MsiLog::Property(const std::string& name, const std::string& value) {
    Write("Property(S): " + name + " = " + value);
}

void MsiLog::Prefixed(char separator, const std::string& text) {
    const LogTime time = clock_();
    char prefix[96];
    std::snprintf(prefix, sizeof prefix,
                  "MSI (s) (%02X%c%02X) [%02d:%02d:%02d:%03d]: ", processByte_, separator,
                  threadByte_, time.hour, time.minute, time.second, time.millisecond);
    Write(prefix + text);
}

void MsiLog::Write(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), file_);
    std::fputc('\n', file_);
    std::fflush(file_);
}
