// The in-process installer's store and the session API of the host and the tests:
// opening and closing sessions, the property table as the host sees it, the file
// and component tables of record formatting, run modes,
// scripted answers, the messages received and the count of open handles. Every
// operation takes the store's one lock for its whole duration.
#include <algorithm>
#include <limits>

#include "platform/posix/msi/installer_internal.h"

namespace installer {

Store& TheStore() {
    static Store* store = new Store();  // never destroyed: used until exit
    return *store;
}

MSIHANDLE NewHandle(Store& store) {
    // Handle numbers only grow, so a closed handle stays invalid; four billion
    // handles are not reached by any run, and the loop still skips 0 and any
    // number in use should the counter ever wrap.
    for (;;) {
        ++store.lastHandle;
        const MSIHANDLE handle = store.lastHandle;
        if (handle != 0 && store.sessions.count(handle) == 0 &&
            store.databases.count(handle) == 0 && store.records.count(handle) == 0 &&
            store.packageObjects.count(handle) == 0) {
            return handle;
        }
    }
}

Session* FindSession(Store& store, MSIHANDLE handle) {
    auto it = store.sessions.find(handle);
    return it == store.sessions.end() ? nullptr : &it->second;
}

Record* FindRecord(Store& store, MSIHANDLE handle) {
    auto it = store.records.find(handle);
    return it == store.records.end() ? nullptr : &it->second;
}

void PutProperty(Session& session, const std::u16string& name, const std::u16string& value) {
    if (value.empty()) {
        session.properties.erase(name);
    } else {
        session.properties[name] = value;
    }
}

namespace {

// The length protocol for both widths: `cutLength` is the number of units copied
// (before the terminator) when the value does not fit.
template <typename Char>
UINT CopyOutUnits(const Char* value, size_t valueLength, size_t cutLength, Char* buffer,
                  DWORD* length) {
    if (length == nullptr) {
        return buffer == nullptr ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
    }
    const DWORD capacity = *length;
    // A value too long to count in a DWORD is reported as the largest count.
    const size_t maxCount = std::numeric_limits<DWORD>::max() - 1;
    *length = static_cast<DWORD>(std::min(valueLength, maxCount));
    if (buffer == nullptr) {
        return ERROR_SUCCESS;
    }
    if (valueLength < capacity) {
        std::copy(value, value + valueLength, buffer);
        buffer[valueLength] = 0;
        return ERROR_SUCCESS;
    }
    if (capacity > 0) {
        std::copy(value, value + cutLength, buffer);
        buffer[cutLength] = 0;
    }
    return ERROR_MORE_DATA;
}

}  // namespace

UINT CopyOut(const std::u16string& value, char16_t* buffer, DWORD* length) {
    const size_t room = (length != nullptr && *length > 0) ? *length - 1 : 0;
    return CopyOutUnits(value.data(), value.size(), std::min(room, value.size()), buffer, length);
}

UINT CopyOut(const std::string& value, char* buffer, DWORD* length) {
    const size_t room = (length != nullptr && *length > 0) ? *length - 1 : 0;
    size_t cut = std::min(room, value.size());
    // Step back over continuation bytes so that the cut ends on a whole character.
    if (cut < value.size()) {
        while (cut > 0 && (static_cast<unsigned char>(value[cut]) & 0xC0) == 0x80) {
            --cut;
        }
    }
    return CopyOutUnits(value.data(), value.size(), cut, buffer, length);
}

}  // namespace installer

using installer::Session;
using installer::Store;
using installer::TheStore;

MSIHANDLE InstallerOpenSession() {
    Store& store = TheStore();
    std::lock_guard<std::mutex> guard(store.lock);
    const MSIHANDLE handle = installer::NewHandle(store);
    store.sessions.emplace(handle, Session());
    return handle;
}

void InstallerCloseSession(MSIHANDLE install) {
    Store& store = TheStore();
    std::lock_guard<std::mutex> guard(store.lock);
    if (store.sessions.erase(install) == 0) {
        return;
    }
    for (auto it = store.databases.begin(); it != store.databases.end();) {
        it = it->second.session == install ? store.databases.erase(it) : std::next(it);
    }
}

void InstallerSetRunMode(MSIHANDLE install, MSIRUNMODE mode, bool on) {
    Store& store = TheStore();
    std::lock_guard<std::mutex> guard(store.lock);
    if (Session* session = installer::FindSession(store, install)) {
        if (on) {
            session->runModes.insert(mode);
        } else {
            session->runModes.erase(mode);
        }
    }
}

void InstallerSetProperty(MSIHANDLE install, const std::u16string& name,
                          const std::u16string& value) {
    Store& store = TheStore();
    std::lock_guard<std::mutex> guard(store.lock);
    Session* session = installer::FindSession(store, install);
    if (session != nullptr && !name.empty()) {
        installer::PutProperty(*session, name, value);
    }
}

void InstallerSetFilePath(MSIHANDLE install, const std::u16string& fileKey,
                          const std::u16string& path, const std::u16string& shortPath) {
    Store& store = TheStore();
    std::lock_guard<std::mutex> guard(store.lock);
    if (Session* session = installer::FindSession(store, install)) {
        session->files[fileKey] = installer::FileLocation{path, shortPath};
    }
}

void InstallerSetComponentDirectory(MSIHANDLE install, const std::u16string& componentKey,
                                    const std::u16string& directory) {
    Store& store = TheStore();
    std::lock_guard<std::mutex> guard(store.lock);
    if (Session* session = installer::FindSession(store, install)) {
        session->componentDirectories[componentKey] = directory;
    }
}

std::u16string InstallerGetProperty(MSIHANDLE install, const std::u16string& name) {
    Store& store = TheStore();
    std::lock_guard<std::mutex> guard(store.lock);
    Session* session = installer::FindSession(store, install);
    if (session == nullptr) {
        return std::u16string();
    }
    auto it = session->properties.find(name);
    return it == session->properties.end() ? std::u16string() : it->second;
}

bool InstallerHasProperty(MSIHANDLE install, const std::u16string& name) {
    Store& store = TheStore();
    std::lock_guard<std::mutex> guard(store.lock);
    Session* session = installer::FindSession(store, install);
    return session != nullptr && session->properties.count(name) != 0;
}

std::vector<std::u16string> InstallerChangedProperties(MSIHANDLE install) {
    Store& store = TheStore();
    std::lock_guard<std::mutex> guard(store.lock);
    Session* session = installer::FindSession(store, install);
    return session == nullptr ? std::vector<std::u16string>() : session->changed;
}

void InstallerScriptAnswer(MSIHANDLE install, INSTALLMESSAGE type, unsigned nth, int answer) {
    Store& store = TheStore();
    std::lock_guard<std::mutex> guard(store.lock);
    Session* session = installer::FindSession(store, install);
    if (session != nullptr && nth != 0) {
        session->scriptedAnswers[{installer::MessageKind(type), nth}] = answer;
    }
}

void InstallerSetDefaultAnswer(MSIHANDLE install, INSTALLMESSAGE type, int answer) {
    Store& store = TheStore();
    std::lock_guard<std::mutex> guard(store.lock);
    if (Session* session = installer::FindSession(store, install)) {
        session->defaultAnswers[installer::MessageKind(type)] = answer;
    }
}

void InstallerChangePropertyAfterRead(MSIHANDLE install, const std::u16string& name, unsigned nth,
                                      const std::u16string& newValue) {
    Store& store = TheStore();
    std::lock_guard<std::mutex> guard(store.lock);
    Session* session = installer::FindSession(store, install);
    if (session != nullptr && nth != 0) {
        const unsigned dueAt = session->reads[name] + nth;
        session->pendingChanges.insert({name, installer::PendingChange{dueAt, newValue}});
    }
}

std::vector<InstallerMessage> InstallerMessages(MSIHANDLE install) {
    Store& store = TheStore();
    std::lock_guard<std::mutex> guard(store.lock);
    Session* session = installer::FindSession(store, install);
    return session == nullptr ? std::vector<InstallerMessage>() : session->messages;
}

void InstallerSetMessageObserver(std::function<void(const InstallerMessage&)> observer) {
    Store& store = TheStore();
    std::lock_guard<std::mutex> guard(store.lock);
    store.observer = std::move(observer);
}

size_t InstallerOpenHandleCount() {
    Store& store = TheStore();
    std::lock_guard<std::mutex> guard(store.lock);
    return store.records.size() + store.databases.size();
}
