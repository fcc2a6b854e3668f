// Owners of COM resources for the library's code: an interface reference, a BSTR,
// a VARIANT and the calling thread's COM initialisation, each given back at the
// end of its scope (or earlier, with Reset), on success and failure alike. Small
// classes without the C++ runtime's help: the library stays free of it.
//
// Owners are destroyed in the reverse order of their declaration, so an apartment
// declared before the interfaces outlives them: every reference is released
// before COM is uninitialised.
#ifndef OSTREL_RUNTIME_COM_OWNERS_H
#define OSTREL_RUNTIME_COM_OWNERS_H

#include "platform/win32.h"

// One reference to an interface, released once.
template <typename T>
class ScopedCom {
  public:
    ScopedCom() = default;
    ~ScopedCom() { Reset(); }
    ScopedCom(const ScopedCom&) = delete;
    ScopedCom& operator=(const ScopedCom&) = delete;
    T* get() const { return pointer_; }
    T* operator->() const { return pointer_; }
    // Where a call hands out the reference; the owner must be empty.
    T** address() { return &pointer_; }
    // Hands the reference on; the owner no longer releases it.
    T* Detach() {
        T* pointer = pointer_;
        pointer_ = nullptr;
        return pointer;
    }
    void Reset() {
        if (pointer_ != nullptr) {
            pointer_->Release();
            pointer_ = nullptr;
        }
    }

  private:
    T* pointer_ = nullptr;
};

// One BSTR, freed with SysFreeString.
class ScopedBstr {
  public:
    ScopedBstr() = default;
    // A copy of `text`; get() is null when it could not be allocated.
    explicit ScopedBstr(LPCWSTR text) : text_(SysAllocString(text)) {}
    ~ScopedBstr() { Reset(); }
    ScopedBstr(const ScopedBstr&) = delete;
    ScopedBstr& operator=(const ScopedBstr&) = delete;
    BSTR get() const { return text_; }
    // Where a call hands out a string; the owner must be empty.
    BSTR* address() { return &text_; }
    void Reset() {
        if (text_ != nullptr) {
            SysFreeString(text_);
            text_ = nullptr;
        }
    }

  private:
    BSTR text_ = nullptr;
};

// One VARIANT, initialised empty and cleared with VariantClear.
class ScopedVariant {
  public:
    ScopedVariant() { VariantInit(&value_); }
    ~ScopedVariant() { VariantClear(&value_); }
    ScopedVariant(const ScopedVariant&) = delete;
    ScopedVariant& operator=(const ScopedVariant&) = delete;
    VARIANT* get() { return &value_; }
    void Reset() { VariantClear(&value_); }

  private:
    VARIANT value_;
};

// COM on the calling thread: CoInitialize(null) now, CoUninitialize at the end
// of the scope when that succeeded (S_OK or S_FALSE), never after a failure.
class ComApartment {
  public:
    ComApartment() : status_(CoInitialize(nullptr)) {}
    ~ComApartment() {
        if (SUCCEEDED(status_)) {
            CoUninitialize();
        }
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
    HRESULT status() const { return status_; }

  private:
    HRESULT status_;
};

#endif  // OSTREL_RUNTIME_COM_OWNERS_H
