// The checker's output: one line per finding and a count line, or one JSON
// document for build systems.
#ifndef OSTREL_CHECKER_REPORT_H
#define OSTREL_CHECKER_REPORT_H

#include <string>
#include <vector>

#include "checker/rules.h"

// PACKAGE: CODE severity: Action 'X' (Table row): what happens. Fix: ...
// then "PACKAGE: N errors, N warnings, N notes". `errorsOnly` prints the error
// lines alone, without the count.
std::string TextReport(const std::string& package, const std::vector<Finding>& findings,
                       bool errorsOnly);

// {"package": ..., "errors": N, "warnings": N, "notes": N, "findings": [...]},
// each finding with its code, severity, kind, name, table, message and fix.
// `errorsOnly` leaves out the findings that are not errors (the counts stay).
std::string JsonReport(const std::string& package, const std::vector<Finding>& findings,
                       bool errorsOnly);

#endif  // OSTREL_CHECKER_REPORT_H
