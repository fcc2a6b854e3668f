// The scenarios: each of the five actions, immediate and deferred.
#include "tests/torture/scenarios.h"

#include <filesystem>

#include "module/exports.h"
#include "platform/posix/msi/installer_session.h"
#include "platform/posix/shared/seams.h"
#include "platform/posix/shared/utf.h"

namespace {

namespace fs = std::filesystem;

// Deferred actions read CustomActionData; immediate ones their own property.
SessionSetup InputSetup(bool deferred, const std::u16string& property, const std::string& value) {
    return [deferred, property, value](MSIHANDLE install) {
        if (deferred) {
            InstallerSetRunMode(install, MSIRUNMODE_SCHEDULED, true);
            InstallerSetProperty(install, u"CustomActionData", Utf8ToUtf16(value));
        } else if (!property.empty()) {
            InstallerSetProperty(install, property, Utf8ToUtf16(value));
        }
    };
}

std::string HostInput(bool deferred, const std::string& property, const std::string& value) {
    if (deferred) {
        return "--mode deferred --custom-action-data '" + value + "'";
    }
    return property.empty() ? std::string() : "--property '" + property + "=" + value + "'";
}

// A fresh copy of the sample installation directory, with its trailing slash.
std::string CopyInstallation(const std::string& source, const std::string& work,
                             const std::string& name) {
    const fs::path target = fs::path(work) / name;
    fs::remove_all(target);
    fs::create_directories(target);
    for (const auto& entry : fs::directory_iterator(fs::path(source) / "examples/install")) {
        fs::copy_file(entry.path(), target / entry.path().filename());
    }
    return target.string() + "/";
}

}  // namespace

std::vector<Scenario> MakeScenarios(const std::string& sourceDirectory,
                                    const std::string& workDirectory, unsigned servicePort,
                                    const std::string& caFile) {
    std::vector<Scenario> scenarios;
    for (const bool deferred : {false, true}) {
        // The stamp actions read no input; deferred they only run in the script.
        Scenario date;
        date.action = "CASetRegDateTime";
        date.deferred = deferred;
        date.call = CASetRegDateTime;
        date.setup = InputSetup(deferred, u"", "");
        date.hostArguments = deferred ? "--mode deferred" : "";
        scenarios.push_back(date);

        Scenario urn = date;
        urn.action = "CACreateURN";
        urn.call = CACreateURN;
        scenarios.push_back(urn);
    }
    for (const bool deferred : {false, true}) {
        // Win32_Processor served from a table: three packages, so values merge into
        // lists and a value that repeats its first four characters replaces them,
        // columns of every text form (integers, a null, an array).
        Scenario wmi;
        wmi.action = "CAQueryWMI";
        wmi.deferred = deferred;
        wmi.call = CAQueryWMI;
        const std::string statement = "SELECT * FROM Win32_Processor WHERE Availability = 3";
        const SessionSetup input = InputSetup(deferred, u"WMIQuery", statement);
        wmi.setup = [input](MSIHANDLE install) {
            input(install);
            InstallerSetProperty(install, u"Processor_Name", u"set by the package");
            std::vector<std::vector<WbemValue>> rows;
            for (const char16_t* id : {u"CPU0", u"CPU1", u"CPU2"}) {
                rows.push_back({WbemValue::Text(id), WbemValue::Text(u"Ostrel Core 4.2 GHz"),
                                WbemValue::I4(3), WbemValue::I2(-2), WbemValue::Null(),
                                WbemValue::Array(VT_BSTR, {WbemValue::Text(u"a")})});
            }
            SeamWbemSetTable(u"Win32_Processor",
                             {{u"DeviceID", CIM_STRING},
                              {u"Name", CIM_STRING},
                              {u"Availability", CIM_UINT16},
                              {u"Level", CIM_SINT16},
                              {u"Caption", CIM_STRING},
                              {u"Features", CIM_STRING | CIM_FLAG_ARRAY}},
                             rows);
        };
        // The host serves the class from this machine's inventory instead.
        wmi.hostArguments = HostInput(deferred, "WMIQuery", statement);
        scenarios.push_back(wmi);
    }
    for (const bool deferred : {false, true}) {
        // The offline page of a copy of the sample installation: only a run that
        // succeeds may change it, and no file may be left beside it.
        Scenario offline;
        offline.action = "CAUpdateOfflineReg";
        offline.deferred = deferred;
        offline.call = CAUpdateOfflineReg;
        const std::string directory = CopyInstallation(
            sourceDirectory, workDirectory, deferred ? "offline-deferred" : "offline-immediate");
        offline.setup = InputSetup(deferred, u"UpdateRegistration", directory);
        offline.hostArguments = HostInput(deferred, "UpdateRegistration", directory);
        offline.watchedFile = directory + "register.htm";
        offline.directory = directory;
        scenarios.push_back(offline);
    }
    for (const bool deferred : {false, true}) {
        // The upload to the local service (status 200) and the browser after it.
        Scenario send;
        send.action = "CASendServiceTag";
        send.deferred = deferred;
        send.call = CASendServiceTag;
        const std::string directory = CopyInstallation(
            sourceDirectory, workDirectory, deferred ? "send-deferred" : "send-immediate");
        const SessionSetup input = InputSetup(deferred, u"PostRegistration", directory);
        send.setup = [input, servicePort, caFile](MSIHANDLE install) {
            input(install);
            SeamTrustExtraCa(caFile);
            SeamRedirectConnection("register.example.com", 443, "127.0.0.1", servicePort);
            SeamSetOpenCommand("/bin/true");
        };
        send.hostArguments =
            HostInput(deferred, "PostRegistration", directory) + " --trust-ca " + caFile +
            " --connect-to register.example.com:443:127.0.0.1:" + std::to_string(servicePort) +
            " --open-with /bin/true";
        send.watchedFile = directory + "register.htm";
        send.directory = directory;
        scenarios.push_back(send);
    }
    return scenarios;
}
