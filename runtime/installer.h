// The Windows Installer functions the actions call, on the install handle that the
// export received: MsiGetActiveDatabase, MsiCloseHandle, MsiCreateRecord,
// MsiRecordSetStringA/W, MsiRecordSetInteger, MsiProcessMessage, MsiGetPropertyA/W,
// MsiSetPropertyW, MsiFormatRecordW and MsiGetMode. They are declared by the
// platform (msi.h and msiquery.h on Windows, the in-process installer elsewhere);
// this header names the values the runtime relies on.
//
// Length protocol of MsiGetPropertyW and MsiFormatRecordW: on input the length is
// the buffer's capacity in characters including the terminator; afterwards it is
// the value's length without it. The answer is 0 when the value fitted and
// ERROR_MORE_DATA (234) when it did not. An unset property reads as empty text.
#ifndef OSTREL_RUNTIME_INSTALLER_H
#define OSTREL_RUNTIME_INSTALLER_H

#include "platform/win32.h"

// Installer answers to MsiProcessMessage that the runtime tells apart.
constexpr int kAnswerNone = 0;
constexpr int kAnswerOk = IDOK;
constexpr int kAnswerCancel = IDCANCEL;
constexpr int kAnswerAbort = IDABORT;
constexpr int kAnswerYes = IDYES;

// Installer exit codes of the exports.
constexpr UINT kExitSuccess = ERROR_SUCCESS;
constexpr UINT kExitUserExit = ERROR_INSTALL_USEREXIT;
constexpr UINT kExitFailure = ERROR_INSTALL_FAILURE;

// RAII owner of an installer record or database handle: closed with MsiCloseHandle
// when it is non-zero.
class ScopedMsiHandle {
  public:
    explicit ScopedMsiHandle(MSIHANDLE handle = 0) : handle_(handle) {}
    ~ScopedMsiHandle() {
        if (handle_ != 0) {
            MsiCloseHandle(handle_);
        }
    }
    ScopedMsiHandle(const ScopedMsiHandle&) = delete;
    ScopedMsiHandle& operator=(const ScopedMsiHandle&) = delete;
    MSIHANDLE get() const { return handle_; }

  private:
    MSIHANDLE handle_;
};

#endif  // OSTREL_RUNTIME_INSTALLER_H
