// The installer's property table as a custom action sees it: MsiGetPropertyA/W
// (with the installer's length protocol), MsiSetPropertyW, the run modes of
// MsiGetMode and the database handle of MsiGetActiveDatabase. Narrow text is UTF-8.
#include "platform/posix/msi/installer_internal.h"
#include "platform/posix/shared/seams.h"
#include "platform/posix/shared/utf.h"

namespace {

std::u16string ValueOf(const installer::Session& session, const std::u16string& name) {
    auto it = session.properties.find(name);
    return it == session.properties.end() ? std::u16string() : it->second;
}

// Counts a read of the property and applies the changes armed for this read.
void CountRead(installer::Session& session, const std::u16string& name) {
    const unsigned count = ++session.reads[name];
    auto range = session.pendingChanges.equal_range(name);
    for (auto it = range.first; it != range.second;) {
        if (it->second.dueAt == count) {
            installer::PutProperty(session, name, it->second.value);
            it = session.pendingChanges.erase(it);
        } else {
            ++it;
        }
    }
}

// The steps every property call starts with: the armed failure, the lock, the
// session behind the handle and a name to work on. `body` runs under the lock.
template <typename Name, typename Body>
UINT WithSessionAndName(const char* api, MSIHANDLE install, const Name* name, Body body) {
    uint32_t code = 0;
    if (SeamCallFails(api, &code)) {
        return code;
    }
    installer::Store& store = installer::TheStore();
    std::lock_guard<std::mutex> guard(store.lock);
    installer::Session* session = installer::FindSession(store, install);
    if (session == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    if (name == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    return body(*session);
}

}  // namespace

// Reads a property as UTF-8 text, counted in bytes; an unset property is empty.
UINT MsiGetPropertyA(MSIHANDLE install, LPCSTR name, LPSTR value, DWORD* length) {
    return WithSessionAndName("MsiGetPropertyA", install, name, [&](installer::Session& session) {
        const std::u16string wideName = Utf8ToUtf16(std::string(name));
        return installer::CopyOut(Utf16ToUtf8(ValueOf(session, wideName)), value, length);
    });
}

// Reads a property; an unset property is empty. Each read counts towards the
// changes armed with InstallerChangePropertyAfterRead, applied after the copy.
UINT MsiGetPropertyW(MSIHANDLE install, LPCWSTR name, LPWSTR value, DWORD* length) {
    return WithSessionAndName("MsiGetPropertyW", install, name, [&](installer::Session& session) {
        const std::u16string wideName(name);
        const UINT result = installer::CopyOut(ValueOf(session, wideName), value, length);
        if (result == ERROR_SUCCESS || result == ERROR_MORE_DATA) {
            CountRead(session, wideName);
        }
        return result;
    });
}

// Sets a property; a null or empty value removes it. The name joins the session's
// list of changed properties on its first change.
UINT MsiSetPropertyW(MSIHANDLE install, LPCWSTR name, LPCWSTR value) {
    return WithSessionAndName("MsiSetPropertyW", install, name, [&](installer::Session& session) {
        if (name[0] == 0) {
            return static_cast<UINT>(ERROR_INVALID_PARAMETER);
        }
        const std::u16string wideName(name);
        installer::PutProperty(session, wideName, value != nullptr ? value : u"");
        bool known = false;
        for (const std::u16string& changed : session.changed) {
            known = known || changed == wideName;
        }
        if (!known) {
            session.changed.push_back(wideName);
        }
        return static_cast<UINT>(ERROR_SUCCESS);
    });
}

// Whether the session runs in the mode; FALSE for an unknown handle. An armed
// failure answers FALSE with the code as the last error.
BOOL MsiGetMode(MSIHANDLE install, MSIRUNMODE mode) {
    uint32_t code = 0;
    if (SeamCallFails("MsiGetMode", &code)) {
        SetLastError(code);
        return FALSE;
    }
    installer::Store& store = installer::TheStore();
    std::lock_guard<std::mutex> guard(store.lock);
    installer::Session* session = installer::FindSession(store, install);
    return session != nullptr && session->runModes.count(mode) != 0 ? TRUE : FALSE;
}

// A fresh database handle on each call, to be closed with MsiCloseHandle; 0 for
// an unknown install handle or an armed failure (with the code as last error).
MSIHANDLE MsiGetActiveDatabase(MSIHANDLE install) {
    uint32_t code = 0;
    if (SeamCallFails("MsiGetActiveDatabase", &code)) {
        SetLastError(code);
        return 0;
    }
    installer::Store& store = installer::TheStore();
    std::lock_guard<std::mutex> guard(store.lock);
    if (installer::FindSession(store, install) == nullptr) {
        return 0;
    }
    const MSIHANDLE handle = installer::NewHandle(store);
    store.databases.emplace(handle, installer::Database{install});
    return handle;
}
