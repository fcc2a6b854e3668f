// posix substitutes: the file calls of kernel32 (CreateFileW, ReadFile, WriteFile,
// ReplaceFileW, ...) over POSIX, in kernel32/files.cpp.
//
// Handles are entries of an in-process table. The table also carries each open
// handle's access and share mode by file identity (device and inode), so two
// handles of this process that conflict get ERROR_SHARING_VIOLATION as they do on
// Windows. Another process is not seen: POSIX has no mandatory sharing. errno is
// translated to the Win32 error in exactly one place (kernel32/files.cpp):
// 2 for a missing file, 3 for a missing directory, 5 for denied access, and so on.
// Paths are UTF-16 and are handed to the system as UTF-8, unchanged otherwise.
#ifndef OSTREL_PLATFORM_POSIX_WIN32_FILES_H
#define OSTREL_PLATFORM_POSIX_WIN32_FILES_H

#include "platform/posix/win32_base.h"

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u

#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004

#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5

#define INVALID_FILE_ATTRIBUTES 0xFFFFFFFFu
#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_HIDDEN 0x00000002
#define FILE_ATTRIBUTE_SYSTEM 0x00000004
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_ATTRIBUTE_TEMPORARY 0x00000100
#define FILE_ATTRIBUTE_NOT_CONTENT_INDEXED 0x00002000
#define FILE_FLAG_WRITE_THROUGH 0x80000000u
#define FILE_FLAG_SEQUENTIAL_SCAN 0x08000000
#define FILE_FLAG_OPEN_NO_RECALL 0x00100000

#define MOVEFILE_REPLACE_EXISTING 0x00000001
#define MOVEFILE_WRITE_THROUGH 0x00000008

#define REPLACEFILE_WRITE_THROUGH 0x00000001
#define REPLACEFILE_IGNORE_MERGE_ERRORS 0x00000002
#define REPLACEFILE_IGNORE_ACL_ERRORS 0x00000004

#define FILE_NAME_NORMALIZED 0x0
#define VOLUME_NAME_DOS 0x0

#define ERROR_TOO_MANY_OPEN_FILES 4L
#define ERROR_WRITE_FAULT 29L
#define ERROR_READ_FAULT 30L
#define ERROR_GEN_FAILURE 31L
#define ERROR_FILENAME_EXCED_RANGE 206L
#define ERROR_UNABLE_TO_REMOVE_REPLACED 1175L
#define ERROR_UNABLE_TO_MOVE_REPLACEMENT 1176L

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

// Asynchronous I/O is not offered: every call takes a null OVERLAPPED.
typedef struct _OVERLAPPED OVERLAPPED, *LPOVERLAPPED;

typedef union _LARGE_INTEGER {
    struct {
        DWORD LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

// Opens or creates a file. The access is GENERIC_READ and/or GENERIC_WRITE; the
// share mode is checked against the other open handles of this process before
// anything is created or truncated. Security attributes, templates and the flags
// other than the dispositions are accepted and have no effect. Answers
// INVALID_HANDLE_VALUE with the last error set on failure; on success with
// CREATE_ALWAYS or OPEN_ALWAYS the last error is ERROR_ALREADY_EXISTS when the file
// was there before, else 0.
HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flagsAndAttributes, HANDLE templateFile);
// One read of at most `bytes` bytes at the file position; TRUE with 0 bytes at the
// end of the file.
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytes, LPDWORD bytesRead, LPOVERLAPPED overlapped);
// Writes all `bytes` bytes at the file position, or fails; `bytesWritten` then says
// how many made it.
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytes, LPDWORD bytesWritten,
               LPOVERLAPPED overlapped);
BOOL GetFileSizeEx(HANDLE file, PLARGE_INTEGER size);
// fsync of the file.
BOOL FlushFileBuffers(HANDLE file);
BOOL CloseHandle(HANDLE handle);
// Renames `existing` to `replacement` in one step. Without MOVEFILE_REPLACE_EXISTING
// an existing target fails with ERROR_ALREADY_EXISTS; MOVEFILE_WRITE_THROUGH
// returns only once the directory holding the new name is flushed. A source open
// here without FILE_SHARE_DELETE fails with ERROR_SHARING_VIOLATION, a target open
// here with ERROR_ACCESS_DENIED, as Windows answers.
BOOL MoveFileExW(LPCWSTR existing, LPCWSTR replacement, DWORD flags);
// Removes a file; one open here without FILE_SHARE_DELETE gives
// ERROR_SHARING_VIOLATION.
BOOL DeleteFileW(LPCWSTR path);
// The file's attributes, a symbolic link followed: FILE_ATTRIBUTE_DIRECTORY for a
// directory, FILE_ATTRIBUTE_ARCHIVE for a file, FILE_ATTRIBUTE_READONLY when no
// one may write it (no write permission bit), FILE_ATTRIBUTE_HIDDEN for a name that
// starts with a dot, as Wine shows them. INVALID_FILE_ATTRIBUTES with the last
// error set when there is no such file.
DWORD GetFileAttributesW(LPCWSTR path);
// The path of the file the handle is open on, symbolic links resolved (the file's
// own name, not the name it was opened by). The flags must be
// FILE_NAME_NORMALIZED | VOLUME_NAME_DOS (0). Returns the length without the
// terminator; when `capacity` (characters) cannot hold the path and its
// terminator, returns the capacity needed, terminator included, and writes
// nothing. 0 with the last error set on failure.
DWORD GetFinalPathNameByHandleW(HANDLE file, LPWSTR path, DWORD capacity, DWORD flags);
// Replaces the file `replaced` (a symbolic link is followed to the file it names)
// by `replacement` in one step: the replacement takes the replaced file's place,
// its permission bits, owner and group, and the replacement's name is gone. No
// backup file is made (`backup` must be null). A replaced file that is read-only
// gives ERROR_ACCESS_DENIED, as does one whose owner or group the caller cannot
// give to the replacement (POSIX lets only the owner's own groups and the
// superuser do that) and one in a folder that does not let it be renamed over; a
// file open here without FILE_SHARE_DELETE gives ERROR_SHARING_VIOLATION. On any
// failure the replaced file stays as it was. REPLACEFILE_WRITE_THROUGH returns only once
// the folder holding the file is flushed.
BOOL ReplaceFileW(LPCWSTR replaced, LPCWSTR replacement, LPCWSTR backup, DWORD flags,
                  LPVOID exclude, LPVOID reserved);

#endif  // OSTREL_PLATFORM_POSIX_WIN32_FILES_H
