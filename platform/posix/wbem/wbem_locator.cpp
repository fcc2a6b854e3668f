// The WMI locator (CLSID_WbemLocator, IWbemLocator), registered in ole32's class
// registry: ConnectServer hands out the services of the local namespace
// ROOT\CIMV2, named alone ("ROOT\CIMV2", any case, either slash) or behind this
// machine's name ("\\.\root\cimv2", "//localhost/root/cimv2", "\\NAME\root\cimv2").
// Another namespace is WBEM_E_INVALID_NAMESPACE, another machine the RPC error for
// a server that cannot be reached, and a user name for the local machine
// WBEM_E_LOCAL_CREDENTIALS, as WMI answers them.
#include <new>

#include "platform/posix/ole32/com_internal.h"
#include "platform/posix/shared/seams.h"
#include "platform/posix/wbem/wbem_internal.h"

const CLSID CLSID_WbemLocator = {
    0x4590F811, 0x1D3A, 0x11D0, {0x89, 0x1F, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};
const IID IID_IWbemLocator = {
    0xDC12A687, 0x737F, 0x11CF, {0x88, 0x4D, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};
const IID IID_IWbemServices = {
    0x9556DC99, 0x828C, 0x11CF, {0xA3, 0x7E, 0x00, 0xAA, 0x00, 0x32, 0x40, 0xC7}};
const IID IID_IEnumWbemClassObject = {
    0x027947E1, 0xD731, 0x11CE, {0xA3, 0x57, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01}};
const IID IID_IWbemClassObject = {
    0xDC12A681, 0x737F, 0x11CF, {0x88, 0x4D, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};

// RPC_S_SERVER_UNAVAILABLE as an HRESULT: what connecting to another machine gives.
constexpr HRESULT kServerUnavailable = static_cast<HRESULT>(0x800706BA);

bool WbemMethodFails(const char* name, HRESULT* hr) {
    uint32_t code = 0;
    if (SeamCallFails(name, &code)) {
        *hr = static_cast<HRESULT>(code);
        return true;
    }
    return false;
}

namespace {

bool IsSlash(char16_t c) {
    return c == u'\\' || c == u'/';
}

// Whether `path` names ROOT\CIMV2 of this machine; *remote when it names another.
bool IsLocalCimv2(const std::u16string& path, bool* remote) {
    std::u16string rest = path;
    *remote = false;
    if (rest.size() >= 2 && IsSlash(rest[0]) && IsSlash(rest[1])) {
        const size_t end = rest.find_first_of(u"\\/", 2);
        if (end == std::u16string::npos) {
            return false;
        }
        const std::u16string server = rest.substr(2, end - 2);
        if (server != u"." && !WqlSameName(server, u"localhost") &&
            !WqlSameName(server, WbemComputerName())) {
            *remote = true;
            return false;
        }
        rest = rest.substr(end + 1);
    }
    return rest.size() == 10 && WqlSameName(rest.substr(0, 4), u"ROOT") && IsSlash(rest[4]) &&
           WqlSameName(rest.substr(5), u"CIMV2");
}

class WbemLocator final : public IWbemLocator {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        return QueryOneInterface<IWbemLocator>(this, iid, IID_IWbemLocator, object);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return refs_.Add(); }
    ULONG STDMETHODCALLTYPE Release() override {
        return ReleaseWithJournal(refs_, this, "IWbemLocator");
    }

    HRESULT STDMETHODCALLTYPE ConnectServer(const BSTR networkResource, const BSTR user,
                                            const BSTR password, const BSTR locale,
                                            LONG securityFlags, const BSTR authority,
                                            IWbemContext* context,
                                            IWbemServices** services) override {
        if (ComJournalOn()) {
            ComJournal("IWbemLocator::ConnectServer(" + ComJournalText(networkResource) + ", " +
                       ComJournalText(user) + ", " + ComJournalText(password) + ", " +
                       ComJournalText(locale) + ", " + std::to_string(securityFlags) + ", " +
                       ComJournalText(authority) + ", " + ComJournalPointer(context) + ")");
        }
        if (services == nullptr || networkResource == nullptr) {
            return WBEM_E_INVALID_PARAMETER;
        }
        *services = nullptr;
        HRESULT hr = S_OK;
        if (WbemMethodFails("IWbemLocator::ConnectServer", &hr)) {
            return hr;
        }
        bool remote = false;
        bool local = false;
        try {
            local = IsLocalCimv2(std::u16string(networkResource, SysStringLen(networkResource)),
                                 &remote);
        } catch (const std::bad_alloc&) {
            return WBEM_E_OUT_OF_MEMORY;
        }
        if (remote) {
            return kServerUnavailable;
        }
        if (!local) {
            return WBEM_E_INVALID_NAMESPACE;
        }
        if (user != nullptr && user[0] != 0) {
            return WBEM_E_LOCAL_CREDENTIALS;
        }
        *services = CreateWbemServices();
        return *services == nullptr ? WBEM_E_OUT_OF_MEMORY : WBEM_S_NO_ERROR;
    }

  private:
    friend class ::ComReferences;
    ~WbemLocator() = default;

    ComReferences refs_;
};

}  // namespace

IUnknown* CreateWbemLocator() {
    return new (std::nothrow) WbemLocator();
}
