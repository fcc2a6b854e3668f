// Inside the posix COM layer: the live-object count that the tests read, the
// reference count the classes share, the call journal, and the factories of the
// classes the layer serves. Not for the library.
#ifndef OSTREL_PLATFORM_POSIX_COM_INTERNAL_H
#define OSTREL_PLATFORM_POSIX_COM_INTERNAL_H

#include <atomic>
#include <string>

#include "platform/posix/win32_com.h"

// Every COM object of the layer counts itself from construction to destruction.
void ComObjectCreated();
void ComObjectDestroyed();

// A new, empty DOM document with one reference; null when memory is short.
IXMLDOMDocument* CreateXmlDomDocument();
// A new WMI locator (CLSID_WbemLocator) with one reference; null when memory is
// short.
IUnknown* CreateWbemLocator();

// The call journal (SeamComJournalStart): whether it records, and one line of it.
bool ComJournalOn();
void ComJournal(const std::string& line);
// Arguments as journal lines show them: text as UTF-8, pointers as "ptr", and
// "null" for a null one.
std::string ComJournalText(const char16_t* text);
std::string ComJournalPointer(const void* pointer);
// A GUID as "{4590F811-1D3A-11D0-891F-00AA004B2E24}".
std::string GuidText(REFGUID guid);

// The reference count of one object, which counts itself live (ComObjectCreated)
// from construction to destruction. Each class keeps its destructor private and
// names ComReferences a friend, so that only the last Release deletes it.
class ComReferences {
  public:
    ComReferences() { ComObjectCreated(); }
    ~ComReferences() { ComObjectDestroyed(); }
    ComReferences(const ComReferences&) = delete;
    ComReferences& operator=(const ComReferences&) = delete;
    ULONG Add() { return ++count_; }
    // Drops one reference of `owner`, the object holding this count, and deletes it
    // with the last one; the references left.
    template <typename Owner>
    ULONG Release(Owner* owner) {
        const ULONG left = --count_;
        if (left == 0) {
            delete owner;
        }
        return left;
    }

  private:
    std::atomic<ULONG> count_{1};
};

// QueryInterface of a class that serves one interface besides IUnknown: `self`,
// with a new reference, for IUnknown or `served`; E_NOINTERFACE for anything else.
template <typename Interface>
HRESULT QueryOneInterface(Interface* self, REFIID asked, REFIID served, void** object) {
    if (object == nullptr) {
        return E_POINTER;
    }
    *object = nullptr;
    if (!IsEqualGUID(asked, IID_IUnknown) && !IsEqualGUID(asked, served)) {
        return E_NOINTERFACE;
    }
    *object = self;
    self->AddRef();
    return S_OK;
}

// Release that also writes "Interface::Release() -> left" to the call journal. The
// owner may be gone when it returns: only `left` and the name are used after.
template <typename Owner>
ULONG ReleaseWithJournal(ComReferences& references, Owner* owner, const char* interfaceName) {
    const ULONG left = references.Release(owner);
    ComJournal(std::string(interfaceName) + "::Release() -> " + std::to_string(left));
    return left;
}

#endif  // OSTREL_PLATFORM_POSIX_COM_INTERNAL_H
