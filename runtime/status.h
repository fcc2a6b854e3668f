// Status codes: how Win32 errors, installer results and RPC statuses become the
// HRESULTs every internal operation returns. The one place where that folding is
// written down.
#ifndef OSTREL_RUNTIME_STATUS_H
#define OSTREL_RUNTIME_STATUS_H

#include "platform/win32.h"

// A Win32 error, installer result or RPC status as an HRESULT: a positive code e
// becomes 0x80070000 | (e & 0xFFFF), 0 stays 0, a negative value passes through.
// The code is read as a 32-bit LONG in both builds (long is 64 bits on Linux), so
// an unsigned installer answer with its top bit set, such as 0xC0000005, is
// negative and passes through there as it does in the Windows DLL.
inline HRESULT FoldWin32Error(LONG code) {
    if (code > 0) {
        return static_cast<HRESULT>(0x80070000u | (static_cast<ULONG>(code) & 0xFFFFu));
    }
    return static_cast<HRESULT>(code);
}

// The calling thread's last error folded as above, E_FAIL when it is 0: the status
// of a failing system call or search that has no status of its own.
inline HRESULT LastErrorStatus() {
    const DWORD error = GetLastError();
    if (error == 0) {
        return E_FAIL;
    }
    return FoldWin32Error(static_cast<LONG>(error));
}

#endif  // OSTREL_RUNTIME_STATUS_H
