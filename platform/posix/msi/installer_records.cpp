// Installer records and messages: MsiCreateRecord, MsiRecordSetStringA/W,
// MsiRecordSetInteger, MsiCloseHandle and MsiProcessMessage. A record holds fields
// 0 to its field count, each null, an integer or text. A message is recorded with
// a copy of its record's fields and the answer the session scripted for it.
#include <climits>

#include "platform/posix/msi/installer_internal.h"
#include "platform/posix/shared/seams.h"
#include "platform/posix/shared/utf.h"

namespace {

// The most fields a record may have, as in msi.dll.
constexpr UINT kMaxRecordFields = 65535;

// Setting an integer field to this value makes the field null, as in msi.dll.
constexpr int kNullInteger = INT_MIN;

// Finds the field to set, or tells why there is none.
UINT FindField(installer::Store& store, MSIHANDLE record, UINT field, InstallerField** found) {
    installer::Record* entry = installer::FindRecord(store, record);
    if (entry == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    if (field >= entry->fields.size()) {
        return ERROR_INVALID_PARAMETER;
    }
    *found = &entry->fields[field];
    return ERROR_SUCCESS;
}

// Stores text in a field; empty text makes the field null, as in msi.dll.
UINT SetFieldText(MSIHANDLE record, UINT field, std::u16string text) {
    installer::Store& store = installer::TheStore();
    std::lock_guard<std::mutex> guard(store.lock);
    InstallerField* target = nullptr;
    const UINT result = FindField(store, record, field, &target);
    if (result != ERROR_SUCCESS) {
        return result;
    }
    *target = InstallerField();
    if (!text.empty()) {
        target->isNull = false;
        target->text = std::move(text);
    }
    return ERROR_SUCCESS;
}

// The answer to the message that has just arrived: scripted for its ordinal,
// else the default of its kind, else 0.
int ChooseAnswer(const installer::Session& session, uint32_t kind, unsigned ordinal) {
    auto scripted = session.scriptedAnswers.find({kind, ordinal});
    if (scripted != session.scriptedAnswers.end()) {
        return scripted->second;
    }
    auto fallback = session.defaultAnswers.find(kind);
    return fallback != session.defaultAnswers.end() ? fallback->second : 0;
}

}  // namespace

MSIHANDLE MsiCreateRecord(UINT fieldCount) {
    uint32_t code = 0;
    if (SeamCallFails("MsiCreateRecord", &code)) {
        SetLastError(code);
        return 0;
    }
    if (fieldCount > kMaxRecordFields) {
        return 0;
    }
    installer::Store& store = installer::TheStore();
    std::lock_guard<std::mutex> guard(store.lock);
    const MSIHANDLE handle = installer::NewHandle(store);
    installer::Record record;
    record.fields.resize(static_cast<size_t>(fieldCount) + 1);
    store.records.emplace(handle, std::move(record));
    return handle;
}

UINT MsiRecordSetStringA(MSIHANDLE record, UINT field, LPCSTR value) {
    uint32_t code = 0;
    if (SeamCallFails("MsiRecordSetStringA", &code)) {
        return code;
    }
    std::u16string text;
    if (value != nullptr) {
        text = Utf8ToUtf16(std::string(value));
    }
    return SetFieldText(record, field, std::move(text));
}

UINT MsiRecordSetStringW(MSIHANDLE record, UINT field, LPCWSTR value) {
    uint32_t code = 0;
    if (SeamCallFails("MsiRecordSetStringW", &code)) {
        return code;
    }
    return SetFieldText(record, field, value != nullptr ? std::u16string(value) : std::u16string());
}

UINT MsiRecordSetInteger(MSIHANDLE record, UINT field, int value) {
    uint32_t code = 0;
    if (SeamCallFails("MsiRecordSetInteger", &code)) {
        return code;
    }
    installer::Store& store = installer::TheStore();
    std::lock_guard<std::mutex> guard(store.lock);
    InstallerField* target = nullptr;
    const UINT result = FindField(store, record, field, &target);
    if (result != ERROR_SUCCESS) {
        return result;
    }
    *target = InstallerField();
    if (value != kNullInteger) {
        target->isNull = false;
        target->isInteger = true;
        target->integer = value;
    }
    return ERROR_SUCCESS;
}

// Closes a record, database or view handle. 0 is accepted and does nothing, as in
// msi.dll. An install handle belongs to the installer, which closes it when the
// session ends (InstallerCloseSession); a custom action closing it is refused.
// An armed failure is reported after the handle is released, as a close that
// fails on Windows still leaves the handle gone, so that no record leaks.
UINT MsiCloseHandle(MSIHANDLE handle) {
    uint32_t code = 0;
    UINT result = ERROR_SUCCESS;
    if (handle != 0) {
        installer::Store& store = installer::TheStore();
        std::lock_guard<std::mutex> guard(store.lock);
        if (store.records.erase(handle) == 0 && store.databases.erase(handle) == 0 &&
            store.packageObjects.erase(handle) == 0) {
            result = ERROR_INVALID_HANDLE;
        }
    }
    if (SeamCallFails("MsiCloseHandle", &code)) {
        return code;
    }
    return result;
}

// Records the message with a copy of its record and returns the scripted answer;
// -1 for an unknown install or record handle. The observer, if any, sees the
// message with its answer, outside the lock, so that it may call the installer.
int MsiProcessMessage(MSIHANDLE install, INSTALLMESSAGE type, MSIHANDLE record) {
    uint32_t code = 0;
    if (SeamCallFails("MsiProcessMessage", &code)) {
        return -1;
    }
    InstallerMessage message;
    std::function<void(const InstallerMessage&)> observer;
    {
        installer::Store& store = installer::TheStore();
        std::lock_guard<std::mutex> guard(store.lock);
        installer::Session* session = installer::FindSession(store, install);
        installer::Record* entry = installer::FindRecord(store, record);
        if (session == nullptr || entry == nullptr) {
            return -1;
        }
        const uint32_t kind = installer::MessageKind(static_cast<uint32_t>(type));
        const unsigned ordinal = ++session->messagesReceived[kind];
        message.type = type;
        message.fields = entry->fields;
        message.answer = ChooseAnswer(*session, kind, ordinal);
        session->messages.push_back(message);
        observer = store.observer;
    }
    if (observer) {
        observer(message);
    }
    return message.answer;
}
