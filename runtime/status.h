// Status codes: how Win32 errors, installer results and RPC statuses become the
// HRESULTs every internal operation returns. The one place where that folding is
// written down.
#ifndef OSTREL_RUNTIME_STATUS_H
#define OSTREL_RUNTIME_STATUS_H

#include "platform/win32.h"

// A Win32 error, installer result or RPC status as an HRESULT: a positive code e
// becomes 0x80070000 | (e & 0xFFFF), 0 stays 0, a negative value passes through.
inline HRESULT FoldWin32Error(long code) {
    if (code > 0) {
        return static_cast<HRESULT>(0x80070000u | (static_cast<unsigned long>(code) & 0xFFFFu));
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
    return FoldWin32Error(static_cast<long>(static_cast<LONG>(error)));
}

#endif  // OSTREL_RUNTIME_STATUS_H
