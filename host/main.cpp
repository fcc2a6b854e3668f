// ostrel-ca-run: the Linux installer host. It loads libostrel_ca.so, opens an
// in-process installer session, puts the command line's properties, run mode,
// logging policy and scripted answers into it, calls one custom action with the
// install handle and prints the installer log of the run as it happens; with
// --log it also writes the run as an msiexec verbose log, and on a terminal it
// draws the action's progress as a bar on standard error.
#include <cstdio>
#include <string>
#include <vector>

#include "host/action_library.h"
#include "host/log_printer.h"
#include "host/options.h"
#include "host/progress_bar.h"
#include "host/run_log.h"
#include "platform/posix/msi/installer_session.h"
#include "platform/posix/shared/seams.h"
#include "platform/posix/shared/utf.h"

namespace {

constexpr int kExitHostFailure = 1;
constexpr int kExitUsage = 2;

void Fail(const std::string& message) {
    std::fprintf(stderr, "ostrel-ca-run: %s\n", message.c_str());
}

// Puts the command line's settings into the session.
void PrepareSession(MSIHANDLE install, const HostOptions& options) {
    for (const auto& property : options.properties) {
        InstallerSetProperty(install, Utf8ToUtf16(property.first), Utf8ToUtf16(property.second));
    }
    if (options.deferred) {
        InstallerSetRunMode(install, options.mode, true);
    }
    for (const ScriptedAnswer& answer : options.answers) {
        if (answer.nth == 0) {
            InstallerSetDefaultAnswer(install, answer.type, answer.answer);
        } else {
            InstallerScriptAnswer(install, answer.type, answer.nth, answer.answer);
        }
    }
    if (!options.trustedCa.empty()) {
        SeamTrustExtraCa(options.trustedCa);
    }
    for (const Redirection& redirection : options.redirections) {
        SeamRedirectConnection(redirection.host, redirection.port, redirection.address,
                               redirection.toPort);
    }
    if (!options.openWith.empty()) {
        SeamSetOpenCommand(options.openWith);
    }
    if (options.hasPolicy) {
        // Stored as the registry stores REG_SZ text: UTF-16 with its terminator.
        const std::u16string value = Utf8ToUtf16(options.policy);
        SeamRegistrySetValue(u"Software\\Policies\\Microsoft\\Windows\\Installer", u"Logging",
                             value.c_str(),
                             static_cast<DWORD>((value.size() + 1) * sizeof(char16_t)));
    }
}

int Run(const HostOptions& options) {
    RunLog log;
    if (!options.logPath.empty() && !log.Open(options.logPath)) {
        Fail("cannot open log file " + options.logPath);
        return kExitHostFailure;
    }
    ActionLibrary library;
    std::string error;
    CustomAction action = nullptr;
    if (library.Load(options.libraryPath, &error)) {
        action = library.Find(options.action);
        if (action == nullptr) {
            error = "no action " + options.action + " in " + library.path();
        }
    }
    if (action == nullptr) {
        Fail(error);
        log.HostFailure(error);
        return kExitHostFailure;
    }

    ProgressBar bar(ProgressBar::WantedOn(stderr) ? stderr : nullptr, options.action);
    LogPrinter printer(&bar);
    const MSIHANDLE install = InstallerOpenSession();
    PrepareSession(install, options);
    log.BeginAction(install, options, library.path());
    InstallerSetMessageObserver([&printer, &log](const InstallerMessage& message) {
        log.Message(message);
        printer.PrintMessage(message);
    });
    // Armed last, so that only the action's own calls are counted.
    for (const FailedCall& call : options.failedCalls) {
        SeamFailNthCall(call.api.c_str(), call.nth, call.code);
    }
    if (options.failPointsFrom != 0) {
        SeamPointsArm(options.failPointsFrom, true);
    }
    const UINT returnValue = action(install);
    SeamPointsDisarm();
    SeamClearFailures();
    InstallerSetMessageObserver(nullptr);

    log.EndAction(install, options.action, returnValue);
    for (const std::u16string& name : InstallerChangedProperties(install)) {
        printer.PrintProperty(Utf16ToUtf8(name), Utf16ToUtf8(InstallerGetProperty(install, name)));
    }
    printer.PrintActionEnded(options.action, returnValue);
    printer.Finish();
    InstallerCloseSession(install);
    return ExitStatusFor(returnValue);
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    HostOptions options;
    std::string error;
    switch (ParseOptions(args, &options, &error)) {
        case ParseOutcome::Help:
            std::fputs(UsageText().c_str(), stdout);
            return 0;
        case ParseOutcome::Version:
            std::fputs(VersionText().c_str(), stdout);
            return 0;
        case ParseOutcome::Error:
            Fail(error);
            return kExitUsage;
        case ParseOutcome::Run:
            break;
    }
    return Run(options);
}
