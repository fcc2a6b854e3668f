// Files over POSIX: CreateFileW, ReadFile, WriteFile, GetFileSizeEx,
// FlushFileBuffers, CloseHandle, MoveFileExW, DeleteFileW, GetFileAttributesW,
// GetFinalPathNameByHandleW and ReplaceFileW.
//
// A HANDLE is the address of an OpenFile entry registered in one table. The table
// answers three questions: is this a live handle (CloseHandle of anything else
// fails), which handles of this process have a file open (by device and inode, for
// the Windows sharing rules), and how many are left (the tests' leak check). errno
// becomes a Win32 error in Win32ErrorFromErrno and nowhere else.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/posix/shared/seams.h"
#include "platform/posix/shared/utf.h"
#include "platform/posix/win32_files.h"

namespace {

struct OpenFile {
    int fd;
    DWORD access;     // GENERIC_READ and/or GENERIC_WRITE
    DWORD shareMode;  // FILE_SHARE_*
    dev_t device;
    ino_t inode;
};

struct Hook {
    unsigned nth;
    std::function<void()> run;
};

struct FileState {
    std::mutex lock;
    std::set<OpenFile*> handles;
    std::map<std::string, unsigned> hookCounts;
    std::multimap<std::string, Hook> hooks;
    unsigned writesUntilLimit = 0;  // 0: no short write armed
    DWORD writeLimit = 0;
};

FileState& State() {
    static FileState* state = new FileState();  // never destroyed: used until exit
    return *state;
}

// The one translation of errno into the Win32 error a Windows file call gives.
DWORD Win32ErrorFromErrno(int error) {
    switch (error) {
        case 0:
            return ERROR_SUCCESS;
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
            return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EROFS:
        case EISDIR:
        case ETXTBSY:
            return ERROR_ACCESS_DENIED;
        case EEXIST:
            return ERROR_FILE_EXISTS;
        case EBADF:
            return ERROR_INVALID_HANDLE;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case EMFILE:
        case ENFILE:
            return ERROR_TOO_MANY_OPEN_FILES;
        case ENOSPC:
        case EDQUOT:
        case EFBIG:
            return ERROR_DISK_FULL;
        case ENAMETOOLONG:
            return ERROR_FILENAME_EXCED_RANGE;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        case EIO:
            return ERROR_GEN_FAILURE;
        default:
            return ERROR_GEN_FAILURE;
    }
}

// Sets the last error from errno and answers FALSE, for the BOOL entries.
BOOL FailFromErrno(int error) {
    SetLastError(Win32ErrorFromErrno(error));
    return FALSE;
}

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

// Counts a call of `api` for the hooks and runs the one armed for it, if any,
// outside the lock (a hook may call the file API itself).
void RunHooks(const char* api) {
    FileState& state = State();
    std::function<void()> run;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        const unsigned count = ++state.hookCounts[api];
        auto range = state.hooks.equal_range(api);
        for (auto it = range.first; it != range.second; ++it) {
            if (it->second.nth == count) {
                run = std::move(it->second.run);
                state.hooks.erase(it);
                break;
            }
        }
    }
    if (run) {
        run();
    }
}

// The failure armed for this call of `api`, if any, as the last error.
bool SeamedFailure(const char* api) {
    uint32_t code = 0;
    if (SeamCallFails(api, &code)) {
        SetLastError(code);
        return true;
    }
    return false;
}

// How every entry but CloseHandle starts: the hook armed for this call of `api`
// runs, then the failure armed for it, if any, becomes the last error (true).
bool EntryFails(const char* api) {
    RunHooks(api);
    return SeamedFailure(api);
}

// How ReadFile and WriteFile start: the count done cleared, the hooks and armed
// failures, and the arguments checked (no overlapped I/O, somewhere to report the
// count, a buffer unless nothing moves). False with the last error set when the
// call ends here.
bool StartTransfer(const char* api, LPCVOID buffer, DWORD bytes, LPDWORD done,
                   LPOVERLAPPED overlapped) {
    if (done != nullptr) {
        *done = 0;
    }
    if (EntryFails(api)) {
        return false;
    }
    if (overlapped != nullptr || done == nullptr || (buffer == nullptr && bytes != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    return true;
}

// The path as the system takes it; false (ERROR_PATH_NOT_FOUND) for a null or
// empty path or one with UTF-16 that does not convert.
bool SystemPath(LPCWSTR path, std::string* out) {
    if (path == nullptr || path[0] == 0) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    size_t length = 0;
    while (path[length] != 0) {
        ++length;
    }
    bool valid = true;
    *out = Utf16ToUtf8(path, length, &valid);
    if (!valid) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    return true;
}

// The Win32 error for `error` from opening or looking up `path`. Windows tells a
// missing file (2) from a missing directory on the way (3).
DWORD PathError(int error, const std::string& path) {
    if (error != ENOENT) {
        return Win32ErrorFromErrno(error);
    }
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos || slash == 0) {
        return ERROR_FILE_NOT_FOUND;
    }
    struct stat info {};
    const std::string parent = path.substr(0, slash);
    if (stat(parent.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        return ERROR_PATH_NOT_FOUND;
    }
    return ERROR_FILE_NOT_FOUND;
}

// The live entry behind a handle, or null. Caller holds the lock.
OpenFile* Lookup(FileState& state, HANDLE handle) {
    OpenFile* file = static_cast<OpenFile*>(handle);
    return state.handles.count(file) != 0 ? file : nullptr;
}

// The descriptor behind a live handle opened with all of the `needed` access (0:
// any). False with ERROR_INVALID_HANDLE or ERROR_ACCESS_DENIED as the last error.
bool LiveDescriptor(HANDLE handle, DWORD needed, int* fd) {
    FileState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    const OpenFile* file = Lookup(state, handle);
    if (file == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    if ((file->access & needed) != needed) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    *fd = file->fd;
    return true;
}

// How many of `bytes` this write passes on: all of them, or the armed limit when
// a short write is armed for this write.
DWORD WriteAllowance(DWORD bytes) {
    FileState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    if (state.writesUntilLimit != 0 && --state.writesUntilLimit == 0 && state.writeLimit < bytes) {
        return state.writeLimit;
    }
    return bytes;
}

// Whether a new handle with `access` and `share` may join the handles already open
// on the same file. Caller holds the lock.
bool SharingAllows(const FileState& state, dev_t device, ino_t inode, DWORD access, DWORD share) {
    for (const OpenFile* other : state.handles) {
        if (other->device != device || other->inode != inode) {
            continue;
        }
        if ((access & GENERIC_READ) && !(other->shareMode & FILE_SHARE_READ))
            return false;
        if ((access & GENERIC_WRITE) && !(other->shareMode & FILE_SHARE_WRITE))
            return false;
        if ((other->access & GENERIC_READ) && !(share & FILE_SHARE_READ))
            return false;
        if ((other->access & GENERIC_WRITE) && !(share & FILE_SHARE_WRITE))
            return false;
    }
    return true;
}

// Whether any handle of this process has the file open, and whether all of them
// allow it to be deleted or renamed. Caller holds the lock.
void OpenState(const FileState& state, const struct stat& info, bool* open, bool* allDelete) {
    *open = false;
    *allDelete = true;
    for (const OpenFile* other : state.handles) {
        if (other->device == info.st_dev && other->inode == info.st_ino) {
            *open = true;
            if (!(other->shareMode & FILE_SHARE_DELETE)) {
                *allDelete = false;
            }
        }
    }
}

// Flushes the directory that holds `path`, so that a rename in it is durable.
bool FlushDirectoryOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    const std::string directory =
        slash == std::string::npos ? std::string(".") : (slash == 0 ? "/" : path.substr(0, slash));
    const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool flushed = fsync(fd) == 0;
    close(fd);
    return flushed;
}

}  // namespace

size_t SeamLiveFileHandles() {
    FileState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    return state.handles.size();
}

void SeamLimitNthWrite(unsigned nth, DWORD bytes) {
    FileState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    state.writesUntilLimit = nth;
    state.writeLimit = bytes;
}

void SeamBeforeNthFileCall(const char* api, unsigned nth, std::function<void()> hook) {
    if (nth == 0) {
        return;
    }
    FileState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    const unsigned already = state.hookCounts[api];
    state.hooks.insert({api, Hook{already + nth, std::move(hook)}});
}

void SeamClearFileSeams() {
    FileState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    state.hooks.clear();
    state.writesUntilLimit = 0;
}

HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flagsAndAttributes, HANDLE templateFile) {
    (void)security;
    (void)flagsAndAttributes;
    (void)templateFile;
    if (EntryFails("CreateFileW")) {
        return INVALID_HANDLE_VALUE;
    }
    std::string systemPath;
    if (!SystemPath(path, &systemPath)) {
        return INVALID_HANDLE_VALUE;
    }
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING ||
        (disposition == TRUNCATE_EXISTING && !(access & GENERIC_WRITE)) ||
        (access & ~(GENERIC_READ | GENERIC_WRITE)) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    int mode = O_RDONLY;
    if ((access & GENERIC_READ) && (access & GENERIC_WRITE)) {
        mode = O_RDWR;
    } else if (access & GENERIC_WRITE) {
        mode = O_WRONLY;
    }
    mode |= O_CLOEXEC;

    // Creation is separate from opening, so that the sharing check below comes
    // before anything is truncated, and a file made here can be removed again.
    int fd = -1;
    bool created = false;
    if (disposition == CREATE_NEW || disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS) {
        fd = open(systemPath.c_str(), mode | O_CREAT | O_EXCL, 0666);
        created = fd >= 0;
        if (fd < 0 && errno == EEXIST && disposition != CREATE_NEW) {
            fd = open(systemPath.c_str(), mode);
        }
    } else {
        fd = open(systemPath.c_str(), mode);
    }
    if (fd < 0) {
        SetLastError(PathError(errno, systemPath));
        return INVALID_HANDLE_VALUE;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        // A directory is not opened as a file without backup semantics.
        const DWORD error =
            S_ISDIR(info.st_mode) ? ERROR_ACCESS_DENIED : Win32ErrorFromErrno(errno);
        close(fd);
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }

    FileState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    if (!SharingAllows(state, info.st_dev, info.st_ino, access, shareMode)) {
        close(fd);
        SetLastError(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
    }
    if ((disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING) && !created &&
        ftruncate(fd, 0) != 0) {
        const int error = errno;
        close(fd);
        SetLastError(Win32ErrorFromErrno(error));
        return INVALID_HANDLE_VALUE;
    }
    OpenFile* file = new OpenFile{fd, access, shareMode, info.st_dev, info.st_ino};
    state.handles.insert(file);
    const bool existed = !created && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS);
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return file;
}

BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD bytes, LPDWORD bytesRead,
              LPOVERLAPPED overlapped) {
    int fd = -1;
    if (!StartTransfer("ReadFile", buffer, bytes, bytesRead, overlapped) ||
        !LiveDescriptor(handle, GENERIC_READ, &fd)) {
        return FALSE;
    }
    ssize_t count = 0;
    do {
        count = read(fd, buffer, bytes);
    } while (count < 0 && errno == EINTR);
    if (count < 0) {
        return FailFromErrno(errno);
    }
    *bytesRead = static_cast<DWORD>(count);
    return TRUE;
}

BOOL WriteFile(HANDLE handle, LPCVOID buffer, DWORD bytes, LPDWORD bytesWritten,
               LPOVERLAPPED overlapped) {
    int fd = -1;
    if (!StartTransfer("WriteFile", buffer, bytes, bytesWritten, overlapped) ||
        !LiveDescriptor(handle, GENERIC_WRITE, &fd)) {
        return FALSE;
    }
    const DWORD toWrite = WriteAllowance(bytes);
    const BYTE* next = static_cast<const BYTE*>(buffer);
    DWORD written = 0;
    while (written < toWrite) {
        const ssize_t count = write(fd, next + written, toWrite - written);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            *bytesWritten = written;
            return FailFromErrno(errno);
        }
        written += static_cast<DWORD>(count);
    }
    *bytesWritten = written;
    return TRUE;
}

BOOL GetFileSizeEx(HANDLE handle, PLARGE_INTEGER size) {
    if (EntryFails("GetFileSizeEx")) {
        return FALSE;
    }
    if (size == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    int fd = -1;
    if (!LiveDescriptor(handle, 0, &fd)) {
        return FALSE;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0) {
        return FailFromErrno(errno);
    }
    size->QuadPart = static_cast<LONGLONG>(info.st_size);
    return TRUE;
}

BOOL FlushFileBuffers(HANDLE handle) {
    if (EntryFails("FlushFileBuffers")) {
        return FALSE;
    }
    int fd = -1;
    if (!LiveDescriptor(handle, GENERIC_WRITE, &fd)) {
        return FALSE;
    }
    if (fsync(fd) != 0) {
        return FailFromErrno(errno);
    }
    return TRUE;
}

BOOL CloseHandle(HANDLE handle) {
    RunHooks("CloseHandle");
    FileState& state = State();
    OpenFile* file = nullptr;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        file = Lookup(state, handle);
        if (file == nullptr) {
            return Fail(ERROR_INVALID_HANDLE);
        }
        state.handles.erase(file);
    }
    // The handle is gone whatever the close says, as on Windows; an armed failure
    // is reported after it is released so that no descriptor leaks.
    const int result = close(file->fd);
    const int error = errno;
    delete file;
    if (SeamedFailure("CloseHandle")) {
        return FALSE;
    }
    if (result != 0 && error != EINTR) {
        return FailFromErrno(error);
    }
    return TRUE;
}

BOOL MoveFileExW(LPCWSTR existing, LPCWSTR replacement, DWORD flags) {
    if (EntryFails("MoveFileExW")) {
        return FALSE;
    }
    std::string from;
    std::string to;
    if (!SystemPath(existing, &from) || !SystemPath(replacement, &to)) {
        return FALSE;
    }
    if ((flags & ~static_cast<DWORD>(MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) != 0) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    {
        FileState& state = State();
        std::lock_guard<std::mutex> guard(state.lock);
        struct stat info {};
        if (lstat(from.c_str(), &info) != 0) {
            return Fail(PathError(errno, from));
        }
        bool open = false;
        bool allDelete = true;
        OpenState(state, info, &open, &allDelete);
        if (!allDelete) {
            return Fail(ERROR_SHARING_VIOLATION);
        }
        if (lstat(to.c_str(), &info) == 0) {
            if (!(flags & MOVEFILE_REPLACE_EXISTING)) {
                return Fail(ERROR_ALREADY_EXISTS);
            }
            if (S_ISDIR(info.st_mode)) {
                return Fail(ERROR_ACCESS_DENIED);
            }
            // Windows refuses to replace a file that is open.
            OpenState(state, info, &open, &allDelete);
            if (open) {
                return Fail(ERROR_ACCESS_DENIED);
            }
        }
        const int result =
            (flags & MOVEFILE_REPLACE_EXISTING)
                ? rename(from.c_str(), to.c_str())
                : renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
        if (result != 0) {
            const int error = errno;
            return Fail(error == EEXIST ? static_cast<DWORD>(ERROR_ALREADY_EXISTS)
                                        : Win32ErrorFromErrno(error));
        }
    }
    if ((flags & MOVEFILE_WRITE_THROUGH) && !FlushDirectoryOf(to)) {
        return FailFromErrno(errno);
    }
    return TRUE;
}

BOOL DeleteFileW(LPCWSTR path) {
    if (EntryFails("DeleteFileW")) {
        return FALSE;
    }
    std::string systemPath;
    if (!SystemPath(path, &systemPath)) {
        return FALSE;
    }
    FileState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    struct stat info {};
    if (lstat(systemPath.c_str(), &info) != 0) {
        return Fail(PathError(errno, systemPath));
    }
    if (S_ISDIR(info.st_mode)) {
        return Fail(ERROR_ACCESS_DENIED);
    }
    bool open = false;
    bool allDelete = true;
    OpenState(state, info, &open, &allDelete);
    if (!allDelete) {
        return Fail(ERROR_SHARING_VIOLATION);
    }
    if (unlink(systemPath.c_str()) != 0) {
        return FailFromErrno(errno);
    }
    return TRUE;
}

DWORD GetFileAttributesW(LPCWSTR path) {
    if (EntryFails("GetFileAttributesW")) {
        return INVALID_FILE_ATTRIBUTES;
    }
    std::string systemPath;
    if (!SystemPath(path, &systemPath)) {
        return INVALID_FILE_ATTRIBUTES;
    }
    struct stat info {};
    if (stat(systemPath.c_str(), &info) != 0) {
        SetLastError(PathError(errno, systemPath));
        return INVALID_FILE_ATTRIBUTES;
    }
    DWORD attributes = S_ISDIR(info.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    if ((info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
        attributes |= FILE_ATTRIBUTE_READONLY;
    }
    const size_t slash = systemPath.find_last_of('/');
    const std::string name = slash == std::string::npos ? systemPath : systemPath.substr(slash + 1);
    if (name.size() > 1 && name[0] == '.' && name != "..") {
        attributes |= FILE_ATTRIBUTE_HIDDEN;
    }
    return attributes;
}

DWORD GetFinalPathNameByHandleW(HANDLE handle, LPWSTR path, DWORD capacity, DWORD flags) {
    if (EntryFails("GetFinalPathNameByHandleW")) {
        return 0;
    }
    if (flags != (FILE_NAME_NORMALIZED | VOLUME_NAME_DOS) || (path == nullptr && capacity != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    int fd = -1;
    if (!LiveDescriptor(handle, 0, &fd)) {
        return 0;
    }
    // The kernel names the file behind the descriptor, links resolved.
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    std::vector<char> target(PATH_MAX);
    const ssize_t length = readlink(link.c_str(), target.data(), target.size());
    if (length < 0) {
        FailFromErrno(errno);
        return 0;
    }
    if (static_cast<size_t>(length) == target.size()) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    const std::u16string wide = Utf8ToUtf16(target.data(), static_cast<size_t>(length));
    const size_t needed = wide.size() + 1;
    if (needed > capacity) {
        return static_cast<DWORD>(needed);
    }
    wide.copy(path, wide.size());
    path[wide.size()] = 0;
    return static_cast<DWORD>(wide.size());
}

BOOL ReplaceFileW(LPCWSTR replaced, LPCWSTR replacement, LPCWSTR backup, DWORD flags,
                  LPVOID exclude, LPVOID reserved) {
    if (EntryFails("ReplaceFileW")) {
        return FALSE;
    }
    std::string target;
    std::string from;
    if (!SystemPath(replaced, &target) || !SystemPath(replacement, &from)) {
        return FALSE;
    }
    const DWORD known =
        REPLACEFILE_WRITE_THROUGH | REPLACEFILE_IGNORE_MERGE_ERRORS | REPLACEFILE_IGNORE_ACL_ERRORS;
    if (backup != nullptr || exclude != nullptr || reserved != nullptr || (flags & ~known) != 0) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    // A link is followed: the file it names is replaced, and the link stays.
    char* resolved = realpath(target.c_str(), nullptr);
    if (resolved == nullptr) {
        return Fail(PathError(errno, target));
    }
    target = resolved;
    std::free(resolved);
    {
        FileState& state = State();
        std::lock_guard<std::mutex> guard(state.lock);
        struct stat old {};
        struct stat fresh {};
        if (stat(target.c_str(), &old) != 0) {
            return Fail(PathError(errno, target));
        }
        if (lstat(from.c_str(), &fresh) != 0) {
            return Fail(PathError(errno, from));
        }
        if (!S_ISREG(old.st_mode) || !S_ISREG(fresh.st_mode)) {
            return Fail(ERROR_ACCESS_DENIED);
        }
        bool open = false;
        bool allDelete = true;
        OpenState(state, old, &open, &allDelete);
        if (!allDelete) {
            return Fail(ERROR_SHARING_VIOLATION);
        }
        OpenState(state, fresh, &open, &allDelete);
        if (!allDelete) {
            return Fail(ERROR_SHARING_VIOLATION);
        }
        if ((old.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
            return Fail(ERROR_ACCESS_DENIED);  // read-only, as Windows refuses it
        }
        // What the file is to its users goes with it: owner and group first (a
        // change of owner may clear the set-id bits), then the permission bits.
        if ((fresh.st_uid != old.st_uid || fresh.st_gid != old.st_gid) &&
            chown(from.c_str(), old.st_uid, old.st_gid) != 0) {
            return FailFromErrno(errno);
        }
        if (chmod(from.c_str(), old.st_mode & 07777) != 0) {
            return FailFromErrno(errno);
        }
        if (rename(from.c_str(), target.c_str()) != 0) {
            return FailFromErrno(errno);
        }
    }
    if ((flags & REPLACEFILE_WRITE_THROUGH) && !FlushDirectoryOf(target)) {
        return FailFromErrno(errno);
    }
    return TRUE;
}
