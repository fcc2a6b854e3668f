// Whole-file input and output over the platform's file calls.
//
// Reading opens the file once, asks its size, fills one block of exactly that size
// and reads on until the system reports the end of the file.
//
// Writing never touches the page's bytes in place when it can help it: it writes a
// sibling file, flushes it and puts it in the page's place in one step, so a
// failure at any step leaves the old page whole. The sibling is made beside the
// file the page's name leads to (a symbolic link is followed), with the page's
// attributes, and the system's replace gives it the page's security (ACL on
// Windows, owner, group and permission bits on Linux), so the page is still the
// same file to its readers. Where no sibling can be made (a folder the writer
// may not create files in) or the page may not be replaced by one (its owner
// cannot be kept), the page is rewritten in place, truncated first.
#include "runtime/file_io.h"

#include "runtime/context_log.h"
#include "runtime/heap_string.h"
#include "runtime/status.h"

namespace {

// Largest file ReadWholeFile takes: the byte count is a 32-bit value.
constexpr ULONGLONG kLargestFile = 0xFFFFFFFFull;

// The temporary file is the target's name followed by this suffix, with this
// process's id and the attempt ("register.htm.new~4242-0"). The id keeps it apart
// from other writers' files; the attempt, raised while a name is taken, gets past
// the files that an earlier writer with the same id left when it was killed
// mid-write (nothing removes those). The bound is far above any number of such
// leftovers, so that they can never block a write.
constexpr WCHAR kTempSuffixFormat[] = WSTR(".new~%u-%u");
// Room for the longest suffix: ".new~", two 32-bit numbers, "-" and the terminator.
constexpr DWORD kTempSuffixCapacity = 5 + 10 + 1 + 10 + 1;
constexpr unsigned kTempAttempts = 10000;

// The attributes the replacement is made with, so that a hidden or system page
// stays one on systems whose replace does not carry them over.
constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                  FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// The first guess at a final path's length, terminator included; the system says
// how much it needs when that is short, and a path that grows again while asked
// is asked for at most this many times.
constexpr DWORD kFirstPathCapacity = 260;
constexpr int kFinalPathAttempts = 3;

// The verbose line of a page rewritten in place.
constexpr char kInPlaceLine[] = "File %S cannot be replaced (error %u); writing it in place.";

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

// Copies `path` into a fresh zero-filled block with room for a temporary suffix
// behind it. Null when the length does not fit a block or the heap is exhausted.
LPWSTR TempNameFor(LPCWSTR path) {
    const int length = lstrlenW(path);
    if (length < 0 || static_cast<DWORD>(length) >= kMaxBufferCount - kTempSuffixCapacity) {
        return nullptr;
    }
    const DWORD count = static_cast<DWORD>(length) + kTempSuffixCapacity;
    LPWSTR name = static_cast<LPWSTR>(MemAlloc(static_cast<SIZE_T>(count) * sizeof(WCHAR), TRUE));
    if (name == nullptr) {
        return nullptr;
    }
    for (int i = 0; i < length; ++i) {
        name[i] = path[i];
    }
    return name;  // terminated by the zero fill
}

// Creates a new file named `name` (a TempNameFor result) and a suffix, with
// `attributes`, trying the next attempt's name while a name is taken. On success
// `name` holds the name used; on failure the last error is that of the last create
// and `name` the last name tried.
HANDLE CreateTempBeside(LPWSTR name, DWORD attributes) {
    const int length = lstrlenW(name);
    const unsigned process = static_cast<unsigned>(GetCurrentProcessId());
    for (unsigned attempt = 0; attempt < kTempAttempts; ++attempt) {
        // Always fits: the block has room for the longest suffix.
        StringCchPrintfW(name + length, kTempSuffixCapacity, kTempSuffixFormat, process, attempt);
        const HANDLE file =
            CreateFileW(name, GENERIC_WRITE, 0, nullptr, CREATE_NEW, attributes, nullptr);
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

// The path of the file `file` is open on, symbolic links resolved, into *path (a
// heap string variable).
HRESULT FinalPathOf(HANDLE file, LPWSTR* path) {
    DWORD capacity = kFirstPathCapacity;
    for (int attempt = 0; attempt < kFinalPathAttempts; ++attempt) {
        const HRESULT hr = BufResize(path, capacity, sizeof(WCHAR));
        if (FAILED(hr)) {
            return hr;
        }
        const DWORD length = GetFinalPathNameByHandleW(file, *path, capacity,
                                                       FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length == 0) {
            return LastErrorStatus();
        }
        if (length < capacity) {
            return S_OK;
        }
        capacity = length;  // what the path needs, terminator included
    }
    return STRSAFE_E_INSUFFICIENT_BUFFER;
}

// Writes all `size` bytes to `file`; a failed or short write is logged.
HRESULT WriteAll(HANDLE file, const BYTE* bytes, DWORD size) {
    DWORD written = 0;
    HRESULT hr = S_OK;
    if (!WriteFile(file, bytes, size, &written, nullptr)) {
        hr = LastErrorStatus();
    } else if (written != size) {
        hr = FoldWin32Error(ERROR_WRITE_FAULT);
    }
    if (FAILED(hr)) {
        LogFailure(hr, "Failed to write %d bytes to file.", size);
    }
    return hr;
}

// Rewrites the existing file at `path` in place: opened exclusively and emptied,
// then written whole. A failure leaves it emptied or partly written.
HRESULT WriteInPlace(LPCWSTR path, const BYTE* bytes, DWORD size) {
    ScopedFile file(CreateFileW(path, GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING,
                                FILE_FLAG_OPEN_NO_RECALL, nullptr));
    if (!file.IsOpen()) {
        const HRESULT hr = LastErrorStatus();
        LogFailure(hr, "Failed to open file: %S", path);
        return hr;
    }
    HRESULT hr = WriteAll(file.get(), bytes, size);
    if (SUCCEEDED(hr) && !file.Close()) {
        hr = LastErrorStatus();
        LogFailure(hr, "Failed to close file: %S", path);
    }
    return hr;
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
    HeapString finalPath;
    HRESULT hr = FinalPathOf(target.get(), finalPath.address());
    if (FAILED(hr)) {
        LogFailure(hr, "Failed to find the file behind: %S", path);
        return hr;
    }
    const DWORD attributes = GetFileAttributesW(finalPath.get());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        hr = LastErrorStatus();
        LogFailure(hr, "Failed to read the attributes of file: %S", finalPath.get());
        return hr;
    }
    const DWORD kept = attributes & kKeptAttributes;

    // An empty buffer may be a null one; the write call still gets an address.
    static const BYTE kNothing = 0;
    const BYTE* const bytes = *buffer != nullptr ? *buffer : &kNothing;

    HeapString tempName;
    *tempName.address() = TempNameFor(finalPath.get());
    if (tempName.get() == nullptr) {
        LogFailure(E_OUTOFMEMORY, "Failed to create temporary file for: %S", path);
        return E_OUTOFMEMORY;
    }
    ScopedFile temp(CreateTempBeside(tempName.get(), kept != 0 ? kept : FILE_ATTRIBUTE_NORMAL));
    if (!temp.IsOpen()) {
        const DWORD error = GetLastError();
        if (error == ERROR_ACCESS_DENIED) {
            LogLine(LogVerbose, kInPlaceLine, finalPath.get(), error);
            target.Close();
            return WriteInPlace(finalPath.get(), bytes, *size);
        }
        hr = LastErrorStatus();
        LogFailure(hr, "Failed to create temporary file: %S", tempName.get());
        return hr;
    }

    hr = WriteAll(temp.get(), bytes, *size);
    if (SUCCEEDED(hr) && !FlushFileBuffers(temp.get())) {
        hr = LastErrorStatus();
        LogFailure(hr, "Failed to flush file: %S", tempName.get());
    }
    if (SUCCEEDED(hr) && !temp.Close()) {
        hr = LastErrorStatus();
        LogFailure(hr, "Failed to close file: %S", tempName.get());
    }
    if (FAILED(hr)) {
        temp.Close();
        DeleteFileW(tempName.get());
        return hr;
    }

    // A handle without delete sharing blocks the replace, so the target's own
    // handle goes first.
    target.Close();
    if (ReplaceFileW(finalPath.get(), tempName.get(), nullptr, REPLACEFILE_WRITE_THROUGH, nullptr,
                     nullptr)) {
        return S_OK;
    }
    const DWORD error = GetLastError();
    const HRESULT replaceStatus = LastErrorStatus();
    if (error == ERROR_UNABLE_TO_MOVE_REPLACEMENT) {
        // Without a backup name the system has already taken the page away: the new
        // contents must go into its place, and are never deleted.
        if (MoveFileExW(tempName.get(), finalPath.get(),
                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            return S_OK;
        }
        hr = LastErrorStatus();
        LogFailure(hr, "Failed to replace file: %S", path);
        return hr;
    }
    DeleteFileW(tempName.get());
    if (error == ERROR_ACCESS_DENIED) {
        LogLine(LogVerbose, kInPlaceLine, finalPath.get(), error);
        return WriteInPlace(finalPath.get(), bytes, *size);
    }
    LogFailure(replaceStatus, "Failed to replace file: %S", path);
    return replaceStatus;
}
