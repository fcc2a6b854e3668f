// The action context and the installer log: ActionBegin/ActionEnd, LogLine,
// LogFailure, IsVerboseLogging, SendInstallerMessage and PropertySet.
//
// A log line is built in two static 2048-character buffers without touching the
// heap (the joined format "name:  format", then the finished text) and sent as an
// information message with one field. A line asked for while another is being
// built (from inside the installer's answer, or a second thread) is dropped
// rather than waited for.
#include "runtime/context_log.h"

#include "runtime/installer.h"
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
char g_logFormatBuffer[kLogLineCapacity];
char g_logTextBuffer[kLogLineCapacity];
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
void SendLogLine(LPCSTR text) {
    ScopedMsiHandle record(MsiCreateRecord(1));
    MsiRecordSetStringA(record.get(), 0, text);
    SendInstallerMessage(INSTALLMESSAGE_INFO, record.get());
}

void LogLineV(int level, LPCSTR format, va_list args) {
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
        // Truncation is ignored in both steps: a cut line is still sent.
        if (g_context.logName[0] != '\0') {
            StringCchPrintfA(g_logFormatBuffer, kLogLineCapacity, "%s:  %s", g_context.logName,
                             format);
        } else {
            StringCchCopyA(g_logFormatBuffer, kLogLineCapacity, format);
        }
        StringCchVPrintfA(g_logTextBuffer, kLogLineCapacity, g_logFormatBuffer, args);
        SendLogLine(g_logTextBuffer);
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
    LogLineV(level, format, args);
    va_end(args);
}

void LogFailure(HRESULT status, LPCSTR format, ...) {
    char message[kLogLineCapacity];
    va_list args;
    va_start(args, format);
    StringCchVPrintfA(message, kLogLineCapacity, format, args);
    va_end(args);
    if (ActionIsInitialized()) {
        // The message goes in as an argument, so a '%' inside it is printed as is.
        LogLine(LogStandard, "Error 0x%x: %s", static_cast<unsigned>(status), message);
    }
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
