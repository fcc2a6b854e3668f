// Progress reporting: moving the installer's progress bar by an action's ticks.
#ifndef OSTREL_RUNTIME_PROGRESS_H
#define OSTREL_RUNTIME_PROGRESS_H

#include "platform/win32.h"

// Run immediately (inputMode non-zero), adds `ticks` to the total the installer
// expects. Run deferred (inputMode 0), first tells the installer once per process
// that the action sends explicit progress reports, then advances the bar by
// `ticks`. S_OK when the installer accepted, S_FALSE when the user cancelled (the
// action then ends with 1602), E_UNEXPECTED for any other answer.
HRESULT ReportProgress(int ticks, DWORD inputMode);

#endif  // OSTREL_RUNTIME_PROGRESS_H
