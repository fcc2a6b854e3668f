// The rules of the package checker (rules.h).
//
// Custom action type bits used: the low six bits give the kind (1: a DLL stored
// in the Binary table; 51: a property set from formatted text, which is how a
// deferred action's CustomActionData is set), 64 ignores the return value, 1024
// runs the action deferred (in the install script; rollback and commit actions
// too) and 2048 runs a deferred action without impersonation.
//
// Rules about where an action runs are checked for each sequence table row that
// schedules it, against the standard actions of that same table; a table without
// InstallFiles (or InstallFinalize) runs before the files are installed (or the
// install is committed): the UI sequences run before the execute sequence.
#include "checker/rules.h"

#include <algorithm>
#include <set>
#include <tuple>

#include "checker/condition.h"

namespace {

constexpr int kTypeKindMask = 0x3F;
constexpr int kTypeDllInBinary = 1;
constexpr int kTypeSetProperty = 51;
constexpr int kTypeContinue = 64;
constexpr int kTypeInScript = 1024;
constexpr int kTypeNoImpersonate = 2048;

// Properties that tell whether this run is the first install.
const std::set<std::string> kRunStateProperties = {"Installed", "REMOVE", "REINSTALL"};

// Properties the installer itself defines: a condition on one of them says nothing
// product-specific, and none of them is a consent the user gives.
const std::set<std::string> kInstallerProperties = {"ACTION",
                                                    "ADDDEFAULT",
                                                    "ADDLOCAL",
                                                    "ADDSOURCE",
                                                    "ADVERTISE",
                                                    "ALLUSERS",
                                                    "AdminUser",
                                                    "CostingComplete",
                                                    "Date",
                                                    "Time",
                                                    "ComputerName",
                                                    "Installed",
                                                    "Intel",
                                                    "Intel64",
                                                    "LogonUser",
                                                    "Manufacturer",
                                                    "Msix64",
                                                    "MsiNTProductType",
                                                    "MsiNetAssemblySupport",
                                                    "MSIINSTALLPERUSER",
                                                    "OutOfDiskSpace",
                                                    "OutOfNoRbDiskSpace",
                                                    "PATCH",
                                                    "Preselected",
                                                    "Privileged",
                                                    "ProductCode",
                                                    "ProductLanguage",
                                                    "ProductName",
                                                    "ProductVersion",
                                                    "REBOOT",
                                                    "REINSTALL",
                                                    "REINSTALLMODE",
                                                    "REMOVE",
                                                    "RESUME",
                                                    "Resume",
                                                    "ServicePackLevel",
                                                    "ServicePackLevelMinor",
                                                    "SystemLanguageID",
                                                    "TARGETDIR",
                                                    "TerminalServer",
                                                    "UILevel",
                                                    "UPGRADINGPRODUCTCODE",
                                                    "UpgradeCode",
                                                    "UserLanguageID",
                                                    "Version9X",
                                                    "VersionMsi",
                                                    "VersionNT",
                                                    "VersionNT64",
                                                    "WindowsBuild",
                                                    "WIX_UPGRADE_DETECTED"};

bool IsInputAction(const std::string& entry) {
    return entry == "CAQueryWMI" || entry == "CAUpdateOfflineReg" || entry == "CASendServiceTag";
}

bool IsExport(const std::string& entry) {
    return std::any_of(std::begin(kActionExports), std::end(kActionExports),
                       [&](const char* name) { return entry == name; });
}

bool IsPublic(const std::string& name) {
    return std::none_of(name.begin(), name.end(), [](char c) { return c >= 'a' && c <= 'z'; });
}

std::vector<std::string> SplitList(const std::string& list) {
    std::vector<std::string> names;
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(';', start);
        if (end == std::string::npos) {
            end = list.size();
        }
        std::string name = list.substr(start, end - start);
        name.erase(0, name.find_first_not_of(" \t"));
        name.erase(name.find_last_not_of(" \t") + 1);
        if (!name.empty()) {
            names.push_back(name);
        }
        start = end + 1;
    }
    return names;
}

class Checker {
  public:
    explicit Checker(const PackageTables& tables) : tables_(tables) {}

    std::vector<Finding> Run() {
        for (const CustomActionRow& row : tables_.customActions) {
            if ((row.type & kTypeKindMask) != kTypeDllInBinary ||
                tables_.libraryBinaries.count(row.source) == 0) {
                continue;
            }
            if (!IsExport(row.target)) {
                Add("OCA501", Severity::kError, "Action", row.action, "CustomAction",
                    "it calls '" + row.target + "' in Binary '" + row.source +
                        "', which holds ostrel_ca, and ostrel_ca exports no such function: "
                        "the installer cannot call it and the install fails with 1723.",
                    "set its DllEntry (Target) to one of CASetRegDateTime, CACreateURN, "
                    "CAQueryWMI, CAUpdateOfflineReg or CASendServiceTag, spelt exactly.");
                continue;
            }
            CheckAction(row);
        }
        std::sort(findings_.begin(), findings_.end(), [](const Finding& a, const Finding& b) {
            return std::tie(a.name, a.code, a.table, a.kind) <
                   std::tie(b.name, b.code, b.table, b.kind);
        });
        return findings_;
    }

  private:
    void Add(const char* code, Severity severity, const std::string& kind, const std::string& name,
             const std::string& table, std::string happens, std::string fix) {
        for (const Finding& seen : findings_) {
            if (seen.code == code && seen.name == name && seen.table == table &&
                seen.kind == kind) {
                return;
            }
        }
        findings_.push_back(
            Finding{code, severity, kind, name, table, std::move(happens), std::move(fix)});
    }

    // The row of `table` that schedules `action`, or null.
    const SequenceRow* Scheduled(const std::string& table, const std::string& action) const {
        for (const SequenceRow& row : tables_.sequenceRows) {
            if (row.table == table && row.action == action && row.hasSequence) {
                return &row;
            }
        }
        return nullptr;
    }

    // Whether a type 51 action setting `property` runs before `at` in its table.
    bool SetBefore(const std::string& property, const SequenceRow& at) const {
        for (const CustomActionRow& setter : tables_.customActions) {
            if ((setter.type & kTypeKindMask) != kTypeSetProperty || setter.source != property) {
                continue;
            }
            const SequenceRow* row = Scheduled(at.table, setter.action);
            if (row != nullptr && row->sequence < at.sequence) {
                return true;
            }
        }
        return false;
    }

    // Whether `at` runs before the standard action `standard` of its table (always,
    // when the table does not have it).
    bool RunsBefore(const SequenceRow& at, const char* standard, std::string* where) const {
        const SequenceRow* mark = Scheduled(at.table, standard);
        if (mark == nullptr) {
            *where = at.table + " has no " + standard + ", so it runs before it";
            return true;
        }
        *where = "Sequence " + std::to_string(at.sequence) + ", " + standard + " " +
                 std::to_string(mark->sequence);
        return at.sequence < mark->sequence;
    }

    void CheckAction(const CustomActionRow& action) {
        const bool deferred = (action.type & kTypeInScript) != 0;
        if (action.target == "CASendServiceTag") {
            CheckSendRow(action, deferred);
        }
        if (action.target == "CAQueryWMI") {
            CheckQueryValues(action, deferred);
        }
        for (const SequenceRow& at : tables_.sequenceRows) {
            if (at.action != action.action || !at.hasSequence) {
                continue;
            }
            if (deferred && IsInputAction(action.target) && !SetBefore(action.action, at)) {
                Add("OCA101", Severity::kError, "Action", action.action, at.table,
                    action.target +
                        " runs deferred and takes its input from CustomActionData, "
                        "but no type 51 action setting the property '" +
                        action.action + "' runs before it in " + at.table +
                        ": it finds no input and fails with 1603 on every install "
                        "(failed to get PROPERTY value for CustomActionData).",
                    "add a type 51 action whose Property is '" + action.action +
                        "' (the deferred action's Id) and whose Value is its input, "
                        "scheduled before it with the same condition.");
            }
            if (action.target == "CAUpdateOfflineReg") {
                CheckUpdateScheduling(action, deferred, at);
            } else if (action.target == "CASendServiceTag") {
                CheckSendScheduling(action, at);
            } else if (action.target == "CAQueryWMI" && !deferred) {
                CheckQueryInput(action, at);
            }
        }
    }

    void CheckUpdateScheduling(const CustomActionRow& action, bool deferred,
                               const SequenceRow& at) {
        std::string where;
        if (RunsBefore(at, "InstallFiles", &where)) {
            Add("OCA201", Severity::kError, "Action", action.action, at.table,
                "CAUpdateOfflineReg runs before InstallFiles (" + where +
                    "): register.htm and svctag.xml are not on disk yet, and it fails "
                    "with 1603 (failed to load Service Tag file).",
                "schedule it deferred in InstallExecuteSequence after InstallFiles.");
        }
        const SequenceRow* begin = Scheduled(at.table, "InstallInitialize");
        const SequenceRow* end = Scheduled(at.table, "InstallFinalize");
        if (!deferred && begin != nullptr && end != nullptr && at.sequence > begin->sequence &&
            at.sequence < end->sequence) {
            Add("OCA202", Severity::kError, "Action", action.action, at.table,
                "CAUpdateOfflineReg is immediate between InstallInitialize and "
                "InstallFinalize: it runs while the installer writes the install script, "
                "before any file is on disk, and fails with 1603.",
                "make it deferred (Execute=\"deferred\", type bit 1024), its CustomActionData "
                "set by a type 51 action named after it.");
        }
        const ConditionReading condition = ReadCondition(at.condition);
        if (!condition.readable) {
            Add("OCA203", Severity::kNote, "Action", action.action, at.table,
                "its condition '" + at.condition +
                    "' cannot be read, so whether it keeps CAUpdateOfflineReg out of a repair "
                    "or maintenance run is not known.",
                "make sure the condition holds only on the first install (NOT Installed).");
            return;
        }
        const bool keptOut = std::any_of(condition.properties.begin(), condition.properties.end(),
                                         [](const std::string& name) {
                                             return kRunStateProperties.count(name) != 0 ||
                                                    kInstallerProperties.count(name) == 0;
                                         });
        if (!keptOut) {
            Add("OCA203", Severity::kWarning, "Action", action.action, at.table,
                "CAUpdateOfflineReg has no condition that keeps it out of a repair or "
                "maintenance run: the first run uses up the page's placeholders, so a second "
                "run fails with 1603 (register.htm is an invalid registration template 1) and "
                "leaves the page unchanged.",
                "condition it on the first install: NOT Installed.");
        }
    }

    void CheckSendRow(const CustomActionRow& action, bool deferred) {
        if (deferred) {
            Add("OCA301", Severity::kError, "Action", action.action, "CustomAction",
                "CASendServiceTag runs deferred: it runs in the installer service, outside "
                "the user's session, and the browser opens on no one's desktop.",
                "make it immediate (Execute=\"immediate\"), scheduled after InstallFinalize.");
        }
        if ((action.type & kTypeNoImpersonate) != 0) {
            Add("OCA302", Severity::kError, "Action", action.action, "CustomAction",
                "CASendServiceTag is marked not to impersonate (type bit 2048): run "
                "deferred it would run as LocalSystem, not as the user, and the browser "
                "belongs to the user's session.",
                "set Impersonate=\"yes\" (clear type bit 2048).");
        }
        if ((action.type & kTypeContinue) == 0) {
            Add("OCA303", Severity::kError, "Action", action.action, "CustomAction",
                "the installer checks CASendServiceTag's return value (no type bit 64): on a "
                "machine without network, or with the service down, it returns 1603 and "
                "fails an install that had succeeded.",
                "set Return=\"ignore\" (type bit 64).");
        }
    }

    void CheckSendScheduling(const CustomActionRow& action, const SequenceRow& at) {
        std::string where;
        if (RunsBefore(at, "InstallFinalize", &where)) {
            Add("OCA304", Severity::kWarning, "Action", action.action, at.table,
                "CASendServiceTag runs before InstallFinalize (" + where +
                    "): the install is not committed yet, and a registration is sent for an "
                    "install that may still fail and roll back.",
                "schedule it immediate after InstallFinalize.");
        }
        const ConditionReading condition = ReadCondition(at.condition);
        if (condition.empty) {
            Add("OCA305", Severity::kWarning, "Action", action.action, at.table,
                "CASendServiceTag has no condition: it sends machine data off the machine "
                "without the user's consent, and again on every repair or change.",
                "condition it on the user's consent and the first install: "
                "NOT Installed AND REGISTRATIONCONSENT = \"1\".");
            return;
        }
        if (at.table.find("Execute") == std::string::npos) {
            return;  // the UI sequence runs in the client, where every property is known
        }
        if (!condition.readable) {
            Add("OCA306", Severity::kNote, "Action", action.action, at.table,
                "its condition '" + at.condition +
                    "' cannot be read, so whether its consent property reaches the installer "
                    "service is not known.",
                "list the consent property in SecureCustomProperties.");
            return;
        }
        const auto secure = tables_.properties.find("SecureCustomProperties");
        const std::vector<std::string> listed =
            SplitList(secure != tables_.properties.end() ? secure->second : std::string());
        for (const std::string& name : condition.properties) {
            if (!IsPublic(name) || kInstallerProperties.count(name) != 0 ||
                std::find(listed.begin(), listed.end(), name) != listed.end()) {
                continue;
            }
            Add("OCA306", Severity::kWarning, "Action", action.action, at.table,
                "its condition uses the property '" + name +
                    "', which SecureCustomProperties does not list: a value given on the "
                    "command line or in the package's UI does not reach the installer service "
                    "of a per-machine install, and CASendServiceTag never runs there.",
                "add " + name +
                    " to SecureCustomProperties (Property table; names separated "
                    "by ';').");
        }
    }

    void CheckQueryInput(const CustomActionRow& action, const SequenceRow& at) {
        const auto query = tables_.properties.find("WMIQuery");
        if ((query != tables_.properties.end() && !query->second.empty()) ||
            SetBefore("WMIQuery", at)) {
            return;
        }
        Add("OCA401", Severity::kError, "Action", action.action, at.table,
            "CAQueryWMI runs immediate, but WMIQuery is not in the Property table and no "
            "type 51 action sets it before it in " +
                at.table + ": it fails with 1603 (Unable to get WQL Statement).",
            "add a WMIQuery property with the WQL statement, or a type 51 action setting "
            "WMIQuery before it.");
    }

    // The WQL statements CAQueryWMI will read: WMIQuery (immediate) or its
    // CustomActionData (deferred), as the Property table and type 51 actions set them.
    void CheckQueryValues(const CustomActionRow& action, bool deferred) {
        const std::string input = deferred ? action.action : "WMIQuery";
        if (!deferred) {
            const auto query = tables_.properties.find("WMIQuery");
            if (query != tables_.properties.end()) {
                CheckStatement("Property", "WMIQuery", "Property", query->second);
            }
        }
        for (const CustomActionRow& setter : tables_.customActions) {
            if ((setter.type & kTypeKindMask) == kTypeSetProperty && setter.source == input) {
                CheckStatement("Action", setter.action, "CustomAction", setter.target);
            }
        }
    }

    void CheckStatement(const char* kind, const std::string& name, const char* table,
                        const std::string& statement) {
        if (statement.find("Win32_") != std::string::npos) {
            return;
        }
        if (statement.find('[') != std::string::npos) {
            Add("OCA402", Severity::kNote, kind, name, table,
                "the WQL statement '" + statement +
                    "' is made at install time from other properties, so whether it names a "
                    "Win32_ class is not known.",
                "make sure the statement names its class with the prefix Win32_ exactly.");
            return;
        }
        Add("OCA402", Severity::kError, kind, name, table,
            "the WQL statement '" + statement +
                "' has no \"Win32_\" (the match is case-sensitive): CAQueryWMI fails with 1603 "
                "(Query must contain a Win32 table name.) before querying anything.",
            "name the class with the prefix Win32_ exactly (SELECT Caption FROM "
            "Win32_OperatingSystem).");
    }

    const PackageTables& tables_;
    std::vector<Finding> findings_;
};

}  // namespace

const char* SeverityName(Severity severity) {
    switch (severity) {
        case Severity::kError:
            return "error";
        case Severity::kWarning:
            return "warning";
        case Severity::kNote:
            return "note";
    }
    return "error";
}

std::vector<Finding> CheckPackage(const PackageTables& tables) {
    return Checker(tables).Run();
}
