// IWbemClassObject: one instance handed out by a query. It carries the system
// properties (__GENUS, __CLASS, __PROPERTY_COUNT, __SERVER, __NAMESPACE) and the
// properties the query selected, and serves Get, GetNames, the property
// enumeration (BeginEnumeration, Next, EndEnumeration) and Clone. Objects are
// read-only here: Put, Delete and the method and qualifier calls answer
// WBEM_E_NOT_SUPPORTED.
#include <new>

#include "platform/posix/ole32/com_internal.h"
#include "platform/posix/shared/utf.h"
#include "platform/posix/wbem/wbem_internal.h"

const WbemSystemProperty kWbemSystemProperties[] = {
    {u"__GENUS", CIM_SINT32},  {u"__CLASS", CIM_STRING},     {u"__PROPERTY_COUNT", CIM_SINT32},
    {u"__SERVER", CIM_STRING}, {u"__NAMESPACE", CIM_STRING},
};
const size_t kWbemSystemPropertyCount =
    sizeof(kWbemSystemProperties) / sizeof(kWbemSystemProperties[0]);

WbemValue WbemSystemValue(size_t index, const WbemObjectData& object) {
    switch (index) {
        case 0:
            return WbemValue::I4(2);  // an instance (1 would be a class)
        case 1:
            return WbemValue::Text(object.schema->name);
        case 2:
            return WbemValue::I4(static_cast<int32_t>(object.selected.size()));
        case 3:
            return WbemValue::Text(WbemComputerName());
        case 4:
            return WbemValue::Text(u"ROOT\\CIMV2");
        default:
            return WbemValue::Null();
    }
}

namespace {

// Which properties an enumeration walks.
enum class Walk { All, SystemOnly, NonSystemOnly };

class WbemClassObject final : public IWbemClassObject {
  public:
    explicit WbemClassObject(WbemObjectRef object) : object_(std::move(object)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        return QueryOneInterface<IWbemClassObject>(this, iid, IID_IWbemClassObject, object);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return refs_.Add(); }
    ULONG STDMETHODCALLTYPE Release() override {
        return ReleaseWithJournal(refs_, this, "IWbemClassObject");
    }

    HRESULT STDMETHODCALLTYPE GetQualifierSet(IWbemQualifierSet**) override {
        return WBEM_E_NOT_SUPPORTED;
    }

    HRESULT STDMETHODCALLTYPE Get(LPCWSTR name, LONG flags, VARIANT* value, CIMTYPE* type,
                                  LONG* flavor) override {
        if (name == nullptr || flags != 0) {
            return WBEM_E_INVALID_PARAMETER;
        }
        try {
            const std::u16string wanted(name);
            for (size_t i = 0; i < Count(Walk::All); ++i) {
                if (WqlSameName(NameAt(i), wanted)) {
                    return HandOrThrow(i, nullptr, value, type, flavor);
                }
            }
        } catch (const std::bad_alloc&) {
            return WBEM_E_OUT_OF_MEMORY;
        }
        return WBEM_E_NOT_FOUND;
    }

    HRESULT STDMETHODCALLTYPE Put(LPCWSTR, LONG, VARIANT*, CIMTYPE) override {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE Delete(LPCWSTR) override { return WBEM_E_NOT_SUPPORTED; }

    HRESULT STDMETHODCALLTYPE GetNames(LPCWSTR qualifierName, LONG flags, VARIANT*,
                                       SAFEARRAY** names) override {
        Walk walk = Walk::All;
        if (names == nullptr || qualifierName != nullptr || !WalkFor(flags, &walk)) {
            return WBEM_E_INVALID_PARAMETER;
        }
        const size_t first = walk == Walk::NonSystemOnly ? kWbemSystemPropertyCount : 0;
        const size_t count = Count(walk);
        SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(count - first));
        if (array == nullptr) {
            return WBEM_E_OUT_OF_MEMORY;
        }
        for (size_t i = first; i < count; ++i) {
            BSTR name = nullptr;
            try {
                const std::u16string text = NameAt(i);
                name = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
            } catch (const std::bad_alloc&) {
                name = nullptr;
            }
            LONG index = static_cast<LONG>(i - first);
            const HRESULT hr =
                name == nullptr ? E_OUTOFMEMORY : SafeArrayPutElement(array, &index, name);
            SysFreeString(name);
            if (FAILED(hr)) {
                SafeArrayDestroy(array);
                return WBEM_E_OUT_OF_MEMORY;
            }
        }
        *names = array;
        return WBEM_S_NO_ERROR;
    }

    HRESULT STDMETHODCALLTYPE BeginEnumeration(LONG flags) override {
        ComJournal("IWbemClassObject::BeginEnumeration(" + std::to_string(flags) + ")");
        HRESULT hr = S_OK;
        if (WbemMethodFails("IWbemClassObject::BeginEnumeration", &hr)) {
            return hr;
        }
        Walk walk = Walk::All;
        if (!WalkFor(flags, &walk)) {
            // Keys, references and the origin of a property are not known here.
            const LONG known = WBEM_FLAG_KEYS_ONLY | WBEM_FLAG_REFS_ONLY | WBEM_FLAG_LOCAL_ONLY |
                               WBEM_FLAG_PROPAGATED_ONLY | WBEM_FLAG_NONSYSTEM_ONLY;
            return (flags & ~known) == 0 ? WBEM_E_NOT_SUPPORTED : WBEM_E_INVALID_PARAMETER;
        }
        walk_ = walk;
        position_ = walk == Walk::NonSystemOnly ? kWbemSystemPropertyCount : 0;
        enumerating_ = true;
        return WBEM_S_NO_ERROR;
    }

    HRESULT STDMETHODCALLTYPE Next(LONG flags, BSTR* name, VARIANT* value, CIMTYPE* type,
                                   LONG* flavor) override {
        if (ComJournalOn()) {
            ComJournal("IWbemClassObject::Next(" + std::to_string(flags) + ", " +
                       ComJournalPointer(name) + ", " + ComJournalPointer(value) + ", " +
                       ComJournalPointer(type) + ", " + ComJournalPointer(flavor) + ")");
        }
        HRESULT hr = S_OK;
        if (WbemMethodFails("IWbemClassObject::Next", &hr)) {
            return hr;
        }
        if (flags != 0) {
            return WBEM_E_INVALID_PARAMETER;
        }
        if (!enumerating_) {
            return WBEM_E_UNEXPECTED;
        }
        if (position_ >= Count(walk_)) {
            return WBEM_S_NO_MORE_DATA;
        }
        hr = Hand(position_, name, value, type, flavor);
        if (SUCCEEDED(hr)) {
            ++position_;
        }
        return hr;
    }

    HRESULT STDMETHODCALLTYPE EndEnumeration() override {
        ComJournal("IWbemClassObject::EndEnumeration()");
        HRESULT hr = S_OK;
        if (WbemMethodFails("IWbemClassObject::EndEnumeration", &hr)) {
            return hr;
        }
        enumerating_ = false;
        return WBEM_S_NO_ERROR;
    }

    HRESULT STDMETHODCALLTYPE GetPropertyQualifierSet(LPCWSTR, IWbemQualifierSet**) override {
        return WBEM_E_NOT_SUPPORTED;
    }

    HRESULT STDMETHODCALLTYPE Clone(IWbemClassObject** copy) override {
        if (copy == nullptr) {
            return WBEM_E_INVALID_PARAMETER;
        }
        *copy = CreateWbemClassObject(object_);
        return *copy == nullptr ? WBEM_E_OUT_OF_MEMORY : WBEM_S_NO_ERROR;
    }

    HRESULT STDMETHODCALLTYPE GetObjectText(LONG, BSTR*) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE SpawnDerivedClass(LONG, IWbemClassObject**) override {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE SpawnInstance(LONG, IWbemClassObject**) override {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE CompareTo(LONG, IWbemClassObject*) override {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE GetPropertyOrigin(LPCWSTR, BSTR*) override {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE InheritsFrom(LPCWSTR) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE GetMethod(LPCWSTR, LONG, IWbemClassObject**,
                                        IWbemClassObject**) override {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE PutMethod(LPCWSTR, LONG, IWbemClassObject*,
                                        IWbemClassObject*) override {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE DeleteMethod(LPCWSTR) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE BeginMethodEnumeration(LONG) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE NextMethod(LONG, BSTR*, IWbemClassObject**,
                                         IWbemClassObject**) override {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE EndMethodEnumeration() override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE GetMethodQualifierSet(LPCWSTR, IWbemQualifierSet**) override {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE GetMethodOrigin(LPCWSTR, BSTR*) override {
        return WBEM_E_NOT_SUPPORTED;
    }

  private:
    friend class ::ComReferences;
    ~WbemClassObject() = default;

    static bool WalkFor(LONG flags, Walk* walk) {
        switch (flags) {
            case 0:
                *walk = Walk::All;
                return true;
            case WBEM_FLAG_SYSTEM_ONLY:
                *walk = Walk::SystemOnly;
                return true;
            case WBEM_FLAG_NONSYSTEM_ONLY:
                *walk = Walk::NonSystemOnly;
                return true;
            default:
                return false;
        }
    }

    // Positions 0 .. kWbemSystemPropertyCount - 1 are the system properties, the
    // selected ones follow; a walk ends at Count(walk).
    size_t Count(Walk walk) const {
        return walk == Walk::SystemOnly ? kWbemSystemPropertyCount
                                        : kWbemSystemPropertyCount + object_->selected.size();
    }
    std::u16string NameAt(size_t position) const {
        if (position < kWbemSystemPropertyCount) {
            return kWbemSystemProperties[position].name;
        }
        return Property(position).name;
    }
    const WbemProperty& Property(size_t position) const {
        return object_->schema->properties[object_->selected[position - kWbemSystemPropertyCount]];
    }

    // Hands out what is asked of the property at `position`: all or nothing.
    HRESULT Hand(size_t position, BSTR* name, VARIANT* value, CIMTYPE* type, LONG* flavor) const {
        try {
            return HandOrThrow(position, name, value, type, flavor);
        } catch (const std::bad_alloc&) {
            return WBEM_E_OUT_OF_MEMORY;
        }
    }
    HRESULT HandOrThrow(size_t position, BSTR* name, VARIANT* value, CIMTYPE* type,
                        LONG* flavor) const {
        const bool system = position < kWbemSystemPropertyCount;
        BSTR nameCopy = nullptr;
        if (name != nullptr) {
            const std::u16string text = NameAt(position);
            nameCopy = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
            if (nameCopy == nullptr) {
                return WBEM_E_OUT_OF_MEMORY;
            }
        }
        if (value != nullptr) {
            const HRESULT hr =
                system ? WbemValueToVariant(WbemSystemValue(position, *object_), value)
                       : WbemValueToVariant(object_->values[position - kWbemSystemPropertyCount],
                                            value);
            if (FAILED(hr)) {
                SysFreeString(nameCopy);
                return WBEM_E_OUT_OF_MEMORY;
            }
        }
        if (name != nullptr) {
            *name = nameCopy;
        }
        if (type != nullptr) {
            *type = system ? kWbemSystemProperties[position].type : Property(position).type;
        }
        if (flavor != nullptr) {
            *flavor = system ? WBEM_FLAVOR_ORIGIN_SYSTEM : WBEM_FLAVOR_ORIGIN_PROPAGATED;
        }
        return WBEM_S_NO_ERROR;
    }

    ComReferences refs_;
    WbemObjectRef object_;
    bool enumerating_ = false;
    Walk walk_ = Walk::All;
    size_t position_ = 0;
};

}  // namespace

IWbemClassObject* CreateWbemClassObject(WbemObjectRef object) {
    return new (std::nothrow) WbemClassObject(std::move(object));
}
