// Package databases read from their file: MsiOpenDatabaseW (read-only),
// MsiDatabaseOpenViewW, MsiViewExecute, MsiViewFetch and the record readers
// MsiRecordGetStringW, MsiRecordGetInteger, MsiRecordIsNull and
// MsiRecordReadStream, over libmsi (msitools' MSI reader).
//
// Each libmsi object (database, query, fetched record) is held by a handle of the
// installer's store, numbered with the session's handles and records and closed by
// the same MsiCloseHandle. libmsi's text is UTF-8; it is handed out as UTF-16 with
// the installer's length protocol. A stream field is read whole the first time it
// is read, and MsiRecordReadStream then hands it out in order, as msi.dll does.
// A package that libmsi could not read without crashing is refused at
// MsiOpenDatabaseW (ReadsWithoutCrash).
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/posix/msi/installer_internal.h"
#include "platform/posix/shared/seams.h"
#include "platform/posix/shared/utf.h"

// libmsi's and GLib's headers come after the platform's: GLib defines TRUE and
// FALSE only when they are not defined yet, whereas the platform's definitions,
// read after GLib's, would redefine them.
#include <gio/gio.h>
#include <glib-object.h>
#include <glib.h>
#include <libmsi.h>

namespace installer {
PackageObject::~PackageObject() = default;
}  // namespace installer

namespace {

using installer::PackageObject;

struct PackageDatabase final : PackageObject {
    explicit PackageDatabase(LibmsiDatabase* opened) : PackageObject(kDatabase), database(opened) {}
    ~PackageDatabase() override { g_object_unref(database); }
    LibmsiDatabase* database;
};

struct PackageView final : PackageObject {
    explicit PackageView(LibmsiQuery* opened) : PackageObject(kView), query(opened) {}
    ~PackageView() override {
        libmsi_query_close(query, nullptr);
        g_object_unref(query);
    }
    LibmsiQuery* query;
};

// A stream field read so far: its bytes and how many have been handed out.
struct StreamCursor {
    std::string bytes;
    size_t offset = 0;
};

struct PackageRecord final : PackageObject {
    explicit PackageRecord(LibmsiRecord* fetched) : PackageObject(kRecord), record(fetched) {}
    ~PackageRecord() override { g_object_unref(record); }
    LibmsiRecord* record;
    std::map<unsigned, StreamCursor> streams;
};

// The object of the given kind behind a handle, or null. Caller holds the lock.
template <typename Object>
Object* FindPackageObject(installer::Store& store, MSIHANDLE handle, PackageObject::Kind kind) {
    auto found = store.packageObjects.find(handle);
    if (found == store.packageObjects.end() || found->second->kind != kind) {
        return nullptr;
    }
    return static_cast<Object*>(found->second.get());
}

// Registers a new object under a fresh handle. Caller holds the lock.
MSIHANDLE Register(installer::Store& store, std::unique_ptr<PackageObject> object) {
    const MSIHANDLE handle = installer::NewHandle(store);
    store.packageObjects.emplace(handle, std::move(object));
    return handle;
}

// libmsi and libgsf report what they make of a damaged file on standard error
// through GLib's log; msi.dll says nothing and returns its error code, and so do
// these calls.
void IgnoreLibraryLog(const gchar*, GLogLevelFlags, const gchar*, gpointer) {}

void FreeError(GError* error) {
    if (error != nullptr) {
        g_error_free(error);
    }
}

// Reads a whole stream field into `cursor`. False when libmsi cannot read it.
bool LoadStream(LibmsiRecord* record, unsigned field, StreamCursor* cursor) {
    GInputStream* stream = libmsi_record_get_stream(record, field);
    if (stream == nullptr) {
        return false;
    }
    bool ok = true;
    char chunk[65536];
    for (;;) {
        GError* error = nullptr;
        const gssize got = g_input_stream_read(stream, chunk, sizeof chunk, nullptr, &error);
        FreeError(error);
        if (got < 0) {
            ok = false;
            break;
        }
        if (got == 0) {
            break;
        }
        cursor->bytes.append(chunk, static_cast<size_t>(got));
    }
    g_object_unref(stream);
    return ok;
}

// Reads every field of every row of every table of the package, streams too,
// as libmsi gives them. False when the package cannot be opened or a table not
// read. Used only in the child process of ReadsWithoutCrash, which exits after
// it: nothing is freed.
bool ReadEverything(const std::string& file) {
    LibmsiDatabase* database =
        libmsi_database_new(file.c_str(), LIBMSI_DB_FLAGS_READONLY, nullptr, nullptr);
    if (database == nullptr) {
        return false;
    }
    std::vector<std::string> tables;
    LibmsiQuery* names = libmsi_query_new(database, "SELECT `Name` FROM `_Tables`", nullptr);
    if (names == nullptr || !libmsi_query_execute(names, nullptr, nullptr)) {
        return false;
    }
    while (LibmsiRecord* row = libmsi_query_fetch(names, nullptr)) {
        if (char* name = libmsi_record_get_string(row, 1)) {
            tables.emplace_back(name);
        }
    }
    char chunk[65536];
    for (const std::string& table : tables) {
        if (table.find('`') != std::string::npos) {
            continue;
        }
        const std::string text = "SELECT * FROM `" + table + "`";
        LibmsiQuery* query = libmsi_query_new(database, text.c_str(), nullptr);
        if (query == nullptr || !libmsi_query_execute(query, nullptr, nullptr)) {
            return false;
        }
        while (LibmsiRecord* row = libmsi_query_fetch(query, nullptr)) {
            const unsigned count = libmsi_record_get_field_count(row);
            for (unsigned field = 1; field <= count; ++field) {
                g_free(libmsi_record_get_string(row, field));
                if (GInputStream* stream = libmsi_record_get_stream(row, field)) {
                    while (g_input_stream_read(stream, chunk, sizeof chunk, nullptr, nullptr) > 0) {
                    }
                }
            }
        }
    }
    return true;
}

// libmsi trusts the structures in the file, and a package damaged in a few bytes
// of its string pool or a table can crash it. msi.dll refuses such a package with
// an error code, and so does this stand-in: a child process first reads the whole
// package, and a child that does not exit with success (a crash, a table it cannot
// read) means the package is refused. Its output goes nowhere, as a crash report
// is not the installer's to print. When no child can be started the package is
// opened as it is.
bool ReadsWithoutCrash(const std::string& file) {
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) {
        return true;
    }
    if (child == 0) {
        const int nowhere = open("/dev/null", O_WRONLY);
        if (nowhere >= 0) {
            dup2(nowhere, STDOUT_FILENO);
            dup2(nowhere, STDERR_FILENO);
        }
        _exit(ReadEverything(file) ? 0 : 1);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

UINT MsiOpenDatabaseW(LPCWSTR path, LPCWSTR persist, MSIHANDLE* database) {
    uint32_t code = 0;
    if (SeamCallFails("MsiOpenDatabaseW", &code)) {
        return code;
    }
    if (path == nullptr || database == nullptr || persist != MSIDBOPEN_READONLY) {
        return ERROR_INVALID_PARAMETER;
    }
    *database = 0;
    static std::once_flag quiet;
    std::call_once(quiet, [] { g_log_set_default_handler(IgnoreLibraryLog, nullptr); });
    const std::string file = Utf16ToUtf8(std::u16string(path));
    if (!ReadsWithoutCrash(file)) {
        return ERROR_INSTALL_PACKAGE_INVALID;
    }
    GError* error = nullptr;
    LibmsiDatabase* opened =
        libmsi_database_new(file.c_str(), LIBMSI_DB_FLAGS_READONLY, nullptr, &error);
    FreeError(error);
    if (opened == nullptr) {
        return ERROR_OPEN_FAILED;
    }
    installer::Store& store = installer::TheStore();
    std::lock_guard<std::mutex> guard(store.lock);
    *database = Register(store, std::make_unique<PackageDatabase>(opened));
    return ERROR_SUCCESS;
}

UINT MsiDatabaseOpenViewW(MSIHANDLE database, LPCWSTR query, MSIHANDLE* view) {
    uint32_t code = 0;
    if (SeamCallFails("MsiDatabaseOpenViewW", &code)) {
        return code;
    }
    if (query == nullptr || view == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    *view = 0;
    installer::Store& store = installer::TheStore();
    std::lock_guard<std::mutex> guard(store.lock);
    auto* owner = FindPackageObject<PackageDatabase>(store, database, PackageObject::kDatabase);
    if (owner == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    const std::string text = Utf16ToUtf8(std::u16string(query));
    GError* error = nullptr;
    LibmsiQuery* opened = libmsi_query_new(owner->database, text.c_str(), &error);
    FreeError(error);
    if (opened == nullptr) {
        return ERROR_BAD_QUERY_SYNTAX;
    }
    *view = Register(store, std::make_unique<PackageView>(opened));
    return ERROR_SUCCESS;
}

// Queries with parameters ("?") are not provided: `parameters` must be 0.
UINT MsiViewExecute(MSIHANDLE view, MSIHANDLE parameters) {
    uint32_t code = 0;
    if (SeamCallFails("MsiViewExecute", &code)) {
        return code;
    }
    if (parameters != 0) {
        return ERROR_INVALID_PARAMETER;
    }
    installer::Store& store = installer::TheStore();
    std::lock_guard<std::mutex> guard(store.lock);
    auto* owner = FindPackageObject<PackageView>(store, view, PackageObject::kView);
    if (owner == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    GError* error = nullptr;
    const bool executed = libmsi_query_execute(owner->query, nullptr, &error) != 0;
    FreeError(error);
    return executed ? ERROR_SUCCESS : ERROR_FUNCTION_FAILED;
}

UINT MsiViewFetch(MSIHANDLE view, MSIHANDLE* record) {
    uint32_t code = 0;
    if (SeamCallFails("MsiViewFetch", &code)) {
        return code;
    }
    if (record == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    *record = 0;
    installer::Store& store = installer::TheStore();
    std::lock_guard<std::mutex> guard(store.lock);
    auto* owner = FindPackageObject<PackageView>(store, view, PackageObject::kView);
    if (owner == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    GError* error = nullptr;
    LibmsiRecord* fetched = libmsi_query_fetch(owner->query, &error);
    const bool failed = error != nullptr;
    FreeError(error);
    if (fetched == nullptr) {
        return failed ? ERROR_FUNCTION_FAILED : ERROR_NO_MORE_ITEMS;
    }
    *record = Register(store, std::make_unique<PackageRecord>(fetched));
    return ERROR_SUCCESS;
}

// A null field and a field past the record's end read as empty text, an integer
// field as its decimal digits, as in msi.dll.
UINT MsiRecordGetStringW(MSIHANDLE record, UINT field, LPWSTR value, DWORD* length) {
    uint32_t code = 0;
    if (SeamCallFails("MsiRecordGetStringW", &code)) {
        return code;
    }
    installer::Store& store = installer::TheStore();
    std::lock_guard<std::mutex> guard(store.lock);
    auto* owner = FindPackageObject<PackageRecord>(store, record, PackageObject::kRecord);
    if (owner == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    std::u16string text;
    if (char* utf8 = libmsi_record_get_string(owner->record, field)) {
        text = Utf8ToUtf16(std::string(utf8));
        g_free(utf8);
    }
    return installer::CopyOut(text, value, length);
}

int MsiRecordGetInteger(MSIHANDLE record, UINT field) {
    installer::Store& store = installer::TheStore();
    std::lock_guard<std::mutex> guard(store.lock);
    auto* owner = FindPackageObject<PackageRecord>(store, record, PackageObject::kRecord);
    if (owner == nullptr || field > libmsi_record_get_field_count(owner->record)) {
        return MSI_NULL_INTEGER;
    }
    return libmsi_record_get_int(owner->record, field);
}

BOOL MsiRecordIsNull(MSIHANDLE record, UINT field) {
    installer::Store& store = installer::TheStore();
    std::lock_guard<std::mutex> guard(store.lock);
    auto* owner = FindPackageObject<PackageRecord>(store, record, PackageObject::kRecord);
    if (owner == nullptr || field > libmsi_record_get_field_count(owner->record)) {
        return TRUE;
    }
    return libmsi_record_is_null(owner->record, field) ? TRUE : FALSE;
}

// Copies the next bytes of a stream field, at most *length of them, and sets
// *length to the count copied (0 at the end). A null buffer asks for the count of
// bytes still to read.
UINT MsiRecordReadStream(MSIHANDLE record, UINT field, char* buffer, DWORD* length) {
    uint32_t code = 0;
    if (SeamCallFails("MsiRecordReadStream", &code)) {
        return code;
    }
    if (length == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    installer::Store& store = installer::TheStore();
    std::lock_guard<std::mutex> guard(store.lock);
    auto* owner = FindPackageObject<PackageRecord>(store, record, PackageObject::kRecord);
    if (owner == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    auto cursor = owner->streams.find(field);
    if (cursor == owner->streams.end()) {
        StreamCursor loaded;
        if (!LoadStream(owner->record, field, &loaded)) {
            return ERROR_INVALID_DATATYPE;
        }
        cursor = owner->streams.emplace(field, std::move(loaded)).first;
    }
    const size_t remaining = cursor->second.bytes.size() - cursor->second.offset;
    if (buffer == nullptr) {
        *length = remaining > UINT32_MAX ? UINT32_MAX : static_cast<DWORD>(remaining);
        return ERROR_SUCCESS;
    }
    const size_t count = remaining < *length ? remaining : *length;
    cursor->second.bytes.copy(buffer, count, cursor->second.offset);
    cursor->second.offset += count;
    *length = static_cast<DWORD>(count);
    return ERROR_SUCCESS;
}
