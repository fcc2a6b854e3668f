// CoSetProxyBlanket: the security settings of the calls made through a proxy.
// The layer's objects live in the calling process and have no proxy, so nothing is
// kept; the call checks its object, writes its arguments to the call journal and
// can be made to fail through the seams.
#include "platform/posix/ole32/com_internal.h"
#include "platform/posix/shared/seams.h"

HRESULT CoSetProxyBlanket(IUnknown* proxy, DWORD authnService, DWORD authzService,
                          OLECHAR* serverPrincipalName, DWORD authnLevel, DWORD impLevel,
                          RPC_AUTH_IDENTITY_HANDLE authInfo, DWORD capabilities) {
    if (ComJournalOn()) {
        ComJournal("CoSetProxyBlanket(" + ComJournalPointer(proxy) + ", " +
                   std::to_string(authnService) + ", " + std::to_string(authzService) + ", " +
                   ComJournalText(serverPrincipalName) + ", " + std::to_string(authnLevel) + ", " +
                   std::to_string(impLevel) + ", " + ComJournalPointer(authInfo) + ", " +
                   std::to_string(capabilities) + ")");
    }
    uint32_t code = 0;
    if (SeamCallFails("CoSetProxyBlanket", &code)) {
        return static_cast<HRESULT>(code);
    }
    if (proxy == nullptr) {
        return E_INVALIDARG;
    }
    return S_OK;
}
