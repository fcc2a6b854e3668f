// The runs the torture harness makes of each action: the action, immediate or
// deferred, on a prepared session (properties, run mode, the sample installation,
// the local registration service), and how a person repeats one run with the host.
#ifndef OSTREL_TESTS_TORTURE_SCENARIOS_H
#define OSTREL_TESTS_TORTURE_SCENARIOS_H

#include <string>
#include <vector>

#include "tests/torture/child_run.h"

struct Scenario {
    std::string action;  // the export's name
    bool deferred = false;
    ActionCall call;
    SessionSetup setup;
    std::string hostArguments;  // ostrel-ca-run options that give the same session
    std::string watchedFile;    // a file only a successful run may change ("" for none)
    std::string directory;      // a folder no run may leave a file in ("" for none)
};

// Working files (copies of the sample installation) live under `workDirectory`.
// The upload goes to the registration service on 127.0.0.1 `servicePort`, signed
// by the CA in `caFile`; "open" is given to /bin/true.
std::vector<Scenario> MakeScenarios(const std::string& sourceDirectory,
                                    const std::string& workDirectory, unsigned servicePort,
                                    const std::string& caFile);

#endif  // OSTREL_TESTS_TORTURE_SCENARIOS_H
