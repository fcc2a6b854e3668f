// CASetRegDateTime and CACreateURN: one short chain of steps each inside the
// common action frame. The first failing step logs its line and skips to the
// clean-up; the property then keeps whatever value it had before.
#include "actions/stamp_actions.h"

#include "runtime/context_log.h"
#include "runtime/heap_string.h"
#include "runtime/installer.h"
#include "runtime/status.h"

namespace {

// The UUID's text as the RPC runtime hands it out, released with RpcStringFreeW.
class RpcString {
  public:
    RpcString() = default;
    ~RpcString() {
        if (text_ != nullptr) {
            RpcStringFreeW(&text_);
        }
    }
    RpcString(const RpcString&) = delete;
    RpcString& operator=(const RpcString&) = delete;
    RPC_WSTR* address() { return &text_; }
    RPC_WSTR get() const { return text_; }

  private:
    RPC_WSTR text_ = nullptr;
};

UINT ExitCodeFor(HRESULT status) {
    return ActionEnd(FAILED(status) ? kExitFailure : kExitSuccess);
}

HRESULT StampDateTime() {
    SYSTEMTIME now = {};
    GetSystemTime(&now);

    HeapString value;
    HRESULT hr = WStrPrintf(value.address(), WSTR("%04d-%02d-%02d %02d:%02d:%02d UTC"),
                            static_cast<int>(now.wYear), static_cast<int>(now.wMonth),
                            static_cast<int>(now.wDay), static_cast<int>(now.wHour),
                            static_cast<int>(now.wMinute), static_cast<int>(now.wSecond));
    if (FAILED(hr)) {
        LogFailure(hr, "failed to create string");
        return hr;
    }
    hr = PropertySet(WSTR("SysDateTime"), value.get());
    if (FAILED(hr)) {
        LogFailure(hr, "failed to set SysDateTime PROPERTY");
    }
    return hr;
}

HRESULT CreateUrn() {
    UUID uuid = {};
    const RPC_STATUS created = UuidCreate(&uuid);
    // A UUID unique on this computer only is still a usable instance identifier.
    if (created != RPC_S_OK && created != RPC_S_UUID_LOCAL_ONLY) {
        const HRESULT hr = FoldWin32Error(created);
        LogFailure(hr, "Could not create UUID");
        return hr;
    }

    RpcString uuidText;
    const RPC_STATUS converted = UuidToStringW(&uuid, uuidText.address());
    if (converted != RPC_S_OK) {
        const HRESULT hr = FoldWin32Error(converted);
        LogFailure(hr, "Could not convert UUID string");
        return hr;
    }

    HeapString value;
    HRESULT hr = WStrPrintf(value.address(), WSTR("urn:st:uuid:%wS"), uuidText.get());
    if (FAILED(hr)) {
        LogFailure(hr, "Could not add new urn string");
        return hr;
    }
    hr = PropertySet(WSTR("NewURN"), value.get());
    if (FAILED(hr)) {
        LogFailure(hr, "Could not set NewURN PROPERTY");
        return hr;
    }
    LogLine(LogTrace, "Set NewURN PROPERTY to: %wS", value.get());
    return hr;
}

}  // namespace

OSTREL_CA_EXPORT CASetRegDateTime(MSIHANDLE install) {
    HRESULT hr = ActionBegin(install, "CASetRegDateTime");
    if (FAILED(hr)) {
        LogFailure(hr, "failed to initialize");
    } else {
        hr = StampDateTime();
    }
    return ExitCodeFor(hr);
}

OSTREL_CA_EXPORT CACreateURN(MSIHANDLE install) {
    HRESULT hr = ActionBegin(install, "CACreateURN");
    if (FAILED(hr)) {
        LogFailure(hr, "failed to initialize");
    } else {
        hr = CreateUrn();
    }
    return ExitCodeFor(hr);
}
