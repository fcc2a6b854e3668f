// Property reading and action input.
//
// The installer's length protocol: the length passed in is the buffer's capacity
// in characters including the terminator; when the answer is ERROR_MORE_DATA the
// length has been set to the value's length without it, so the buffer must grow
// to length + 1. A value is fetched with at most three calls: a size query (skipped
// when the caller's string already has a capacity), a read, and one more read only
// when the value grew in between.
#include "runtime/property.h"

#include "runtime/context_log.h"
#include "runtime/heap_string.h"
#include "runtime/installer.h"
#include "runtime/status.h"

namespace {

constexpr WCHAR kCustomActionData[] = WSTR("CustomActionData");

bool IsEmpty(LPCWSTR text) {
    return text == nullptr || text[0] == 0;
}

// Grows *value to hold a value of `length` characters and its terminator.
HRESULT GrowForLength(LPWSTR* value, DWORD* length) {
    if (*length >= kMaxBufferCount - 1) {
        return E_OUTOFMEMORY;
    }
    *length += 1;
    return BufResize(value, *length, sizeof(WCHAR));
}

// Which step of sizing the buffer failed, so each caller can log its own line.
enum class SizingFailure { None, Capacity, Allocation };

// The capacity to offer the installer: the existing string's, or one sized by a
// query (`query` is the installer call with an empty buffer). Sets *failed to say
// which of the two failed.
template <typename Query>
HRESULT PrepareBuffer(LPWSTR* value, DWORD* length, Query query, SizingFailure* failed) {
    *failed = SizingFailure::None;
    *length = 0;
    if (*value != nullptr) {
        const HRESULT hr = WStrCapacity(*value, length);
        if (FAILED(hr)) {
            *failed = SizingFailure::Capacity;
        }
        return hr;
    }
    WCHAR empty[1] = {0};
    const UINT answer = query(empty, length);
    HRESULT hr = S_OK;
    if (answer == ERROR_MORE_DATA || answer == ERROR_SUCCESS) {
        hr = GrowForLength(value, length);
    } else {
        hr = FoldWin32Error(static_cast<LONG>(answer));
    }
    if (FAILED(hr)) {
        *failed = SizingFailure::Allocation;
    }
    return hr;
}

// Reads into *value at *length, growing once more if the value grew since the
// size was taken. Sets *growthFailed when that growth could not be made.
template <typename Read>
HRESULT ReadWithOneRetry(LPWSTR* value, DWORD* length, Read read, bool* growthFailed) {
    *growthFailed = false;
    UINT answer = read(*value, length);
    if (answer == ERROR_MORE_DATA) {
        const HRESULT hr = GrowForLength(value, length);
        if (FAILED(hr)) {
            *growthFailed = true;
            return hr;
        }
        answer = read(*value, length);
    }
    return FoldWin32Error(static_cast<LONG>(answer));
}

}  // namespace

int PropertyIsSet(LPCSTR name) {
    char empty[1] = "";
    DWORD length = 0;
    MsiGetPropertyA(ActionGetInstallHandle(), name, empty, &length);
    return length != 0 ? 1 : 0;
}

HRESULT PropertyGet(LPCWSTR name, LPWSTR* value) {
    if (IsEmpty(name) || value == nullptr) {
        return E_INVALIDARG;
    }
    const MSIHANDLE install = ActionGetInstallHandle();
    auto call = [&](LPWSTR buffer, DWORD* length) {
        return MsiGetPropertyW(install, name, buffer, length);
    };

    DWORD length = 0;
    SizingFailure sizing = SizingFailure::None;
    HRESULT hr = PrepareBuffer(value, &length, call, &sizing);
    if (sizing == SizingFailure::Capacity) {
        LogFailure(hr, "Failed to get previous size of property data string.");
        return hr;
    }
    if (sizing == SizingFailure::Allocation) {
        LogFailure(hr, "Failed to allocate string for Property '%S'", name);
        return hr;
    }

    bool growthFailed = false;
    hr = ReadWithOneRetry(value, &length, call, &growthFailed);
    if (growthFailed) {
        LogFailure(hr, "Failed to allocate string for Property '%S'", name);
    } else if (FAILED(hr)) {
        LogFailure(hr, "Failed to get data for property '%S'", name);
    }
    return hr;
}

HRESULT FormatText(LPCWSTR text, LPWSTR* value) {
    if (IsEmpty(text) || value == nullptr) {
        return E_INVALIDARG;
    }
    const MSIHANDLE install = ActionGetInstallHandle();
    ScopedMsiHandle record(MsiCreateRecord(1));
    HRESULT hr = FoldWin32Error(static_cast<LONG>(MsiRecordSetStringW(record.get(), 0, text)));
    if (FAILED(hr)) {
        LogFailure(hr, "Failed to set record field 0 with '%S'", text);
        return hr;
    }
    auto call = [&](LPWSTR buffer, DWORD* length) {
        return MsiFormatRecordW(install, record.get(), buffer, length);
    };

    DWORD length = 0;
    SizingFailure sizing = SizingFailure::None;
    hr = PrepareBuffer(value, &length, call, &sizing);
    if (sizing == SizingFailure::Capacity) {
        LogFailure(hr, "Failed to get previous size of property data string");
        return hr;
    }
    if (sizing == SizingFailure::Allocation) {
        LogFailure(hr, "Failed to allocate string for formatted string: '%S'", text);
        return hr;
    }

    bool growthFailed = false;
    hr = ReadWithOneRetry(value, &length, call, &growthFailed);
    if (growthFailed) {
        LogFailure(hr, "Failed to allocate string for formatted string: '%S'", text);
    } else if (FAILED(hr)) {
        LogFailure(hr, "Failed to get formatted string: '%S'", text);
    }
    return hr;
}

HRESULT PropertyGetFormatted(LPCWSTR name, LPWSTR* value) {
    if (IsEmpty(name) || value == nullptr) {
        return E_INVALIDARG;
    }
    LPWSTR raw = nullptr;
    HRESULT hr = PropertyGet(name, &raw);
    if (FAILED(hr)) {
        LogFailure(hr, "failed to get %S", name);
    } else {
        hr = FormatText(raw, value);
        if (FAILED(hr)) {
            LogFailure(hr, "failed to get formatted value for property: '%S' with value: '%S'",
                       name, raw);
        }
    }
    if (raw != nullptr) {
        StrFree(raw);
    }
    return hr;
}

HRESULT ReadActionInput(LPCWSTR name, LPWSTR* value, DWORD* inputMode) {
    const MSIHANDLE install = ActionGetInstallHandle();
    // All three modes are asked, as the installer may report any of them.
    const BOOL scheduled = MsiGetMode(install, MSIRUNMODE_SCHEDULED);
    const BOOL rollback = MsiGetMode(install, MSIRUNMODE_ROLLBACK);
    const BOOL commit = MsiGetMode(install, MSIRUNMODE_COMMIT);

    if (scheduled || rollback || commit) {
        *inputMode = kInputDeferred;
        if (PropertyIsSet("CustomActionData")) {
            const HRESULT hr = PropertyGet(kCustomActionData, value);
            if (FAILED(hr)) {
                LogFailure(hr, "failed to get CustomActionData");
                return hr;
            }
        }
    } else {
        WCHAR empty[1] = {0};
        DWORD length = 0;
        MsiGetPropertyW(install, name, empty, &length);
        if (length != 0) {
            *inputMode = kInputImmediate;
            HRESULT hr = PropertyGetFormatted(name, value);
            if (FAILED(hr)) {
                LogFailure(hr, "failed to get %S PROPERTY", name);
                return hr;
            }
            // The input is consumed: a second read in the same install finds nothing.
            hr = PropertySet(name, WSTR(""));
            if (FAILED(hr)) {
                LogFailure(hr, "failed to set %S PROPERTY", name);
                return hr;
            }
        }
    }

    if (*value != nullptr) {
        return S_OK;
    }
    LogFailure(E_INVALIDARG, "failed to get PROPERTY value for %S",
               *inputMode != 0 ? name : kCustomActionData);
    return E_INVALIDARG;
}
