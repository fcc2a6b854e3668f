// The tables of an installation package that the checker's rules read, taken out
// of the package file through the installer's database API (MsiOpenDatabaseW
// read-only, views, records, streams) and kept as plain UTF-8 rows.
#ifndef OSTREL_CHECKER_PACKAGE_H
#define OSTREL_CHECKER_PACKAGE_H

#include <map>
#include <set>
#include <string>
#include <vector>

// The five exports of ostrel_ca.
extern const char* const kActionExports[5];

// A row of the CustomAction table.
struct CustomActionRow {
    std::string action;
    int type = 0;
    std::string source;
    std::string target;
};

// A row of one of the sequence tables (InstallExecuteSequence, InstallUISequence,
// AdminExecuteSequence, AdminUISequence, AdvtExecuteSequence). A row with a null
// Sequence is never run.
struct SequenceRow {
    std::string table;
    std::string action;
    std::string condition;
    bool hasSequence = false;
    int sequence = 0;
};

struct PackageTables {
    std::vector<CustomActionRow> customActions;
    std::vector<SequenceRow> sequenceRows;
    std::map<std::string, std::string> properties;  // the Property table
    // Binary rows, named by a DLL custom action, whose DLL exports all five actions.
    std::set<std::string> libraryBinaries;
};

// Reads the package at `path` (UTF-8). On failure returns false with `reason`
// saying in a few words why the package cannot be read: missing, locked,
// denied, empty, not a package, damaged.
bool ReadPackage(const std::string& path, PackageTables* tables, std::string* reason);

#endif  // OSTREL_CHECKER_PACKAGE_H
