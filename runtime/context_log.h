// The action context and the installer log.
//
// Every export runs inside one process-wide ActionContext: the install handle it
// was called with, the active database handle, whether an action is running, an
// exit code forced by a user cancel, and the action's name, which prefixes every
// line the action writes to the installer log. This file owns that record
// (ActionBegin, ActionEnd), writing log lines (LogLine, LogFailure), the verbose
// decision (IsVerboseLogging), the wrapper for every installer message
// (SendInstallerMessage) and the property setter (PropertySet).
//
// Nothing here is locked: the installer calls one action at a time on one thread.
#ifndef OSTREL_RUNTIME_CONTEXT_LOG_H
#define OSTREL_RUNTIME_CONTEXT_LOG_H

#include "platform/win32.h"

// Log levels of LogLine.
enum LogLevel : int {
    LogTrace = 0,     // never written
    LogVerbose = 1,   // written only when IsVerboseLogging() is non-zero
    LogStandard = 2,  // always written
};

// Capacity of the log name, terminator included.
constexpr size_t kLogNameCapacity = 32;
// Capacity of a log line in UTF-16 units, terminator included.
constexpr size_t kLogLineCapacity = 2048;

// Opens the action context for `install`: resets the cancel override, takes the
// active database handle and copies `logName`. A name of 32 characters or more is
// logged as a failure (prefixed with its first 31 characters), the context is
// closed again and 0x8007007A returned.
HRESULT ActionBegin(MSIHANDLE install, LPCSTR logName);
// Closes the context and gives the installer exit code: 1602 after a user cancel,
// else `exitCode` (0 or 1603).
UINT ActionEnd(UINT exitCode);
MSIHANDLE ActionGetInstallHandle();
void ActionSetOverrideExitCode(UINT exitCode);
// Read-only views for the log writer: whether an action is running, and its name.
BOOL ActionIsInitialized();
LPCSTR ActionLogName();

// Writes one line at `level` ("%s" narrow, "%S"/"%wS" wide, Microsoft printf
// conventions), prefixed with the log name. The line is built and sent as UTF-16, so
// wide arguments keep every character; narrow ones are read byte by byte as
// U+0000-U+00FF. It is cut at 2047 UTF-16 units, never inside a surrogate pair. A
// line asked for while another is being written is dropped.
void LogLine(int level, LPCSTR format, ...);
// While an action runs, writes "Error 0x%x: " with `status`, then the message, at
// LogStandard; otherwise nothing.
void LogFailure(HRESULT status, LPCSTR format, ...);
// 1 when the property "LOGVERBOSE" has a value or the machine's installer logging
// policy holds a 'v'; decided once per process.
int IsVerboseLogging();

// Sends one installer message on the running install and returns the installer's
// answer unchanged; a cancel answer (IDCANCEL or 1602) forces the exit code 1602.
int SendInstallerMessage(INSTALLMESSAGE type, MSIHANDLE record);

// Sets an installer property (an empty value removes it). E_INVALIDARG for a null
// or empty name or a null value; installer errors are folded and logged.
HRESULT PropertySet(LPCWSTR name, LPCWSTR value);

#endif  // OSTREL_RUNTIME_CONTEXT_LOG_H
