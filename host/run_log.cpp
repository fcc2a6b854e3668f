// Feeding the --log file: the host's own lines, the property changes seen
// between the action's messages, the action's information lines and the end.
#include "host/run_log.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

#include "host/log_printer.h"
#include "platform/posix/shared/utf.h"

namespace {

const char* ModeName(const HostOptions& options) {
    if (!options.deferred) {
        return "immediate";
    }
    switch (options.mode) {
        case MSIRUNMODE_ROLLBACK:
            return "rollback";
        case MSIRUNMODE_COMMIT:
            return "commit";
        default:
            return "deferred";
    }
}

std::string PropertyValue(MSIHANDLE install, const std::string& name) {
    return Utf16ToUtf8(InstallerGetProperty(install, Utf8ToUtf16(name)));
}

}  // namespace

RunLog::~RunLog() {
    if (file_ != nullptr) {
        log_->Stopped();
        std::fclose(file_);
    }
}

bool RunLog::Open(const std::string& path) {
    file_ = std::fopen(path.c_str(), "w");
    if (file_ == nullptr) {
        return false;
    }
    log_.reset(new MsiLog(file_, static_cast<unsigned>(getpid()),
                          static_cast<unsigned>(syscall(SYS_gettid)), LocalLogTime));
    log_->Started();
    return true;
}

void RunLog::HostFailure(const std::string& reason) {
    if (log_ != nullptr) {
        log_->EngineLine("ostrel-ca-run: " + reason);
    }
}

void RunLog::BeginAction(MSIHANDLE install, const HostOptions& options,
                         const std::string& library) {
    if (log_ == nullptr) {
        return;
    }
    log_->EngineLine(std::string("ostrel-ca-run ") + OSTREL_VERSION + ": running " +
                     options.action + " " + ModeName(options) +
                     " in an in-process installer session");
    std::vector<std::string> names;
    for (const auto& property : options.properties) {
        names.push_back(property.first);
    }
    watch_.reset(new PropertyWatch(install, names));
    for (const std::string& name : watch_->Names()) {
        log_->PropertyAdded(MsiLog::Source::Engine, name, PropertyValue(install, name));
    }
    log_->ActionStart(options.action);
    log_->EngineLine("Invoking custom action. DLL: " + library + ", Entrypoint: " + options.action);
}

void RunLog::Message(const InstallerMessage& message) {
    if (log_ == nullptr) {
        return;
    }
    WriteChanges();
    if ((static_cast<uint32_t>(message.type) & 0xFF000000u) != INSTALLMESSAGE_PROGRESS) {
        log_->PlainLine(MessageText(message));
    }
}

void RunLog::EndAction(MSIHANDLE install, const std::string& action, unsigned returnValue) {
    if (log_ == nullptr) {
        return;
    }
    WriteChanges();
    log_->ActionEnded(action, returnValue);
    for (const std::string& name : watch_->Names()) {
        log_->Property(name, PropertyValue(install, name));
    }
}

void RunLog::WriteChanges() {
    for (const PropertyChange& change : watch_->Poll()) {
        if (change.oldValue.empty()) {
            log_->PropertyAdded(MsiLog::Source::Action, change.name, change.newValue);
        } else if (change.newValue.empty()) {
            log_->PropertyDeleted(MsiLog::Source::Action, change.name, change.oldValue);
        } else {
            log_->PropertyModified(MsiLog::Source::Action, change.name, change.oldValue,
                                   change.newValue);
        }
    }
}
