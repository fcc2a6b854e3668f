// COM basics: per-thread initialisation, the class registry (ProgIDs and the
// classes behind them), CoCreateInstance, GUID comparison and the interface
// identifiers of the interfaces the layer serves.
//
// The registry knows the two ProgIDs of the DOM document class, each with its own
// CLSID and both served by the document over libxml2, and the WMI locator class
// (CLSID_WbemLocator, no ProgID), served by wbem/. Tests may remove a ProgID and
// put it back (SeamUnregisterProgId) to see what the library does without it.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/posix/ole32/com_internal.h"
#include "platform/posix/shared/seams.h"
#include "platform/posix/win32_wbem.h"

const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_IXMLDOMNode = {
    0x2933BF80, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
const IID IID_IXMLDOMDocument = {
    0x2933BF81, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
const IID IID_IXMLDOMNamedNodeMap = {
    0x2933BF83, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
const IID IID_IXMLDOMElement = {
    0x2933BF86, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};

namespace {

struct ClassEntry {
    std::u16string progId;  // empty: the class has none
    CLSID clsid;
    bool registered;
    IUnknown* (*create)();  // a new object with one reference, null when memory is short
};

IUnknown* CreateDomDocumentObject() {
    return CreateXmlDomDocument();
}

// The version-independent MSXML 3 document and the MSXML 2 one.
const CLSID kMsxml2Document = {
    0xF6D90F11, 0x9C73, 0x11D3, {0xB3, 0x2E, 0x00, 0xC0, 0x4F, 0x99, 0x0B, 0xB4}};
const CLSID kMsxmlDocument = {
    0x2933BF90, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};

struct ComState {
    std::mutex lock;
    std::vector<ClassEntry> classes{
        {u"Msxml2.DOMDocument", kMsxml2Document, true, CreateDomDocumentObject},
        {u"MSXML.DOMDocument", kMsxmlDocument, true, CreateDomDocumentObject},
        {u"", CLSID_WbemLocator, true, CreateWbemLocator}};
    unsigned progIdLookups = 0;
};

ComState& State() {
    static ComState* state = new ComState();  // never destroyed: used until exit
    return *state;
}

std::atomic<size_t> g_liveObjects{0};
thread_local long t_initDepth = 0;

// ProgIDs compare without regard to ASCII case, as the registry compares keys.
bool SameProgId(const std::u16string& left, LPCOLESTR right) {
    if (left.empty()) {
        return false;  // a class without a ProgID is found by none
    }
    size_t i = 0;
    for (; i < left.size(); ++i) {
        char16_t a = left[i];
        char16_t b = right[i];
        if (b == 0) {
            return false;
        }
        if (a >= u'A' && a <= u'Z')
            a = static_cast<char16_t>(a - u'A' + u'a');
        if (b >= u'A' && b <= u'Z')
            b = static_cast<char16_t>(b - u'A' + u'a');
        if (a != b) {
            return false;
        }
    }
    return right[i] == 0;
}

void SetRegistered(const char16_t* progId, bool registered) {
    ComState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    for (ClassEntry& entry : state.classes) {
        if (progId != nullptr && SameProgId(entry.progId, progId)) {
            entry.registered = registered;
        }
    }
}

}  // namespace

std::string GuidText(REFGUID guid) {
    char text[40];
    std::snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  guid.Data1, guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2],
                  guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return text;
}

void ComObjectCreated() {
    ++g_liveObjects;
}
void ComObjectDestroyed() {
    --g_liveObjects;
}

size_t SeamLiveComObjects() {
    return g_liveObjects.load();
}
long SeamComInitDepth() {
    return t_initDepth;
}

unsigned SeamProgIdLookups() {
    ComState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    return state.progIdLookups;
}

void SeamUnregisterProgId(const char16_t* progId) {
    SetRegistered(progId, false);
}
void SeamRegisterProgId(const char16_t* progId) {
    SetRegistered(progId, true);
}

bool IsEqualGUID(REFGUID left, REFGUID right) {
    return left.Data1 == right.Data1 && left.Data2 == right.Data2 && left.Data3 == right.Data3 &&
           std::memcmp(left.Data4, right.Data4, sizeof(left.Data4)) == 0;
}

HRESULT CoInitialize(LPVOID reserved) {
    ComJournal("CoInitialize(" + ComJournalPointer(reserved) + ")");
    uint32_t code = 0;
    if (SeamCallFails("CoInitialize", &code)) {
        return static_cast<HRESULT>(code);
    }
    return t_initDepth++ == 0 ? S_OK : S_FALSE;
}

void CoUninitialize() {
    ComJournal("CoUninitialize()");
    if (t_initDepth > 0) {
        --t_initDepth;
    }
}

HRESULT CLSIDFromProgID(LPCOLESTR progId, LPCLSID clsid) {
    ComState& state = State();
    {
        std::lock_guard<std::mutex> guard(state.lock);
        ++state.progIdLookups;
    }
    uint32_t code = 0;
    if (SeamCallFails("CLSIDFromProgID", &code)) {
        return static_cast<HRESULT>(code);
    }
    if (progId == nullptr || clsid == nullptr) {
        return E_INVALIDARG;
    }
    std::lock_guard<std::mutex> guard(state.lock);
    for (const ClassEntry& entry : state.classes) {
        if (entry.registered && SameProgId(entry.progId, progId)) {
            *clsid = entry.clsid;
            return S_OK;
        }
    }
    std::memset(clsid, 0, sizeof(*clsid));
    return CO_E_CLASSSTRING;
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid,
                         LPVOID* object) {
    if (ComJournalOn()) {
        ComJournal("CoCreateInstance(" + GuidText(clsid) + ", " + ComJournalPointer(outer) + ", " +
                   std::to_string(context) + ", " + GuidText(iid) + ")");
    }
    if (object == nullptr) {
        return E_POINTER;
    }
    *object = nullptr;
    uint32_t code = 0;
    if (SeamCallFails("CoCreateInstance", &code)) {
        return static_cast<HRESULT>(code);
    }
    if (t_initDepth == 0) {
        return CO_E_NOTINITIALIZED;
    }
    if (outer != nullptr) {
        return CLASS_E_NOAGGREGATION;
    }
    IUnknown* (*create)() = nullptr;
    {
        ComState& state = State();
        std::lock_guard<std::mutex> guard(state.lock);
        for (const ClassEntry& entry : state.classes) {
            if (entry.registered && IsEqualGUID(entry.clsid, clsid)) {
                create = entry.create;
            }
        }
    }
    if (create == nullptr || !(context & CLSCTX_INPROC_SERVER)) {
        return REGDB_E_CLASSNOTREG;
    }
    IUnknown* created = create();
    if (created == nullptr) {
        return E_OUTOFMEMORY;
    }
    const HRESULT hr = created->QueryInterface(iid, object);
    created->Release();
    return hr;
}
