// CASendServiceTag: registers the installed product online. It reads the
// installation directory from its input ("PostRegistration", or CustomActionData
// when deferred), posts the installed svctag.xml to the address in the form action
// of the installed register.htm, and then opens the user's browser: on that address
// when the service answered 200, on the local register.htm otherwise, so that the
// user can still register through the offline page.
//
// Unlike the other actions it carries on past a failed upload: the upload's status
// still decides the exit code (1603 after a failed upload, even with the local page
// open), and a failed browser launch replaces it.
#include "actions/registration_files.h"
#include "actions/upload.h"
#include "module/exports.h"
#include "runtime/context_log.h"
#include "runtime/file_io.h"
#include "runtime/heap_string.h"
#include "runtime/installer.h"
#include "runtime/property.h"
#include "runtime/status.h"

namespace {

// ShellExecuteW answers a value above this when it opened the file.
constexpr INT_PTR kLastLaunchFailure = 32;

HRESULT SendServiceTag() {
    // Declared so that the clean-up frees the service tag bytes, the payload
    // destination, the local page path and the service tag path, in that order.
    HeapString tagPath;
    HeapString input;  // the installation directory, then the local page's path
    HeapString destination;
    ByteBuffer tag;
    DWORD tagSize = 0;
    DWORD inputMode = kInputImmediate;

    LogLine(LogTrace, "started");
    HRESULT hr = ReadActionInput(WSTR("PostRegistration"), input.address(), &inputMode);
    if (FAILED(hr)) {
        LogFailure(hr, "failed to get PostRegistration PROPERTY.");
        return hr;
    }
    LogLine(LogTrace, "offlineReg = %wS.", input.get());

    // The directory ends in a separator: the file names are appended without one.
    hr = WStrCopy(tagPath.address(), input.get(), 0);
    if (FAILED(hr)) {
        LogFailure(hr, "failed to copy INSTALLDIR.");
        return hr;
    }
    LogLine(LogTrace, "copied");
    hr = WStrAppend(input.address(), OFFREGFNAME, 0);
    if (FAILED(hr)) {
        LogFailure(hr, "failed to append OFFREGFNAME.");
        return hr;
    }
    hr = WStrAppend(tagPath.address(), SVCTAGFNAME, 0);
    if (FAILED(hr)) {
        LogFailure(hr, "failed to append SVCTAGFNAME.");
        return hr;
    }
    LogLine(LogTrace, "appended");

    hr = ReadPayloadDestination(input.get(), destination.address());
    if (FAILED(hr)) {
        LogFailure(hr, "failed to get payload destination");
        return hr;
    }
    LogLine(LogTrace, "payloadDest = %wS.", destination.get());

    hr = ReadWholeFile(tag.address(), &tagSize, tagPath.get());
    if (FAILED(hr)) {
        LogFailure(hr, "failed to read Service Tag Contents from %wS.", tagPath.get());
        return hr;
    }
    LogLine(LogTrace, "read serviceTag file");

    // A failed upload is not the end: the browser then opens the local page.
    hr = PostServiceTag(destination.get(), tag.get(), tagSize);
    const LPCWSTR page = SUCCEEDED(hr) ? destination.get() : input.get();
    const INT_PTR launched = reinterpret_cast<INT_PTR>(
        ShellExecuteW(nullptr, WSTR("open"), page, nullptr, nullptr, SW_SHOWNORMAL));
    if (launched <= kLastLaunchFailure) {
        hr = LastErrorStatus();
        LogFailure(hr, "Failed to launch browser.");
    }
    return hr;
}

}  // namespace

OSTREL_CA_EXPORT CASendServiceTag(MSIHANDLE install) {
    HRESULT hr = ActionBegin(install, "CASendServiceTag");
    if (FAILED(hr)) {
        LogFailure(hr, "failed to initialize");
    } else {
        hr = SendServiceTag();
    }
    return ActionEnd(FAILED(hr) ? kExitFailure : kExitSuccess);
}
