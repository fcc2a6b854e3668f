// Reading a package's tables (package.h).
//
// The file is first opened with CreateFileW and its first bytes compared with the
// compound document signature, so that a missing, locked, empty or foreign file
// gets the same reason on every platform whatever the installer's own error
// codes; only then is it opened as a database, read-only. A table the package
// does not have (_Tables lists those it has) reads as empty; a table it has that
// cannot be read makes the package damaged.
#include "checker/package.h"

#include <cstring>

#include "checker/msi_handle.h"
#include "checker/pe_exports.h"
#include "checker/text.h"

const char* const kActionExports[5] = {"CASetRegDateTime", "CACreateURN", "CAQueryWMI",
                                       "CAUpdateOfflineReg", "CASendServiceTag"};

namespace {

// A DLL stored in a package larger than this is not read: ostrel_ca is a small
// fraction of it, and the checker should not hold a huge stream in memory.
constexpr size_t kMaxBinarySize = 64u << 20;

const char* const kSequenceTables[] = {"InstallExecuteSequence", "InstallUISequence",
                                       "AdminExecuteSequence", "AdminUISequence",
                                       "AdvtExecuteSequence"};

const unsigned char kCompoundSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};

std::string ErrorReason(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return "no such file";
        case ERROR_ACCESS_DENIED:
            return "access denied";
        case ERROR_SHARING_VIOLATION:
            return "the file is locked by another program";
        default:
            return "the file cannot be opened (error " + std::to_string(error) + ")";
    }
}

// Checks that the file can be read and starts as a package does.
bool CheckFile(const WideString& path, std::string* reason) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *reason = ErrorReason(GetLastError());
        return false;
    }
    unsigned char head[sizeof kCompoundSignature] = {};
    DWORD got = 0;
    const BOOL read = ReadFile(file, head, sizeof head, &got, nullptr);
    const DWORD readError = read ? ERROR_SUCCESS : GetLastError();
    CloseHandle(file);
    if (!read) {
        *reason = "the file cannot be read (error " + std::to_string(readError) + ")";
        return false;
    }
    if (got == 0) {
        *reason = "the file is empty";
        return false;
    }
    if (got < sizeof head || std::memcmp(head, kCompoundSignature, sizeof head) != 0) {
        *reason = "not a Windows Installer package (no compound document header)";
        return false;
    }
    return true;
}

// Field `field` of a record as UTF-8; false when the installer refuses it.
bool GetString(MSIHANDLE record, UINT field, std::string* value) {
    DWORD length = 0;
    if (MsiRecordGetStringW(record, field, nullptr, &length) != ERROR_SUCCESS) {
        return false;
    }
    if (length >= UINT32_MAX - 1) {
        return false;
    }
    WideString text(static_cast<size_t>(length) + 1, WCHAR());
    DWORD capacity = length + 1;
    if (MsiRecordGetStringW(record, field, &text[0], &capacity) != ERROR_SUCCESS) {
        return false;
    }
    text.resize(capacity < length ? capacity : length);
    *value = WideToUtf8(text);
    return true;
}

// A stream field read whole; false when unreadable. A stream longer than `limit`
// is read no further, and `tooLarge` says so.
bool ReadStream(MSIHANDLE record, UINT field, size_t limit, std::string* bytes, bool* tooLarge) {
    *tooLarge = false;
    char chunk[65536];
    for (;;) {
        DWORD got = sizeof chunk;
        if (MsiRecordReadStream(record, field, chunk, &got) != ERROR_SUCCESS ||
            got > sizeof chunk) {
            return false;
        }
        if (got == 0) {
            return true;
        }
        if (got > limit - bytes->size()) {
            *tooLarge = true;
            return true;
        }
        bytes->append(chunk, got);
    }
}

// Runs `query` and hands each record to `row`, which returns false for a record
// it cannot read. False when the query or any row fails.
template <typename RowReader>
bool ForEachRow(MSIHANDLE database, const std::string& query, RowReader row) {
    MsiHandle view;
    if (MsiDatabaseOpenViewW(database, Utf8ToWide(query).c_str(), view.Receive()) !=
            ERROR_SUCCESS ||
        MsiViewExecute(view.Get(), 0) != ERROR_SUCCESS) {
        return false;
    }
    for (;;) {
        MsiHandle record;
        const UINT fetched = MsiViewFetch(view.Get(), record.Receive());
        if (fetched == ERROR_NO_MORE_ITEMS) {
            return true;
        }
        if (fetched != ERROR_SUCCESS || !row(record.Get())) {
            return false;
        }
    }
}

bool ExportsEveryAction(const std::string& image) {
    const std::vector<std::string> names = PeExportedNames(image);
    for (const char* action : kActionExports) {
        bool found = false;
        for (const std::string& name : names) {
            found = found || name == action;
        }
        if (!found) {
            return false;
        }
    }
    return true;
}

bool ReadTables(MSIHANDLE database, PackageTables* tables, std::string* failedTable) {
    std::set<std::string> present;
    *failedTable = "_Tables";
    if (!ForEachRow(database, "SELECT `Name` FROM `_Tables`", [&](MSIHANDLE record) {
            std::string name;
            present.insert(GetString(record, 1, &name) ? name : std::string());
            return true;
        })) {
        return false;
    }
    *failedTable = "CustomAction";
    if (present.count("CustomAction") != 0 &&
        !ForEachRow(database, "SELECT `Action`, `Type`, `Source`, `Target` FROM `CustomAction`",
                    [&](MSIHANDLE record) {
                        CustomActionRow row;
                        row.type = MsiRecordGetInteger(record, 2);
                        bool ok = GetString(record, 1, &row.action) &&
                                  GetString(record, 3, &row.source) &&
                                  GetString(record, 4, &row.target);
                        tables->customActions.push_back(std::move(row));
                        return ok;
                    })) {
        return false;
    }
    for (const char* table : kSequenceTables) {
        *failedTable = table;
        if (present.count(table) != 0 &&
            !ForEachRow(
                database,
                std::string("SELECT `Action`, `Condition`, `Sequence` FROM `") + table + "`",
                [&](MSIHANDLE record) {
                    SequenceRow row;
                    row.table = table;
                    row.hasSequence = !MsiRecordIsNull(record, 3);
                    row.sequence = MsiRecordGetInteger(record, 3);
                    bool ok =
                        GetString(record, 1, &row.action) && GetString(record, 2, &row.condition);
                    tables->sequenceRows.push_back(std::move(row));
                    return ok;
                })) {
            return false;
        }
    }
    *failedTable = "Property";
    if (present.count("Property") != 0 &&
        !ForEachRow(database, "SELECT `Property`, `Value` FROM `Property`", [&](MSIHANDLE record) {
            std::string name;
            std::string value;
            bool ok = GetString(record, 1, &name) && GetString(record, 2, &value);
            tables->properties[name] = value;
            return ok;
        })) {
        return false;
    }
    // Only the Binary rows that DLL custom actions name are read.
    std::set<std::string> named;
    for (const CustomActionRow& row : tables->customActions) {
        if ((row.type & 0x3F) == 1) {
            named.insert(row.source);
        }
    }
    *failedTable = "Binary";
    if (present.count("Binary") != 0 && !named.empty() &&
        !ForEachRow(database, "SELECT `Name`, `Data` FROM `Binary`", [&](MSIHANDLE record) {
            std::string name;
            if (!GetString(record, 1, &name)) {
                return false;
            }
            if (named.count(name) == 0) {
                return true;
            }
            std::string image;
            bool tooLarge = false;
            if (!ReadStream(record, 2, kMaxBinarySize, &image, &tooLarge)) {
                return false;
            }
            // An image too large to be ours is not looked into.
            if (!tooLarge && ExportsEveryAction(image)) {
                tables->libraryBinaries.insert(name);
            }
            return true;
        })) {
        return false;
    }
    return true;
}

}  // namespace

bool ReadPackage(const std::string& path, PackageTables* tables, std::string* reason) {
    const WideString widePath = Utf8ToWide(path);
    if (!CheckFile(widePath, reason)) {
        return false;
    }
    MsiHandle database;
    // MSIDBOPEN_READONLY, which the SDK types for the narrow or wide call as built.
    const LPCWSTR readOnly = nullptr;
    if (MsiOpenDatabaseW(widePath.c_str(), readOnly, database.Receive()) != ERROR_SUCCESS) {
        *reason = "the installer cannot open it as a package (damaged or not a package)";
        return false;
    }
    std::string failedTable;
    if (!ReadTables(database.Get(), tables, &failedTable)) {
        *reason = "damaged: its " + failedTable + " table cannot be read";
        return false;
    }
    return true;
}
