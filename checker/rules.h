// The checker's rules: the authoring mistakes in how a package calls the five
// actions of ostrel_ca that can be proved from its tables, each with its code.
//
//   OCA101  a deferred action that reads input with nothing setting its
//           CustomActionData before it                                 error
//   OCA201  CAUpdateOfflineReg before InstallFiles                     error
//   OCA202  CAUpdateOfflineReg immediate inside the install script     error
//   OCA203  CAUpdateOfflineReg not kept out of a repair                warning
//   OCA301  CASendServiceTag deferred                                  error
//   OCA302  CASendServiceTag not impersonated                          error
//   OCA303  CASendServiceTag with its return value checked             error
//   OCA304  CASendServiceTag before InstallFinalize                    warning
//   OCA305  CASendServiceTag without a condition                       warning
//   OCA306  a consent property missing from SecureCustomProperties     warning
//   OCA401  CAQueryWMI immediate with no WMIQuery                      error
//   OCA402  a WQL statement without "Win32_"                           error
//   OCA501  an entry point ostrel_ca does not export                   error
//
// Where a rule cannot decide (a condition or a value it cannot read), it gives a
// note under its own code instead.
#ifndef OSTREL_CHECKER_RULES_H
#define OSTREL_CHECKER_RULES_H

#include <string>
#include <vector>

#include "checker/package.h"

enum class Severity { kError, kWarning, kNote };

const char* SeverityName(Severity severity);

struct Finding {
    std::string code;
    Severity severity = Severity::kError;
    std::string kind;     // what the row is: "Action" or "Property"
    std::string name;     // the row's key: the action or property name
    std::string table;    // the table holding the row
    std::string happens;  // what happens at install time
    std::string fix;
};

// Every finding of the package, sorted by row name, code and table.
std::vector<Finding> CheckPackage(const PackageTables& tables);

#endif  // OSTREL_CHECKER_RULES_H
