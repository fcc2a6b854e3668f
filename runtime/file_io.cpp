// Whole-file input and output over the platform's file calls.
//
// Reading opens the file once, asks its size, fills one block of exactly that size
// and reads on until the system reports the end of the file. Writing never touches
// the target's bytes in place: it writes a sibling file, flushes it and renames it
// over the target, so a failure at any step leaves the old page whole.
#include "runtime/file_io.h"

#include "runtime/context_log.h"
#include "runtime/heap_string.h"
#include "runtime/status.h"

namespace {

// Largest file ReadWholeFile takes: the byte count is a 32-bit value.
constexpr ULONGLONG kLargestFile = 0xFFFFFFFFull;

// The temporary file is the target's name with this suffix; its last digit is
// raised while a name is taken, at most kTempAttempts times.
constexpr WCHAR kTempSuffix[] = WSTR(".new~0");
constexpr DWORD kTempSuffixLength = sizeof(kTempSuffix) / sizeof(kTempSuffix[0]) - 1;
constexpr int kTempAttempts = 10;

// Owner of a file handle: closed at the end of the scope unless closed earlier.
class ScopedFile {
  public:
    explicit ScopedFile(HANDLE handle = INVALID_HANDLE_VALUE) : handle_(handle) {}
    ~ScopedFile() { Close(); }
    ScopedFile(const ScopedFile&) = delete;
    ScopedFile& operator=(const ScopedFile&) = delete;

    bool IsOpen() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
    HANDLE get() const { return handle_; }
    // Closes the handle now; FALSE with the last error when the system reports a
    // failure (the handle is gone either way).
    BOOL Close() {
        if (!IsOpen()) {
            return TRUE;
        }
        const HANDLE handle = handle_;
        handle_ = INVALID_HANDLE_VALUE;
        return CloseHandle(handle);
    }

  private:
    HANDLE handle_;
};

// Makes `path` followed by kTempSuffix in a fresh zero-filled block. Null when the
// length does not fit a block or the heap is exhausted.
LPWSTR TempNameFor(LPCWSTR path) {
    const int length = lstrlenW(path);
    if (length < 0 || static_cast<DWORD>(length) >= kMaxBufferCount - kTempSuffixLength - 1) {
        return nullptr;
    }
    const DWORD count = static_cast<DWORD>(length) + kTempSuffixLength + 1;
    LPWSTR name = static_cast<LPWSTR>(MemAlloc(static_cast<SIZE_T>(count) * sizeof(WCHAR), TRUE));
    if (name == nullptr) {
        return nullptr;
    }
    for (int i = 0; i < length; ++i) {
        name[i] = path[i];
    }
    for (DWORD i = 0; i < kTempSuffixLength; ++i) {
        name[static_cast<DWORD>(length) + i] = kTempSuffix[i];
    }
    return name;  // terminated by the zero fill
}

// Creates the new file `name` (a TempNameFor result), raising its last digit while
// a name is taken. On success `name` holds the name used; on failure the last error
// is that of the last create.
HANDLE CreateTempBeside(LPWSTR name) {
    const int length = lstrlenW(name);
    for (int attempt = 0; attempt < kTempAttempts; ++attempt) {
        name[length - 1] = static_cast<WCHAR>(WSTR('0') + attempt);
        const HANDLE file = CreateFileW(name, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            return file;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
            break;
        }
    }
    return INVALID_HANDLE_VALUE;
}

}  // namespace

HRESULT ReadWholeFile(BYTE** buffer, DWORD* size, LPCWSTR path) {
    return ReadWholeFileEx(buffer, size, path, 0xFFFFFFFF);
}

HRESULT ReadWholeFileEx(BYTE** buffer, DWORD* size, LPCWSTR path, DWORD maximum) {
    if (buffer == nullptr || size == nullptr) {
        return E_INVALIDARG;
    }
    ScopedFile file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN,
                                nullptr));
    if (!file.IsOpen()) {
        return LastErrorStatus();
    }
    LARGE_INTEGER fileSize;
    fileSize.QuadPart = 0;
    if (!GetFileSizeEx(file.get(), &fileSize)) {
        return LastErrorStatus();
    }
    if (fileSize.QuadPart < 0 || static_cast<ULONGLONG>(fileSize.QuadPart) > kLargestFile ||
        static_cast<ULONGLONG>(fileSize.QuadPart) > maximum) {
        return STRSAFE_E_INSUFFICIENT_BUFFER;
    }
    const DWORD expected = static_cast<DWORD>(fileSize.QuadPart);

    const bool reused = *buffer != nullptr;
    BYTE* block =
        static_cast<BYTE*>(reused ? MemReAlloc(*buffer, expected, TRUE) : MemAlloc(expected, TRUE));
    if (block == nullptr) {
        return E_OUTOFMEMORY;  // the caller's block, if any, is untouched
    }
    if (reused) {
        *buffer = block;  // the old address may be gone now
    }

    // Read until a read of 0 bytes, also once the size has been reached: the last
    // read is what tells that the file is not shorter than its size said.
    HRESULT hr = S_OK;
    DWORD total = 0;
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file.get(), block + total, expected - total, &read, nullptr)) {
            hr = LastErrorStatus();
            break;
        }
        if (read == 0) {
            break;
        }
        if (read > expected - total) {
            hr = E_UNEXPECTED;  // the system claims more than was asked for
            break;
        }
        total += read;
    }
    if (SUCCEEDED(hr) && total != expected) {
        hr = E_UNEXPECTED;
    }
    if (FAILED(hr)) {
        MemFree(block);
        if (reused) {
            *buffer = nullptr;
        }
        return hr;
    }
    *buffer = block;
    *size = expected;
    return S_OK;
}

HRESULT FileWrite(LPCWSTR path, BYTE* const* buffer, const DWORD* size) {
    LogLine(LogTrace, "FileWrite");
    if (path == nullptr || buffer == nullptr || size == nullptr ||
        (*buffer == nullptr && *size != 0)) {
        return E_INVALIDARG;
    }

    // The target must exist and nobody else may have it open: the same open as an
    // in-place rewrite, without emptying it. It stays held while the new contents
    // are written beside it.
    ScopedFile target(CreateFileW(path, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OPEN_NO_RECALL, nullptr));
    if (!target.IsOpen()) {
        const HRESULT hr = LastErrorStatus();
        LogFailure(hr, "Failed to open file: %S", path);
        return hr;
    }

    HeapString tempName;
    *tempName.address() = TempNameFor(path);
    if (tempName.get() == nullptr) {
        LogFailure(E_OUTOFMEMORY, "Failed to create temporary file for: %S", path);
        return E_OUTOFMEMORY;
    }
    ScopedFile temp(CreateTempBeside(tempName.get()));
    if (!temp.IsOpen()) {
        const HRESULT hr = LastErrorStatus();
        LogFailure(hr, "Failed to create temporary file: %S", tempName.get());
        return hr;
    }

    // An empty buffer may be a null one; the write call still gets an address.
    static const BYTE kNothing = 0;
    const BYTE* const bytes = *buffer != nullptr ? *buffer : &kNothing;
    HRESULT hr = S_OK;
    DWORD written = 0;
    if (!WriteFile(temp.get(), bytes, *size, &written, nullptr)) {
        hr = LastErrorStatus();
        LogFailure(hr, "Failed to write %d bytes to file.", *size);
    } else if (written != *size) {
        hr = FoldWin32Error(ERROR_WRITE_FAULT);
        LogFailure(hr, "Failed to write %d bytes to file.", *size);
    } else if (!FlushFileBuffers(temp.get())) {
        hr = LastErrorStatus();
        LogFailure(hr, "Failed to flush file: %S", tempName.get());
    } else if (!temp.Close()) {
        hr = LastErrorStatus();
        LogFailure(hr, "Failed to close file: %S", tempName.get());
    } else {
        // A handle without delete sharing blocks the replace, so the target's own
        // handle goes first.
        target.Close();
        if (!MoveFileExW(tempName.get(), path,
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            hr = LastErrorStatus();
            LogFailure(hr, "Failed to replace file: %S", path);
        }
    }
    if (FAILED(hr)) {
        temp.Close();
        DeleteFileW(tempName.get());
    }
    return hr;
}
