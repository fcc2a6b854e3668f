// The command line of ostrel-ca-run: what it means and how it is read.
#ifndef OSTREL_HOST_OPTIONS_H
#define OSTREL_HOST_OPTIONS_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/posix/win32_msi.h"

// An answer the installer gives: to the n-th message of a kind, or (nth 0) to
// every message of the kind that has no answer of its own.
struct ScriptedAnswer {
    INSTALLMESSAGE type;
    unsigned nth;
    int answer;
};

// A system call of the platform layer made to fail: its n-th call fails with `code`.
struct FailedCall {
    std::string api;
    unsigned nth;
    uint32_t code;
};

// Connections to host:port go to address:toPort instead.
struct Redirection {
    std::string host;
    unsigned port;
    std::string address;
    unsigned toPort;
};

struct HostOptions {
    std::vector<std::pair<std::string, std::string>> properties;  // in command-line order
    bool deferred = false;
    MSIRUNMODE mode = MSIRUNMODE_SCHEDULED;  // meaningful when `deferred`
    bool hasPolicy = false;
    std::string policy;
    std::vector<ScriptedAnswer> answers;
    std::vector<FailedCall> failedCalls;
    unsigned failPointsFrom = 0;  // 0: none
    std::string trustedCa;        // empty: the system's trust store only
    std::vector<Redirection> redirections;
    std::string openWith;     // empty: xdg-open
    std::string logPath;      // empty: no log file
    std::string libraryPath;  // empty: the library beside the executable
    std::string action;
};

enum class ParseOutcome { Run, Help, Version, Error };

// Reads the arguments after the program name. On Error, `error` holds a one-line
// description of the first problem found; --help and --version stop the reading
// at once.
ParseOutcome ParseOptions(const std::vector<std::string>& args, HostOptions* options,
                          std::string* error);

// The text printed by --help: every option with one example of its use.
std::string UsageText();
// The examples of UsageText: each option with its example, a whole command line.
std::vector<std::pair<std::string, std::string>> UsageExamples();
// The line printed by --version.
std::string VersionText();

// The exit status for an action's return value, as --help states it: 0 stays 0;
// anything else is taken modulo 256 but never becomes 0, so a failure never
// reads as success.
int ExitStatusFor(unsigned returnValue);

#endif  // OSTREL_HOST_OPTIONS_H
