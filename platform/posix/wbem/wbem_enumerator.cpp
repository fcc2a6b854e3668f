// IEnumWbemClassObject: the result rows of a query, handed out as class objects by
// Next (with Skip, Reset and Clone for an enumerator that is not forward-only).
// The rows were read when the query ran; the timeout never comes into play, since
// every row is already there. An error of the query that is reported late (a
// semisynchronous call) is every Next's answer. NextAsync needs a sink and answers
// WBEM_E_NOT_SUPPORTED.
#include <new>

#include "platform/posix/ole32/com_internal.h"
#include "platform/posix/wbem/wbem_internal.h"

namespace {

class WbemEnumerator final : public IEnumWbemClassObject {
  public:
    WbemEnumerator(std::vector<WbemObjectRef> rows, HRESULT pendingStatus, bool forwardOnly)
        : rows_(std::move(rows)), pendingStatus_(pendingStatus), forwardOnly_(forwardOnly) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        return QueryOneInterface<IEnumWbemClassObject>(this, iid, IID_IEnumWbemClassObject, object);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return refs_.Add(); }
    ULONG STDMETHODCALLTYPE Release() override {
        return ReleaseWithJournal(refs_, this, "IEnumWbemClassObject");
    }

    HRESULT STDMETHODCALLTYPE Reset() override {
        if (forwardOnly_) {
            return WBEM_E_INVALID_OPERATION;
        }
        position_ = 0;
        return WBEM_S_NO_ERROR;
    }

    HRESULT STDMETHODCALLTYPE Next(LONG timeout, ULONG count, IWbemClassObject** objects,
                                   ULONG* returned) override {
        if (ComJournalOn()) {
            ComJournal("IEnumWbemClassObject::Next(" +
                       std::to_string(static_cast<uint32_t>(timeout)) + ", " +
                       std::to_string(count) + ")");
        }
        if (objects == nullptr || returned == nullptr || count == 0 ||
            (timeout < 0 && timeout != static_cast<LONG>(WBEM_INFINITE))) {
            return WBEM_E_INVALID_PARAMETER;
        }
        *returned = 0;
        HRESULT hr = S_OK;
        if (WbemMethodFails("IEnumWbemClassObject::Next", &hr)) {
            return hr;
        }
        if (FAILED(pendingStatus_)) {
            return pendingStatus_;
        }
        ULONG handed = 0;
        while (handed < count && position_ < rows_.size()) {
            IWbemClassObject* object = CreateWbemClassObject(rows_[position_]);
            if (object == nullptr) {
                for (ULONG i = 0; i < handed; ++i) {
                    objects[i]->Release();
                    objects[i] = nullptr;
                }
                position_ -= handed;
                return WBEM_E_OUT_OF_MEMORY;
            }
            objects[handed++] = object;
            ++position_;
        }
        *returned = handed;
        return handed == count ? WBEM_S_NO_ERROR : WBEM_S_FALSE;
    }

    HRESULT STDMETHODCALLTYPE NextAsync(ULONG, IWbemObjectSink*) override {
        return WBEM_E_NOT_SUPPORTED;
    }

    HRESULT STDMETHODCALLTYPE Clone(IEnumWbemClassObject** copy) override {
        if (copy == nullptr) {
            return WBEM_E_INVALID_PARAMETER;
        }
        *copy = nullptr;
        if (forwardOnly_) {
            return WBEM_E_INVALID_OPERATION;
        }
        WbemEnumerator* clone = new (std::nothrow) WbemEnumerator(rows_, pendingStatus_, false);
        if (clone == nullptr) {
            return WBEM_E_OUT_OF_MEMORY;
        }
        clone->position_ = position_;
        *copy = clone;
        return WBEM_S_NO_ERROR;
    }

    HRESULT STDMETHODCALLTYPE Skip(LONG timeout, ULONG count) override {
        if (timeout < 0 && timeout != static_cast<LONG>(WBEM_INFINITE)) {
            return WBEM_E_INVALID_PARAMETER;
        }
        if (FAILED(pendingStatus_)) {
            return pendingStatus_;
        }
        const size_t left = rows_.size() - position_;
        if (count > left) {
            position_ = rows_.size();
            return WBEM_S_FALSE;
        }
        position_ += count;
        return WBEM_S_NO_ERROR;
    }

  private:
    friend class ::ComReferences;
    ~WbemEnumerator() = default;

    ComReferences refs_;
    std::vector<WbemObjectRef> rows_;
    HRESULT pendingStatus_;
    bool forwardOnly_;
    size_t position_ = 0;
};

}  // namespace

IEnumWbemClassObject* CreateWbemEnumerator(std::vector<WbemObjectRef> rows, HRESULT pendingStatus,
                                           bool forwardOnly) {
    return new (std::nothrow) WbemEnumerator(std::move(rows), pendingStatus, forwardOnly);
}
