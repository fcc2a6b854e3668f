// The action context and the installer log: ActionBegin/ActionEnd, LogLine,
// LogFailure, IsVerboseLogging, SendInstallerMessage and PropertySet.
//
// A log line is built as UTF-16 (log_line.h) in two static 2048-unit buffers
// without touching the heap (the caller's format rewritten as a wide format, then
// the finished text) and sent as an information message with one wide field. The
// log name and the status are arguments of the line, never part of its format. A
// line asked for while another is being built (from inside the installer's answer,
// or a second thread) is dropped rather than waited for.
#include "runtime/context_log.h"

#include "runtime/installer.h"
#include "runtime/log_line.h"
#include "runtime/status.h"

namespace {

struct ActionContext {
    MSIHANDLE installHandle;
    MSIHANDLE databaseHandle;
    int initialized;
    UINT overrideExitCode;
    char logName[kLogNameCapacity];
};

ActionContext g_context;
bool g_logBusy;
WCHAR g_logFormatBuffer[kLogLineCapacity];
WCHAR g_logTextBuffer[kLogLineCapacity];
int g_verboseLoggingCache = -1;

constexpr char kVerboseProperty[] = "LOGVERBOSE";
// The installer logging policy: a value holding 'v' turns verbose lines on.
constexpr DWORD kPolicyValueBytes = 32;

void CloseDatabaseHandle() {
    if (g_context.databaseHandle != 0) {
        MsiCloseHandle(g_context.databaseHandle);
        g_context.databaseHandle = 0;
    }
}

bool PolicyAsksForVerbose() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, WSTR("Software\\Policies\\Microsoft\\Windows\\Installer"),
                      0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return false;
    }
    bool verbose = false;
    WCHAR value[kPolicyValueBytes / sizeof(WCHAR)] = {};
    DWORD bytes = kPolicyValueBytes;
    if (RegQueryValueExW(key, WSTR("Logging"), nullptr, nullptr, reinterpret_cast<LPBYTE>(value),
                         &bytes) == ERROR_SUCCESS) {
        DWORD characters = bytes / sizeof(WCHAR);
        if (characters > kPolicyValueBytes / sizeof(WCHAR)) {
            characters = kPolicyValueBytes / sizeof(WCHAR);
        }
        for (DWORD i = 0; i < characters && value[i] != 0; ++i) {
            if (value[i] == 'v' || value[i] == 'V') {
                verbose = true;
                break;
            }
        }
    }
    RegCloseKey(key);
    return verbose;
}

// Sends the finished line as an information message; every failure is ignored.
void SendLogLine(LPCWSTR text) {
    ScopedMsiHandle record(MsiCreateRecord(1));
    MsiRecordSetStringW(record.get(), 0, text);
    SendInstallerMessage(INSTALLMESSAGE_INFO, record.get());
}

// Writes one line at `level`: the log name, then "Error 0x%x: " when a status is
// given, then the caller's text. A cut line is still sent.
void WriteLineV(int level, const HRESULT* status, LPCSTR format, va_list args) {
    if (g_logBusy) {
        return;
    }
    g_logBusy = true;
    bool written = false;
    if (level == LogStandard) {
        written = true;
    } else if (level == LogVerbose) {
        written = IsVerboseLogging() != 0;
    }
    if (written) {
        LogLineBuilder line(g_logTextBuffer, g_logFormatBuffer, kLogLineCapacity);
        line.AppendName(g_context.logName);
        if (status != nullptr) {
            line.AppendStatus(*status);
        }
        line.AppendV(format, args);
        SendLogLine(line.text());
    }
    g_logBusy = false;
}

}  // namespace

HRESULT ActionBegin(MSIHANDLE install, LPCSTR logName) {
    g_context.overrideExitCode = 0;
    g_context.initialized = 1;
    g_context.installHandle = install;
    g_context.databaseHandle = MsiGetActiveDatabase(install);

    const HRESULT hr = StringCchCopyA(g_context.logName, kLogNameCapacity, logName);
    if (SUCCEEDED(hr)) {
        return S_OK;
    }
    // Written while the context is still open, prefixed with the cut name.
    LogFailure(hr, "Failed to copy CustomAction log name: %s", logName);
    CloseDatabaseHandle();
    g_context.installHandle = 0;
    g_context.initialized = 0;
    return hr;
}

UINT ActionEnd(UINT exitCode) {
    CloseDatabaseHandle();
    g_context.installHandle = 0;
    g_context.initialized = 0;
    return g_context.overrideExitCode != 0 ? g_context.overrideExitCode : exitCode;
}

MSIHANDLE ActionGetInstallHandle() {
    return g_context.installHandle;
}

void ActionSetOverrideExitCode(UINT exitCode) {
    g_context.overrideExitCode = exitCode;
}

BOOL ActionIsInitialized() {
    return g_context.initialized != 0;
}

LPCSTR ActionLogName() {
    return g_context.logName;
}

void LogLine(int level, LPCSTR format, ...) {
    va_list args;
    va_start(args, format);
    WriteLineV(level, nullptr, format, args);
    va_end(args);
}

void LogFailure(HRESULT status, LPCSTR format, ...) {
    if (!ActionIsInitialized()) {
        return;
    }
    // The line is "Error 0x%x: " and the message, formatted once from the caller's
    // format, so a '%' inside an argument is printed as is.
    va_list args;
    va_start(args, format);
    WriteLineV(LogStandard, &status, format, args);
    va_end(args);
}

int IsVerboseLogging() {
    if (g_verboseLoggingCache >= 0) {
        return g_verboseLoggingCache;
    }
    // A size query: any non-empty value counts, "0" included.
    char empty[1] = "";
    DWORD length = 0;
    MsiGetPropertyA(g_context.installHandle, kVerboseProperty, empty, &length);
    g_verboseLoggingCache = (length != 0) ? 1 : 0;
    if (g_verboseLoggingCache == 0 && PolicyAsksForVerbose()) {
        g_verboseLoggingCache = 1;
    }
    return g_verboseLoggingCache;
}

int SendInstallerMessage(INSTALLMESSAGE type, MSIHANDLE record) {
    const int answer = MsiProcessMessage(g_context.installHandle, type, record);
    if (answer == IDCANCEL || answer == static_cast<int>(ERROR_INSTALL_USEREXIT)) {
        ActionSetOverrideExitCode(ERROR_INSTALL_USEREXIT);
    }
    return answer;
}

HRESULT PropertySet(LPCWSTR name, LPCWSTR value) {
    if (name == nullptr || name[0] == 0 || value == nullptr) {
        return E_INVALIDARG;
    }
    const HRESULT hr =
        FoldWin32Error(static_cast<LONG>(MsiSetPropertyW(g_context.installHandle, name, value)));
    if (FAILED(hr)) {
        LogFailure(hr, "failed to set property: %S", name);
    }
    return hr;
}
