// CAUpdateOfflineReg: one chain of steps inside the common action frame, between
// the XML layer's start-up and its shut-down. The first failing step logs its line
// and skips to the clean-up; the page is written only by the merge's last step, so
// a failure anywhere leaves it as it was. The merge consumes the placeholders: a
// second run against the same page fails with 1603.
#include "actions/update_offline_reg.h"

#include "actions/registration_files.h"
#include "runtime/com_owners.h"
#include "runtime/context_log.h"
#include "runtime/file_io.h"
#include "runtime/heap_string.h"
#include "runtime/installer.h"
#include "runtime/progress.h"
#include "runtime/property.h"
#include "runtime/xml_doc.h"

namespace {

// The page counts for this many ticks of the installer's progress bar.
constexpr int kProgressTicks = 3000;

// The steps after the action has begun. The owners are declared so that they are
// released in the clean-up order: the service tag bytes, the registry URN, the
// service tag path, the encoded service tag, the install path.
HRESULT UpdateOfflineRegistration() {
    HRESULT hr = XmlStartup();
    if (FAILED(hr)) {
        LogFailure(hr, "failed to initialize xml utilities");
        return hr;
    }

    HeapString installPath;
    ScopedHeap<CHAR> encodedTag;
    HeapString serviceTagPath;
    ScopedBstr registryUrn;
    ByteBuffer serviceTag;
    DWORD serviceTagSize = 0;
    DWORD inputMode = kInputImmediate;

    hr = ReadActionInput(WSTR("UpdateRegistration"), installPath.address(), &inputMode);
    if (FAILED(hr)) {
        LogFailure(hr, "failed to get install path");
        return hr;
    }
    LogLine(LogTrace, "installPath = %wS.", installPath.get());

    hr = WStrPrintf(serviceTagPath.address(), WSTR("%wS%wS"), installPath.get(), SVCTAGFNAME);
    if (FAILED(hr)) {
        LogFailure(hr, "failed to create service tag path");
        return hr;
    }
    LogLine(LogTrace, "serviceTagPath = %wS.", serviceTagPath.get());

    hr = ReadRegistryUrn(serviceTagPath.get(), registryUrn.address());
    if (FAILED(hr)) {
        LogFailure(hr, "failed to get registryUrn");
        return hr;
    }
    LogLine(LogTrace, "registryUrn = %wS.", registryUrn.get());

    hr = ReadWholeFile(serviceTag.address(), &serviceTagSize, serviceTagPath.get());
    if (FAILED(hr)) {
        LogFailure(hr, "failed to read Service Tag Contents.");
        return hr;
    }
    LogLine(LogTrace, "read serviceTag file");

    hr = EncodeServiceTag(encodedTag.address(), serviceTag.get(), serviceTagSize);
    if (FAILED(hr)) {
        LogFailure(hr, "failed to encode service tag.");
        return hr;
    }

    hr = MergeOfflineRegistration(installPath.get(), registryUrn.get(), encodedTag.get());
    if (FAILED(hr)) {
        LogFailure(hr, "failed to write offline registration file.");
        return hr;
    }

    // A cancel answered here is not a failure: it is recorded and the action ends
    // with 1602.
    hr = ReportProgress(kProgressTicks, inputMode);
    if (FAILED(hr)) {
        LogFailure(hr, "failed to send progress message");
    }
    return hr;
}

}  // namespace

OSTREL_CA_EXPORT CAUpdateOfflineReg(MSIHANDLE install) {
    HRESULT hr = ActionBegin(install, "CAUpdateOfflineReg");
    if (FAILED(hr)) {
        LogFailure(hr, "failed to initialize");
    } else {
        hr = UpdateOfflineRegistration();
    }
    // On every path: it does nothing unless a start-up got past CoInitialize, and
    // balances one that failed afterwards (no document class found).
    XmlShutdown();
    return ActionEnd(FAILED(hr) ? kExitFailure : kExitSuccess);
}
