// What ostrel-ca-run prints: the lines an installer log would show for the
// messages of an action, the properties it changed and its return value. Every
// line goes to standard output, flushed at once, and to the log file if one is
// open.
#ifndef OSTREL_HOST_LOG_PRINTER_H
#define OSTREL_HOST_LOG_PRINTER_H

#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/posix/msi/installer_session.h"

class LogPrinter {
  public:
    // `logFile` may be null; it stays owned by the caller.
    explicit LogPrinter(FILE* logFile) : logFile_(logFile) {}

    // Prints the message as it arrived: an information line as its text, a
    // progress record as its fields and the progress state it leads to.
    void PrintMessage(const InstallerMessage& message);
    void PrintProperty(const std::string& name, const std::string& value);
    void PrintActionEnded(const std::string& action, unsigned returnValue);

    // The line printed for a message, updating the progress state; separate from
    // printing so that it reads as the log's format.
    std::string DescribeMessage(const InstallerMessage& message);

  private:
    void PrintLine(const std::string& line);
    std::string DescribeProgress(const InstallerMessage& message);

    FILE* logFile_;
    // The progress bar as the installer keeps it: the expected total and the
    // position reached.
    int64_t total_ = 0;
    int64_t position_ = 0;
};

#endif  // OSTREL_HOST_LOG_PRINTER_H
