// The registry of the posix build: a small in-memory store under
// HKEY_LOCAL_MACHINE, filled by the host and the tests (SeamRegistrySetValue) and
// read by the library with RegOpenKeyExW, RegQueryValueExW and RegCloseKey. Key
// paths and value names match without regard to ASCII letter case, as on Windows.
// Values are raw bytes of type REG_SZ. Opened keys are objects of their own, so a
// key handle that was never opened or is already closed is refused.
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/posix/shared/seams.h"
#include "platform/posix/win32_base.h"

struct HKEY__ {
    std::u16string path;  // folded, components joined by one backslash
};

namespace {

constexpr uintptr_t kPredefinedKeyFirst = 0x80000000u;
constexpr uintptr_t kPredefinedKeyLast = 0x800000FFu;

struct RegistryState {
    std::mutex lock;
    std::set<std::u16string> keys;  // every stored key and its ancestors
    std::map<std::u16string, std::map<std::u16string, std::vector<BYTE>>> values;
    std::set<HKEY> openKeys;
};

RegistryState& State() {
    static RegistryState* state = new RegistryState();  // never destroyed: used until exit
    return *state;
}

std::u16string Fold(const char16_t* text) {
    std::u16string out;
    for (; text != nullptr && *text != 0; ++text) {
        const char16_t c = *text;
        out.push_back(c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c);
    }
    return out;
}

// Appends the components of `subKey` to `base`, folded, dropping empty
// components (a doubled or trailing backslash).
std::u16string JoinPath(const std::u16string& base, const char16_t* subKey) {
    std::u16string path = base;
    const std::u16string folded = Fold(subKey);
    size_t start = 0;
    while (start <= folded.size()) {
        size_t end = folded.find(u'\\', start);
        if (end == std::u16string::npos) {
            end = folded.size();
        }
        if (end > start) {
            if (!path.empty()) {
                path.push_back(u'\\');
            }
            path.append(folded, start, end - start);
        }
        start = end + 1;
    }
    return path;
}

bool IsPredefined(HKEY key) {
    const uintptr_t value = reinterpret_cast<uintptr_t>(key);
    return value >= kPredefinedKeyFirst && value <= kPredefinedKeyLast;
}

}  // namespace

void SeamRegistrySetValue(const char16_t* key, const char16_t* name, const void* data,
                          DWORD bytes) {
    RegistryState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    const std::u16string path = JoinPath(std::u16string(), key);
    for (size_t end = path.find(u'\\'); end != std::u16string::npos;
         end = path.find(u'\\', end + 1)) {
        state.keys.insert(path.substr(0, end));
    }
    state.keys.insert(path);
    const BYTE* bytesIn = static_cast<const BYTE*>(data);
    state.values[path][Fold(name)] =
        bytesIn == nullptr ? std::vector<BYTE>() : std::vector<BYTE>(bytesIn, bytesIn + bytes);
}

void SeamRegistryClear() {
    RegistryState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    state.keys.clear();
    state.values.clear();
}

// Opens a key below HKEY_LOCAL_MACHINE or below a key opened before. A missing
// key, or one under another predefined root, is ERROR_FILE_NOT_FOUND.
LSTATUS RegOpenKeyExW(HKEY root, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result) {
    (void)options;
    (void)access;
    uint32_t code = 0;
    if (SeamCallFails("RegOpenKeyExW", &code)) {
        return static_cast<LSTATUS>(code);
    }
    if (result == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    *result = nullptr;
    RegistryState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    std::u16string base;
    if (root == HKEY_LOCAL_MACHINE) {
        base.clear();
    } else if (IsPredefined(root)) {
        return ERROR_FILE_NOT_FOUND;
    } else if (state.openKeys.count(root) != 0) {
        base = root->path;
    } else {
        return ERROR_INVALID_HANDLE;
    }
    std::u16string path = JoinPath(base, subKey);
    if (!path.empty() && state.keys.count(path) == 0) {
        return ERROR_FILE_NOT_FOUND;
    }
    HKEY key = new HKEY__{std::move(path)};
    state.openKeys.insert(key);
    *result = key;
    return ERROR_SUCCESS;
}

// Reads a value with the Windows size rules: a null data pointer asks for the
// size; a buffer too small gets ERROR_MORE_DATA with the size needed and is left
// as it was; otherwise the bytes are copied and their count returned.
LSTATUS RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                         LPDWORD dataBytes) {
    uint32_t code = 0;
    if (SeamCallFails("RegQueryValueExW", &code)) {
        return static_cast<LSTATUS>(code);
    }
    if (reserved != nullptr || (data != nullptr && dataBytes == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    RegistryState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    std::u16string path;
    if (key == HKEY_LOCAL_MACHINE) {
        path.clear();
    } else if (state.openKeys.count(key) != 0) {
        path = key->path;
    } else {
        return ERROR_INVALID_HANDLE;
    }
    auto valuesOfKey = state.values.find(path);
    if (valuesOfKey == state.values.end()) {
        return ERROR_FILE_NOT_FOUND;
    }
    auto value = valuesOfKey->second.find(Fold(valueName));
    if (value == valuesOfKey->second.end()) {
        return ERROR_FILE_NOT_FOUND;
    }
    const std::vector<BYTE>& bytes = value->second;
    if (type != nullptr) {
        *type = REG_SZ;
    }
    if (dataBytes == nullptr) {
        return ERROR_SUCCESS;
    }
    const DWORD capacity = *dataBytes;
    *dataBytes = static_cast<DWORD>(bytes.size());
    if (data == nullptr) {
        return ERROR_SUCCESS;
    }
    if (bytes.size() > capacity) {
        return ERROR_MORE_DATA;
    }
    if (!bytes.empty()) {
        std::memcpy(data, bytes.data(), bytes.size());
    }
    return ERROR_SUCCESS;
}

// Closes a key opened with RegOpenKeyExW; closing a predefined key does nothing.
// An armed failure is reported after the key is released, so that none leaks.
LSTATUS RegCloseKey(HKEY key) {
    LSTATUS result = ERROR_SUCCESS;
    if (!IsPredefined(key)) {
        RegistryState& state = State();
        std::lock_guard<std::mutex> guard(state.lock);
        if (state.openKeys.erase(key) == 0) {
            result = ERROR_INVALID_HANDLE;
        } else {
            delete key;
        }
    }
    uint32_t code = 0;
    if (SeamCallFails("RegCloseKey", &code)) {
        return static_cast<LSTATUS>(code);
    }
    return result;
}
