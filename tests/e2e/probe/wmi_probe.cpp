// wmi_probe.exe: what CAQueryWMI should set, worked out independently through the
// same WMI, for the end-to-end tests.
//
//   wmi_probe.exe OUTPUT TABLE STATEMENT [TABLE STATEMENT ...]
//
// For each statement it runs the query against ROOT\CIMV2 (semisynchronous and
// forward-only, as the action does), walks every row's non-system properties and
// keeps, per property "TABLE_COLUMN", the text of its value by the action's
// VARTYPE table (VariantToText), merged over the rows by the same rule (a value whose
// first four characters differ from the start of what the property holds is
// appended behind a comma, else it replaces it; an empty value removes the
// property). The table name is the harness's to compute and is passed in.
//
// OUTPUT receives UTF-8 lines "INDEX<TAB>NAME<TAB>VARTYPE<TAB>VALUE", INDEX being
// the statement's position (0 for the first), VARTYPE that of the last value
// taken, then one line "INDEX<TAB>#status<TAB>0<TAB>0xHHHHHHHH" with the answer
// that ended the rows. Nothing of the library is used: this is a second
// implementation to hold the first to.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <wbemidl.h>

#include <cstdio>
#include <cwchar>
#include <map>
#include <string>
#include <vector>

namespace {

// The text of a value by its VARTYPE, formatted by the C runtime.
std::wstring TextOf(const VARIANT& value) {
    wchar_t buffer[128] = {};
    switch (value.vt) {
        case VT_NULL:
            return L"<null>";
        case VT_I2:
            _snwprintf(buffer, 127, L"%hu (0x%hX)", static_cast<unsigned short>(value.iVal),
                       static_cast<unsigned short>(value.iVal));
            return buffer;
        case VT_I4:
            _snwprintf(buffer, 127, L"%d (0x%X)", static_cast<int>(value.lVal),
                       static_cast<unsigned>(value.lVal));
            return buffer;
        case VT_R4:
            _snwprintf(buffer, 127, L"%10.4f", static_cast<double>(value.fltVal));
            return buffer;
        case VT_R8:
            _snwprintf(buffer, 127, L"%10.4f", value.dblVal);
            return buffer;
        case VT_BSTR:
            return value.bstrVal == nullptr ? std::wstring(L"(null)") : std::wstring(value.bstrVal);
        case VT_BOOL:
            return value.boolVal != 0 ? L"TRUE" : L"FALSE";
        case VT_UI1:
            if (value.bVal >= 32) {
                _snwprintf(buffer, 127, L"'%c' (%hu, 0x%hX)", static_cast<wchar_t>(value.bVal),
                           static_cast<unsigned short>(value.bVal),
                           static_cast<unsigned short>(value.bVal));
            } else {
                _snwprintf(buffer, 127, L"%hu (0x%hX)", static_cast<unsigned short>(value.bVal),
                           static_cast<unsigned short>(value.bVal));
            }
            return buffer;
        default:
            return L"BAD_TYPE";
    }
}

std::string Utf8(const std::wstring& text) {
    if (text.empty()) {
        return std::string();
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], size,
                        nullptr, nullptr);
    return bytes;
}

struct Property {
    std::wstring value;
    VARTYPE vt;
};

// Runs one statement; the properties in the order first set, and the answer that
// ended the rows (or the failing call's).
HRESULT Probe(IWbemServices* services, const std::wstring& table, const std::wstring& statement,
              std::vector<std::wstring>* order, std::map<std::wstring, Property>* properties) {
    BSTR language = SysAllocString(L"WQL");
    BSTR query = SysAllocString(statement.c_str());
    IEnumWbemClassObject* rows = nullptr;
    HRESULT hr = services->ExecQuery(
        language, query, WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY, nullptr, &rows);
    SysFreeString(language);
    SysFreeString(query);
    if (FAILED(hr)) {
        return hr;
    }
    for (;;) {
        IWbemClassObject* row = nullptr;
        ULONG returned = 0;
        hr = rows->Next(WBEM_INFINITE, 1, &row, &returned);
        if (hr != WBEM_S_NO_ERROR || returned != 1) {
            break;
        }
        if (SUCCEEDED(row->BeginEnumeration(WBEM_FLAG_NONSYSTEM_ONLY))) {
            BSTR name = nullptr;
            VARIANT value;
            VariantInit(&value);
            while (row->Next(0, &name, &value, nullptr, nullptr) == WBEM_S_NO_ERROR) {
                const std::wstring key = table + L"_" + std::wstring(name ? name : L"(null)");
                const std::wstring text = TextOf(value);
                auto found = properties->find(key);
                if (text.empty()) {
                    if (found != properties->end()) {
                        properties->erase(found);
                    }
                } else if (found == properties->end()) {
                    (*properties)[key] = Property{text, value.vt};
                    order->push_back(key);
                } else if (wcsncmp(found->second.value.c_str(), text.c_str(), 4) == 0) {
                    found->second = Property{text, value.vt};
                } else {
                    found->second = Property{found->second.value + L"," + text, value.vt};
                }
                SysFreeString(name);
                name = nullptr;
                VariantClear(&value);
            }
            row->EndEnumeration();
        }
        row->Release();
    }
    rows->Release();
    return hr;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 4 || argc % 2 != 0) {
        std::fwprintf(stderr, L"usage: wmi_probe OUTPUT TABLE STATEMENT [TABLE STATEMENT ...]\n");
        return 2;
    }
    FILE* out = _wfopen(argv[1], L"wb");
    if (out == nullptr) {
        std::fwprintf(stderr, L"cannot write %ls\n", argv[1]);
        return 2;
    }
    int status = 0;
    HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    IWbemLocator* locator = nullptr;
    IWbemServices* services = nullptr;
    if (SUCCEEDED(hr)) {
        hr = CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                              reinterpret_cast<void**>(&locator));
    }
    if (SUCCEEDED(hr)) {
        BSTR nameSpace = SysAllocString(L"ROOT\\CIMV2");
        hr = locator->ConnectServer(nameSpace, nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                    &services);
        SysFreeString(nameSpace);
    }
    if (SUCCEEDED(hr)) {
        hr = CoSetProxyBlanket(services, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                               RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr,
                               EOAC_NONE);
    }
    if (FAILED(hr)) {
        std::fwprintf(stderr, L"WMI is not usable: 0x%08lx\n", static_cast<unsigned long>(hr));
        status = 1;
    } else {
        for (int i = 2; i + 1 < argc; i += 2) {
            std::vector<std::wstring> order;
            std::map<std::wstring, Property> properties;
            const HRESULT ended = Probe(services, argv[i], argv[i + 1], &order, &properties);
            const int index = (i - 2) / 2;
            for (const std::wstring& name : order) {
                auto found = properties.find(name);
                if (found != properties.end()) {
                    std::fprintf(out, "%d\t%s\t%u\t%s\n", index, Utf8(name).c_str(),
                                 static_cast<unsigned>(found->second.vt),
                                 Utf8(found->second.value).c_str());
                }
            }
            std::fprintf(out, "%d\t#status\t0\t0x%08lx\n", index,
                         static_cast<unsigned long>(ended));
        }
    }
    if (services != nullptr) {
        services->Release();
    }
    if (locator != nullptr) {
        locator->Release();
    }
    CoUninitialize();
    std::fclose(out);
    return status;
}
