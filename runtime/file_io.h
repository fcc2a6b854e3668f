// Whole-file input and output: the registration files are read into memory in one
// piece and the offline registration page is written back in one piece. Raw bytes
// only; no encoding is applied or assumed.
#ifndef OSTREL_RUNTIME_FILE_IO_H
#define OSTREL_RUNTIME_FILE_IO_H

#include "platform/win32.h"

// Reads the whole file at `path` into a process-heap block of exactly the file's
// size (no terminator added): ReadWholeFileEx with no limit below 4 GiB.
HRESULT ReadWholeFile(BYTE** buffer, DWORD* size, LPCWSTR path);

// Reads the whole file at `path`, opened for reading with read and delete sharing
// (so it fails while another handle writes it), into a block of exactly its size:
// a fresh one when *buffer is null, else *buffer reallocated. Files of 4 GiB or
// more, or above `maximum` bytes, give 0x8007007A; no memory, E_OUTOFMEMORY; a file
// that ends before its size was read, E_UNEXPECTED; open, size and read failures
// their folded Win32 error. On success *buffer and *size describe the contents. On
// failure *size is untouched, a null *buffer stays null, and a block that had been
// reallocated here is freed and *buffer set to null. Logs nothing.
HRESULT ReadWholeFileEx(BYTE** buffer, DWORD* size, LPCWSTR path, DWORD maximum);

// Replaces the contents of the existing file at `path` with the *size bytes of
// *buffer, all or nothing. The target is first opened exclusively for writing: a
// missing file (0x80070002, nothing created) or one held open elsewhere fails and
// is logged with "Failed to open file: %S". The bytes then go to a new file beside
// the file that `path` names (a symbolic link is followed and stays a link), made
// with the target's attributes; it is flushed, closed and put in the target's place
// in one step by the system's replace, which gives it the target's security (ACL,
// owner, permission bits). On any failure it is removed and the target keeps its
// old contents byte for byte. Where no new file may be made beside the target, or
// the target may not be replaced by one (ERROR_ACCESS_DENIED), the target is
// rewritten in place instead, as a verbose line says; a failure there leaves it
// emptied or partly written. A failed or short write is logged with "Failed to
// write %d bytes to file."; the other steps log their own line. Neither variable
// is changed.
HRESULT FileWrite(LPCWSTR path, BYTE* const* buffer, const DWORD* size);

#endif  // OSTREL_RUNTIME_FILE_IO_H
