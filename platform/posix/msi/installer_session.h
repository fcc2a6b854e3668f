// The in-process installer of the posix build: what msi.dll is on Windows. The host
// opens a session, puts properties in, chooses the run mode and scripts answers;
// the library calls the Msi* functions on the session's install handle; the host
// and the tests then read the messages the installer received and the properties
// that changed. Handles (sessions, databases, records) are numbered as msi.dll
// numbers them: small non-zero integers. A closed handle is not handed out again,
// so a stale one is refused. Every function here and every Msi* function is safe
// to call from any thread: the installer's state is guarded by one lock.
//
// Narrow text (MsiGetPropertyA, MsiRecordSetStringA) is UTF-8.
#ifndef OSTREL_PLATFORM_POSIX_INSTALLER_SESSION_H
#define OSTREL_PLATFORM_POSIX_INSTALLER_SESSION_H

#include <functional>
#include <string>
#include <vector>

#include "platform/posix/win32_base.h"
#include "platform/posix/win32_msi.h"

// One field of a record as the installer received it.
struct InstallerField {
    bool isNull = true;
    bool isInteger = false;
    int integer = 0;
    std::u16string text;
};

// One message received by MsiProcessMessage, with its answer. `type` is the type
// as passed; the kind used for ordinals and answers is its top byte.
struct InstallerMessage {
    INSTALLMESSAGE type = INSTALLMESSAGE_INFO;
    std::vector<InstallerField> fields;  // fields[0] .. fields[fieldCount]
    int answer = 0;
};

// Opens a new install session with an empty property table; returns its handle.
MSIHANDLE InstallerOpenSession();
// Closes the session and every database handle taken on it. Records belong to no
// session (as in msi.dll) and stay open until MsiCloseHandle. MsiCloseHandle does
// not close an install handle: it belongs to the installer.
void InstallerCloseSession(MSIHANDLE install);

void InstallerSetRunMode(MSIHANDLE install, MSIRUNMODE mode, bool on);
// Sets a property as the package or command line would; an empty value removes
// it. Not counted as a change.
void InstallerSetProperty(MSIHANDLE install, const std::u16string& name,
                          const std::u16string& value);
// The File and Component tables as costing resolved them, for the [#key], [!key]
// and [$key] references of MsiFormatRecordW: a file's full path and short path
// (empty: none, [!key] then gives the full path), and a component's directory. A
// key never given resolves to nothing, as an absent file or component does.
void InstallerSetFilePath(MSIHANDLE install, const std::u16string& fileKey,
                          const std::u16string& path, const std::u16string& shortPath = u"");
void InstallerSetComponentDirectory(MSIHANDLE install, const std::u16string& componentKey,
                                    const std::u16string& directory);
// The property's value; empty when it is not set.
std::u16string InstallerGetProperty(MSIHANDLE install, const std::u16string& name);
bool InstallerHasProperty(MSIHANDLE install, const std::u16string& name);
// Names of the properties set or removed through MsiSetPropertyW since the session
// was opened, in the order of their first change.
std::vector<std::u16string> InstallerChangedProperties(MSIHANDLE install);

// Scripted answers. The answer to a message of `type` is, in order of precedence:
// the answer scripted for its ordinal among the messages of that type received by
// the session (1 = the first), else the default answer for the type, else 0.
void InstallerScriptAnswer(MSIHANDLE install, INSTALLMESSAGE type, unsigned nth, int answer);
void InstallerSetDefaultAnswer(MSIHANDLE install, INSTALLMESSAGE type, int answer);

// Make the property change its value right after the n-th MsiGetPropertyW call
// that reads it, counted from this call on (1 = the next one), as when another
// party writes it between a custom action's size query and its read. An empty
// value removes the property. Not counted as a change.
void InstallerChangePropertyAfterRead(MSIHANDLE install, const std::u16string& name, unsigned nth,
                                      const std::u16string& newValue);

// Every message received, in order.
std::vector<InstallerMessage> InstallerMessages(MSIHANDLE install);
// Called for each message as it arrives, with the answer chosen for it, before
// MsiProcessMessage returns; for a host that prints the log as it grows. It runs
// outside the installer's lock, so it may call the functions here. One observer
// for the process; null stops it.
void InstallerSetMessageObserver(std::function<void(const InstallerMessage&)> observer);

// Number of record and database handles currently open, over all sessions.
size_t InstallerOpenHandleCount();

#endif  // OSTREL_PLATFORM_POSIX_INSTALLER_SESSION_H
