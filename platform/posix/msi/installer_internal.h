// The shared state of the in-process installer: the one store of sessions,
// database handles and records, guarded by one mutex, and the helpers the
// installer's source files share (handle lookup, the length protocol). Only the
// installer*.cpp files include this header.
//
// Layout of the installer:
//   installer_session.cpp     the store, handle numbering and the session API
//   installer_records.cpp     records, MsiCloseHandle and MsiProcessMessage
//   installer_properties.cpp  property reads and writes, run modes, the database
//   installer_format.cpp      MsiFormatRecordW and its template expansion
//   installer_package.cpp     package databases opened from a file, over libmsi
#ifndef OSTREL_PLATFORM_POSIX_INSTALLER_INTERNAL_H
#define OSTREL_PLATFORM_POSIX_INSTALLER_INTERNAL_H

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/posix/msi/installer_session.h"

namespace installer {

// Message answers and ordinals are kept per message kind: the top byte of the
// message type (the low bits carry button and icon flags).
constexpr uint32_t kMessageKindMask = 0xFF000000u;

inline uint32_t MessageKind(uint32_t type) {
    return type & kMessageKindMask;
}

// A property change armed by InstallerChangePropertyAfterRead: applied right after
// the read whose count for the name reaches `dueAt`.
struct PendingChange {
    unsigned dueAt;
    std::u16string value;
};

// A file of the File table as costing placed it: its full path and short path.
struct FileLocation {
    std::u16string path;
    std::u16string shortPath;
};

struct Session {
    std::map<std::u16string, std::u16string> properties;            // no empty values
    std::map<std::u16string, FileLocation> files;                   // by file key
    std::map<std::u16string, std::u16string> componentDirectories;  // by component key
    std::set<int> runModes;
    std::vector<std::u16string> changed;                           // in order of first change
    std::map<std::pair<uint32_t, unsigned>, int> scriptedAnswers;  // (kind, ordinal)
    std::map<uint32_t, int> defaultAnswers;                        // kind
    std::map<uint32_t, unsigned> messagesReceived;                 // kind -> count
    std::vector<InstallerMessage> messages;
    std::map<std::u16string, unsigned> reads;  // MsiGetPropertyW calls per name
    std::multimap<std::u16string, PendingChange> pendingChanges;
};

struct Database {
    MSIHANDLE session;
};

struct Record {
    std::vector<InstallerField> fields;  // fields[0] .. fields[fieldCount]
};

// A database, view or record of a package opened with MsiOpenDatabaseW
// (installer_package.cpp). Destroying it releases the libmsi object behind it.
struct PackageObject {
    enum Kind { kDatabase, kView, kRecord };
    explicit PackageObject(Kind what) : kind(what) {}
    PackageObject(const PackageObject&) = delete;
    PackageObject& operator=(const PackageObject&) = delete;
    virtual ~PackageObject();
    const Kind kind;
};

struct Store {
    std::mutex lock;
    MSIHANDLE lastHandle = 0;
    std::map<MSIHANDLE, Session> sessions;
    std::map<MSIHANDLE, Database> databases;
    std::map<MSIHANDLE, Record> records;
    std::map<MSIHANDLE, std::unique_ptr<PackageObject>> packageObjects;
    std::function<void(const InstallerMessage&)> observer;
};

// The process-wide store. Never destroyed, so that calls made while the process
// exits still find it.
Store& TheStore();

// A fresh handle number not in use by any object: small, non-zero, and not
// handed out again while the process runs (so a stale handle is refused rather
// than reaching a newer object). Caller holds the lock.
MSIHANDLE NewHandle(Store& store);

// The session, record or database behind a handle, or null. Caller holds the lock.
Session* FindSession(Store& store, MSIHANDLE handle);
Record* FindRecord(Store& store, MSIHANDLE handle);

// Sets (non-empty value) or removes (empty value) a property in the table.
void PutProperty(Session& session, const std::u16string& name, const std::u16string& value);

// The installer's length protocol for handing out text. `length` holds the
// buffer's capacity in characters including the terminator on input and the
// value's length without it on output. Copies as much as fits, always
// terminated when the capacity is not 0. A null buffer is a size query.
// Returns 0 when the value fitted or was only measured, ERROR_MORE_DATA when cut,
// ERROR_INVALID_PARAMETER for a buffer without a length.
UINT CopyOut(const std::u16string& value, char16_t* buffer, DWORD* length);
// The same for narrow (UTF-8) text, counted in bytes; a cut never splits a
// character's byte sequence.
UINT CopyOut(const std::string& value, char* buffer, DWORD* length);

}  // namespace installer

#endif  // OSTREL_PLATFORM_POSIX_INSTALLER_INTERNAL_H
