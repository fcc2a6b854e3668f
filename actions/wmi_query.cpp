// CAQueryWMI: one chain of steps inside the common action frame.
//
//   COM, the WMI locator, the connection to ROOT\CIMV2 and its proxy blanket; the
//   statement from the action input; the table name (what follows the first
//   "Win32_" up to the first blank); the query; then every column of every row
//   into a property, and one progress message.
//
// The first failing step of the chain logs its line and ends the action with
// 1603. Inside the row and column loops nothing fails the action: an enumerator
// error ends the rows with one line, and a column that cannot be stored is
// skipped, logged (if at all) by the operation that failed.
#include "actions/wmi_query.h"

#include "runtime/com_owners.h"
#include "runtime/context_log.h"
#include "runtime/heap_string.h"
#include "runtime/installer.h"
#include "runtime/progress.h"
#include "runtime/property.h"

namespace {

// CLSID_WbemLocator and IID_IWbemLocator, by number, so that no
// interface-identifier library is needed.
const CLSID kClsidWbemLocator = {
    0x4590F811, 0x1D3A, 0x11D0, {0x89, 0x1F, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};
const IID kIidWbemLocator = {
    0xDC12A687, 0x737F, 0x11CF, {0x88, 0x4D, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};

constexpr int kProgressTicks = 2000;
// 48: forward-only and semisynchronous, the cheapest way WMI hands out rows.
constexpr LONG kQueryFlags = WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY;
// The prefix every class name of the statement starts with; the table name
// follows it.
const WCHAR kClassPrefix[] = WSTR("Win32_");
constexpr DWORD kClassPrefixLength = 6;
// Values whose first four characters match replace each other in a property.
constexpr int kMergeLength = 4;

// The first occurrence of `needle` in `text` (exact, case-sensitive), or null.
LPCWSTR FindText(LPCWSTR text, LPCWSTR needle) {
    for (; *text != 0; ++text) {
        DWORD i = 0;
        while (needle[i] != 0 && text[i] == needle[i]) {
            ++i;
        }
        if (needle[i] == 0) {
            return text;
        }
    }
    return nullptr;
}

// wcsncmp(left, right, 4) == 0: unit by unit, case-sensitive, over at most four
// units, stopping at the end of both.
bool SameStart(LPCWSTR left, LPCWSTR right) {
    for (int i = 0; i < kMergeLength; ++i) {
        if (left[i] != right[i]) {
            return false;
        }
        if (left[i] == 0) {
            return true;
        }
    }
    return true;
}

// Cuts the table name just before its first blank (U+0020); only the blank ends
// it: a tab, a line break, a comma or a quote stays in the name.
HRESULT CutAtBlank(LPWSTR* tableName) {
    DWORD blank = 0;
    while ((*tableName)[blank] != 0 && (*tableName)[blank] != WSTR(' ')) {
        ++blank;
    }
    if ((*tableName)[blank] == 0) {
        return S_OK;
    }
    // A count of 0 would copy the whole name: a name that starts with the blank
    // becomes empty instead.
    if (blank == 0) {
        return WStrCopy(tableName, WSTR(""), 0);
    }
    return WStrCopy(tableName, *tableName, blank);
}

// Stores one column as the property "<table>_<column>", merged with the value the
// property holds already. Frees the column's name and value once their text is
// made.
void CopyColumn(LPCWSTR tableName, ScopedBstr* columnName, ScopedVariant* columnValue) {
    HeapString propertyName;
    const HRESULT named =
        WStrPrintf(propertyName.address(), WSTR("%wS_%wS"), tableName, columnName->get());
    HeapString valueText;
    HRESULT texted = E_FAIL;
    if (SUCCEEDED(named)) {
        texted = VariantToText(columnValue->get(), valueText.address());
    }
    columnName->Reset();
    columnValue->Reset();
    if (FAILED(named)) {
        return;  // no name, no property
    }
    // A value whose text could not be made counts as empty.
    LPCWSTR text = (SUCCEEDED(texted) && valueText.get() != nullptr) ? valueText.get() : WSTR("");
    LogLine(LogTrace, "Column: %wS.", propertyName.get());
    LogLine(LogTrace, "Value : %wS.", text);

    WCHAR empty[1] = {0};
    DWORD length = 0;
    MsiGetPropertyW(ActionGetInstallHandle(), propertyName.get(), empty, &length);
    HeapString oldValue;
    if (length > 0) {
        PropertyGet(propertyName.get(), oldValue.address());  // a failure logs its own line
    }
    // An old value that differs in its first four characters keeps its place and
    // gets the new text appended behind a comma; otherwise the new text replaces
    // it. An old value that could not be read (empty) is no old value: the new
    // text does not start with a comma.
    LPCWSTR newValue = text;
    if (oldValue.get() != nullptr && oldValue.get()[0] != 0 && !SameStart(oldValue.get(), text)) {
        if (FAILED(WStrAppend(oldValue.address(), WSTR(","), 0)) ||
            FAILED(WStrAppend(oldValue.address(), text, 0))) {
            return;  // the merged value cannot be made: the property keeps its value
        }
        newValue = oldValue.get();
    }
    PropertySet(propertyName.get(), newValue);  // a failure logs its own line
}

// Stores every column of one row other than the system properties.
void CopyRow(IWbemClassObject* row, LPCWSTR tableName) {
    if (FAILED(row->BeginEnumeration(WBEM_FLAG_NONSYSTEM_ONLY))) {
        LogLine(LogTrace, "Enum->Next Failed. Check output.");
    } else {
        for (;;) {
            ScopedBstr columnName;
            ScopedVariant columnValue;
            if (row->Next(0, columnName.address(), columnValue.get(), nullptr, nullptr) !=
                WBEM_S_NO_ERROR) {
                break;  // WBEM_S_NO_MORE_DATA or an error: the columns are over
            }
            CopyColumn(tableName, &columnName, &columnValue);
        }
    }
    row->EndEnumeration();
}

HRESULT QueryWmi() {
    // Declared first, so that it ends last: every interface below is released
    // before COM is uninitialised.
    ComApartment com;
    HRESULT hr = com.status();
    if (FAILED(hr)) {
        LogFailure(hr, "failed to initialize COM");
        return hr;
    }
    HeapString statement;
    HeapString tableName;
    ScopedCom<IWbemLocator> locator;
    ScopedCom<IWbemServices> services;
    ScopedCom<IEnumWbemClassObject> rows;

    hr = CoCreateInstance(kClsidWbemLocator, nullptr, CLSCTX_INPROC_SERVER, kIidWbemLocator,
                          reinterpret_cast<LPVOID*>(locator.address()));
    if (FAILED(hr)) {
        LogFailure(hr, "Could not connect to WMI Locator");
        return hr;
    }
    {
        const ScopedBstr nameSpace(WSTR("ROOT\\CIMV2"));
        hr = nameSpace.get() == nullptr
                 ? E_OUTOFMEMORY
                 : locator->ConnectServer(nameSpace.get(), nullptr, nullptr, nullptr, 0, nullptr,
                                          nullptr, services.address());
    }
    if (FAILED(hr)) {
        LogFailure(hr, "Could not connect to WMI Server");
        return hr;
    }
    hr = CoSetProxyBlanket(services.get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                           RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
    if (FAILED(hr)) {
        LogFailure(hr, "Could not set Proxy Blanket");
        return hr;
    }

    DWORD inputMode = kInputImmediate;
    hr = ReadActionInput(WSTR("WMIQuery"), statement.address(), &inputMode);
    if (FAILED(hr)) {
        LogFailure(hr, "Unable to get WQL Statement");
        return hr;
    }
    const LPCWSTR prefix = FindText(statement.get(), kClassPrefix);
    if (prefix == nullptr) {
        hr = E_INVALIDARG;
        LogFailure(hr, "Query must contain a Win32 table name.");
        return hr;
    }
    hr = WStrCopy(tableName.address(), prefix + kClassPrefixLength, 0);
    if (FAILED(hr)) {
        LogFailure(hr, "Could Not Parse WQL Statement");
        return hr;
    }
    hr = CutAtBlank(tableName.address());
    if (FAILED(hr)) {
        LogFailure(hr, "Could Not isolate table name.");
        return hr;
    }

    {
        const ScopedBstr language(WSTR("WQL"));
        const ScopedBstr query(statement.get());
        hr = (language.get() == nullptr || query.get() == nullptr)
                 ? E_OUTOFMEMORY
                 : services->ExecQuery(language.get(), query.get(), kQueryFlags, nullptr,
                                       rows.address());
    }
    if (FAILED(hr)) {
        LogFailure(hr, "Could not query WMI");
        return hr;
    }

    for (;;) {
        ScopedCom<IWbemClassObject> row;
        ULONG returned = 0;
        const HRESULT next =
            rows->Next(static_cast<LONG>(WBEM_INFINITE), 1, row.address(), &returned);
        if (next != WBEM_S_NO_ERROR || returned != 1) {
            // The end of the rows, or an error: neither fails the action, since
            // inventory never fails an install. An error is written all the same, so
            // that a misspelt class does not read like a machine without one.
            if (FAILED(next)) {
                LogLine(LogStandard, "query results ended with error 0x%x",
                        static_cast<unsigned>(next));
            }
            break;
        }
        CopyRow(row.get(), tableName.get());
    }

    hr = ReportProgress(kProgressTicks, inputMode);
    if (FAILED(hr)) {
        LogFailure(hr, "failed to send progress message");
    }
    return hr;
}

}  // namespace

HRESULT VariantToText(const VARIANT* value, LPWSTR* text) {
    HRESULT hr = S_OK;
    switch (V_VT(value)) {
        case VT_NULL:
            hr = WStrCopy(text, WSTR("<null>"), 0);
            break;
        case VT_I2: {
            const unsigned bits = static_cast<USHORT>(V_I2(value));
            hr = WStrPrintf(text, WSTR("%hu (0x%hX)"), bits, bits);
            break;
        }
        case VT_I4:
            hr = WStrPrintf(text, WSTR("%d (0x%X)"), static_cast<int>(V_I4(value)),
                            static_cast<unsigned>(V_I4(value)));
            break;
        case VT_R4:
            hr = WStrPrintf(text, WSTR("%10.4f"), static_cast<double>(V_R4(value)));
            break;
        case VT_R8:
            hr = WStrPrintf(text, WSTR("%10.4f"), V_R8(value));
            break;
        case VT_BSTR:
            hr = WStrPrintf(text, WSTR("%wS"), V_BSTR(value));
            break;
        case VT_BOOL:
            hr = WStrCopy(text, V_BOOL(value) != 0 ? WSTR("TRUE") : WSTR("FALSE"), 0);
            break;
        case VT_UI1: {
            const unsigned octet = V_UI1(value);
            hr = octet >= 0x20 ? WStrPrintf(text, WSTR("'%c' (%hu, 0x%hX)"), octet, octet, octet)
                               : WStrPrintf(text, WSTR("%hu (0x%hX)"), octet, octet);
            break;
        }
        default:
            hr = WStrCopy(text, WSTR("BAD_TYPE"), 0);
            break;
    }
    if (FAILED(hr)) {
        LogFailure(hr, "Failed to convert Variant to String.");
    }
    return hr;
}

OSTREL_CA_EXPORT CAQueryWMI(MSIHANDLE install) {
    HRESULT hr = ActionBegin(install, "CAQueryWMI");
    if (FAILED(hr)) {
        LogFailure(hr, "failed to initialize");
    } else {
        hr = QueryWmi();
    }
    return ActionEnd(FAILED(hr) ? kExitFailure : kExitSuccess);
}
