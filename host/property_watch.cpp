// Comparing the session's properties with their last seen values.
#include "host/property_watch.h"

#include "platform/posix/msi/installer_session.h"
#include "platform/posix/shared/utf.h"

namespace {

std::string Value(MSIHANDLE install, const std::string& name) {
    return Utf16ToUtf8(InstallerGetProperty(install, Utf8ToUtf16(name)));
}

}  // namespace

PropertyWatch::PropertyWatch(MSIHANDLE install, const std::vector<std::string>& initial)
    : install_(install) {
    for (const std::string& name : initial) {
        if (seen_.count(name) == 0) {
            order_.push_back(name);
        }
        seen_[name] = Value(install_, name);
    }
}

std::vector<PropertyChange> PropertyWatch::Poll() {
    std::vector<PropertyChange> changes;
    for (const std::u16string& wideName : InstallerChangedProperties(install_)) {
        const std::string name = Utf16ToUtf8(wideName);
        const std::string value = Value(install_, name);
        auto found = seen_.find(name);
        if (found == seen_.end()) {
            order_.push_back(name);
            found = seen_.emplace(name, std::string()).first;
        }
        if (found->second != value) {
            changes.push_back(PropertyChange{name, found->second, value});
            found->second = value;
        }
    }
    return changes;
}

std::vector<std::string> PropertyWatch::Names() const {
    std::vector<std::string> names;
    for (const std::string& name : order_) {
        if (!seen_.at(name).empty()) {
            names.push_back(name);
        }
    }
    return names;
}
