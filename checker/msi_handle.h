// The owner of one installer handle (database, view or record): closed with
// MsiCloseHandle when the owner goes, on every path.
#ifndef OSTREL_CHECKER_MSI_HANDLE_H
#define OSTREL_CHECKER_MSI_HANDLE_H

#include "platform/win32.h"

class MsiHandle {
  public:
    MsiHandle() = default;
    MsiHandle(const MsiHandle&) = delete;
    MsiHandle& operator=(const MsiHandle&) = delete;
    ~MsiHandle() { Reset(); }

    MSIHANDLE Get() const { return handle_; }
    // Closes the handle held, if any, and gives the slot for a call to fill.
    MSIHANDLE* Receive() {
        Reset();
        return &handle_;
    }
    void Reset() {
        if (handle_ != 0) {
            MsiCloseHandle(handle_);
            handle_ = 0;
        }
    }

  private:
    MSIHANDLE handle_ = 0;
};

#endif  // OSTREL_CHECKER_MSI_HANDLE_H
