// IWbemServices: the connection to ROOT\CIMV2 that the locator hands out. It
// serves ExecQuery (WQL data queries) and CreateInstanceEnum (every instance of a
// class); the class, instance, method and notification calls and every
// asynchronous call answer WBEM_E_NOT_SUPPORTED.
//
// ExecQuery parses the statement at once: a statement outside the grammar fails
// the call with WBEM_E_INVALID_QUERY. With WBEM_FLAG_RETURN_IMMEDIATELY (a
// semisynchronous call, as WMI runs it) the rest of the work is reported late: an
// unknown class or property comes from the enumerator's first Next, as it does on
// Windows; without the flag ExecQuery itself answers it.
#include <new>

#include "platform/posix/ole32/com_internal.h"
#include "platform/posix/wbem/wbem_internal.h"

namespace {

std::u16string TextOf(const BSTR text) {
    return text == nullptr ? std::u16string() : std::u16string(text, SysStringLen(text));
}

class WbemServices final : public IWbemServices {
  public:
    WbemServices() = default;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        return QueryOneInterface<IWbemServices>(this, iid, IID_IWbemServices, object);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return refs_.Add(); }
    ULONG STDMETHODCALLTYPE Release() override {
        return ReleaseWithJournal(refs_, this, "IWbemServices");
    }

    HRESULT STDMETHODCALLTYPE OpenNamespace(const BSTR, LONG, IWbemContext*, IWbemServices**,
                                            IWbemCallResult**) override {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE CancelAsyncCall(IWbemObjectSink*) override {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE QueryObjectSink(LONG, IWbemObjectSink**) override {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE GetObject(const BSTR, LONG, IWbemContext*, IWbemClassObject**,
                                        IWbemCallResult**) override {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE GetObjectAsync(const BSTR, LONG, IWbemContext*,
                                             IWbemObjectSink*) override {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE PutClass(IWbemClassObject*, LONG, IWbemContext*,
                                       IWbemCallResult**) override {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE PutClassAsync(IWbemClassObject*, LONG, IWbemContext*,
                                            IWbemObjectSink*) override {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE DeleteClass(const BSTR, LONG, IWbemContext*,
                                          IWbemCallResult**) override {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE DeleteClassAsync(const BSTR, LONG, IWbemContext*,
                                               IWbemObjectSink*) override {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE CreateClassEnum(const BSTR, LONG, IWbemContext*,
                                              IEnumWbemClassObject**) override {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE CreateClassEnumAsync(const BSTR, LONG, IWbemContext*,
                                                   IWbemObjectSink*) override {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE PutInstance(IWbemClassObject*, LONG, IWbemContext*,
                                          IWbemCallResult**) override {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE PutInstanceAsync(IWbemClassObject*, LONG, IWbemContext*,
                                               IWbemObjectSink*) override {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE DeleteInstance(const BSTR, LONG, IWbemContext*,
                                             IWbemCallResult**) override {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE DeleteInstanceAsync(const BSTR, LONG, IWbemContext*,
                                                  IWbemObjectSink*) override {
        return WBEM_E_NOT_SUPPORTED;
    }

    HRESULT STDMETHODCALLTYPE CreateInstanceEnum(const BSTR filter, LONG flags, IWbemContext*,
                                                 IEnumWbemClassObject** enumerator) override {
        if (enumerator == nullptr || filter == nullptr) {
            return WBEM_E_INVALID_PARAMETER;
        }
        *enumerator = nullptr;
        WqlQuery query;
        try {
            query.className = TextOf(filter);
        } catch (const std::bad_alloc&) {
            return WBEM_E_OUT_OF_MEMORY;
        }
        query.allColumns = true;
        return Run(query, flags, enumerator);
    }
    HRESULT STDMETHODCALLTYPE CreateInstanceEnumAsync(const BSTR, LONG, IWbemContext*,
                                                      IWbemObjectSink*) override {
        return WBEM_E_NOT_SUPPORTED;
    }

    HRESULT STDMETHODCALLTYPE ExecQuery(const BSTR language, const BSTR statement, LONG flags,
                                        IWbemContext* context,
                                        IEnumWbemClassObject** enumerator) override {
        if (ComJournalOn()) {
            ComJournal("IWbemServices::ExecQuery(" + ComJournalText(language) + ", " +
                       ComJournalText(statement) + ", " + std::to_string(flags) + ", " +
                       ComJournalPointer(context) + ")");
        }
        if (enumerator == nullptr) {
            return WBEM_E_INVALID_PARAMETER;
        }
        *enumerator = nullptr;
        HRESULT hr = S_OK;
        if (WbemMethodFails("IWbemServices::ExecQuery", &hr)) {
            return hr;
        }
        if (language == nullptr || !WqlSameName(TextOf(language), u"WQL")) {
            return WBEM_E_INVALID_QUERY_TYPE;
        }
        if (statement == nullptr) {
            return WBEM_E_INVALID_PARAMETER;
        }
        WqlQuery query;
        try {
            hr = WqlParse(TextOf(statement), &query);
        } catch (const std::bad_alloc&) {
            return WBEM_E_OUT_OF_MEMORY;
        }
        if (FAILED(hr)) {
            return hr;
        }
        return Run(query, flags, enumerator);
    }
    HRESULT STDMETHODCALLTYPE ExecQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*,
                                             IWbemObjectSink*) override {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE ExecNotificationQuery(const BSTR, const BSTR, LONG, IWbemContext*,
                                                    IEnumWbemClassObject**) override {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE ExecNotificationQueryAsync(const BSTR, const BSTR, LONG,
                                                         IWbemContext*, IWbemObjectSink*) override {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE ExecMethod(const BSTR, const BSTR, LONG, IWbemContext*,
                                         IWbemClassObject*, IWbemClassObject**,
                                         IWbemCallResult**) override {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE ExecMethodAsync(const BSTR, const BSTR, LONG, IWbemContext*,
                                              IWbemClassObject*, IWbemObjectSink*) override {
        return WBEM_E_NOT_SUPPORTED;
    }

  private:
    friend class ::ComReferences;
    ~WbemServices() = default;

    // Runs the query and hands out its enumerator, reporting the query's errors
    // now or through the enumerator as the flags ask.
    static HRESULT Run(const WqlQuery& query, LONG flags, IEnumWbemClassObject** enumerator) {
        const LONG known = WBEM_FLAG_RETURN_IMMEDIATELY | WBEM_FLAG_FORWARD_ONLY;
        if ((flags & ~known) != 0) {
            return WBEM_E_INVALID_PARAMETER;
        }
        std::vector<WbemObjectRef> rows;
        HRESULT status = S_OK;
        try {
            status = WbemRunQuery(query, &rows);
        } catch (const std::bad_alloc&) {
            return WBEM_E_OUT_OF_MEMORY;
        }
        const bool late = (flags & WBEM_FLAG_RETURN_IMMEDIATELY) != 0;
        if (FAILED(status) && !late) {
            return status;
        }
        *enumerator =
            CreateWbemEnumerator(std::move(rows), status, (flags & WBEM_FLAG_FORWARD_ONLY) != 0);
        return *enumerator == nullptr ? WBEM_E_OUT_OF_MEMORY : WBEM_S_NO_ERROR;
    }

    ComReferences refs_;
};

}  // namespace

IWbemServices* CreateWbemServices() {
    return new (std::nothrow) WbemServices();
}
