// The --log file of one run of ostrel-ca-run: what the host writes into its
// msiexec-style verbose log (host/msi_log.h) before, during and after the action.
#ifndef OSTREL_HOST_RUN_LOG_H
#define OSTREL_HOST_RUN_LOG_H

#include <cstdio>
#include <memory>
#include <string>

#include "host/msi_log.h"
#include "host/options.h"
#include "host/property_watch.h"
#include "platform/posix/msi/installer_session.h"

// Every call does nothing until Open has succeeded, so a run without --log
// goes through the same calls.
class RunLog {
  public:
    RunLog() = default;
    // Closes the log with its "Logging stopped" line.
    ~RunLog();
    RunLog(const RunLog&) = delete;
    RunLog& operator=(const RunLog&) = delete;

    // Creates (or empties) the file at `path` and starts the log; false, with
    // nothing open, when the file cannot be opened for writing.
    bool Open(const std::string& path);

    // Why the action could not be run (the library or the action is missing).
    void HostFailure(const std::string& reason);

    // The session as the command line left it: the host's own line, the command
    // line's properties, then the start of the action from `library`.
    void BeginAction(MSIHANDLE install, const HostOptions& options, const std::string& library);

    // A message of the action, after the property changes made before it.
    // Progress records are not part of a verbose log and are left out.
    void Message(const InstallerMessage& message);

    // The last property changes, the action's end and the closing dump of every
    // property of the session.
    void EndAction(MSIHANDLE install, const std::string& action, unsigned returnValue);

  private:
    void WriteChanges();

    FILE* file_ = nullptr;
    std::unique_ptr<MsiLog> log_;
    std::unique_ptr<PropertyWatch> watch_;
};

#endif  // OSTREL_HOST_RUN_LOG_H
