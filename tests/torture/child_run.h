// One run of a custom action in a child process of its own, with a failure point
// armed, and what it left: its exit code, the points it passed, the point that
// failed, the lines it wrote to the installer log, and every kind of resource
// still held when it returned. A child that crashes or hangs is reported as such;
// the harness goes on with the next run.
#ifndef OSTREL_TESTS_TORTURE_CHILD_RUN_H
#define OSTREL_TESTS_TORTURE_CHILD_RUN_H

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/posix/win32_msi.h"

// What a run arms: nothing (count only), one point once, or every point from one on;
// and, for a cancel, the message answered with IDCANCEL (its kind and its ordinal
// among the messages of that kind).
struct RunArming {
    unsigned point = 0;
    bool persistent = false;
    INSTALLMESSAGE cancelKind = INSTALLMESSAGE_INFO;
    unsigned cancelOrdinal = 0;    // 0: no cancel
    bool cancelEveryLine = false;  // every information message answered with IDCANCEL
};

struct RunReport {
    bool finished = false;  // false: the child crashed or hung (see `problem`)
    std::string problem;
    unsigned exitCode = 0;
    unsigned points = 0;
    std::string failedApi;  // the API of the armed point, when it was reached
    unsigned failedOrdinal = 0;
    std::vector<std::string> failedApis;  // every API a failed point belonged to
    std::vector<std::string> pointApis;   // the API of every point, in a run that counted only
    std::vector<std::string> lines;       // information messages, UTF-8
    std::vector<std::pair<INSTALLMESSAGE, unsigned>> messages;  // kind and ordinal, in order
    std::map<std::string, long> leaks;  // resource kind -> count left (non-zero only)
};

// The action as the harness calls it, on a fresh session it has prepared.
using ActionCall = std::function<UINT(MSIHANDLE install)>;
using SessionSetup = std::function<void(MSIHANDLE install)>;

// Runs `action` in a child process on a new installer session prepared by `setup`,
// with `arming` in force from just before the call to just after it. Gives up on a
// child that has not finished within `timeoutSeconds`.
RunReport RunInChild(const SessionSetup& setup, const ActionCall& action, const RunArming& arming,
                     int timeoutSeconds);

#endif  // OSTREL_TESTS_TORTURE_CHILD_RUN_H
