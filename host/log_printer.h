// What ostrel-ca-run prints on standard output: the lines an installer log would
// show for the messages of an action, the properties it changed and its return
// value, each flushed at once. When a progress bar is drawn on the terminal, it
// is kept below these lines and follows the progress state they describe.
#ifndef OSTREL_HOST_LOG_PRINTER_H
#define OSTREL_HOST_LOG_PRINTER_H

#include <string>

#include "host/progress_bar.h"
#include "host/progress_state.h"
#include "platform/posix/msi/installer_session.h"

// The text of an information line (field 0 as is), or of another kind of message
// than progress ("Message 0x...:" and its fields).
std::string MessageText(const InstallerMessage& message);

class LogPrinter {
  public:
    // `bar` may be null (no bar); it stays owned by the caller.
    explicit LogPrinter(ProgressBar* bar) : bar_(bar) {}

    // Prints the message as it arrived: an information line as its text, a
    // progress record as its fields and the progress state it leads to.
    void PrintMessage(const InstallerMessage& message);
    void PrintProperty(const std::string& name, const std::string& value);
    void PrintActionEnded(const std::string& action, unsigned returnValue);
    // Leaves the progress bar, if one was drawn, as the last line.
    void Finish();

    // The line printed for a message, updating the progress state; separate from
    // printing so that it reads as the log's format.
    std::string DescribeMessage(const InstallerMessage& message);

  private:
    void PrintLine(const std::string& line);
    std::string DescribeProgress(const InstallerMessage& message);

    ProgressBar* bar_;
    ProgressState progress_;
};

#endif  // OSTREL_HOST_LOG_PRINTER_H
