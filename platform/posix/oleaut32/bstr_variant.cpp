// OLE Automation strings and variants: SysAllocString, SysAllocStringLen,
// SysStringLen, SysFreeString, VariantInit and VariantClear (arrays are freed
// through oleaut32/safe_array.cpp).
//
// A BSTR is one malloc block: a 32-bit byte length, the UTF-16 text, a terminator.
// The pointer handed out is the text. Live BSTRs are counted for the tests.
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "platform/posix/shared/seams.h"
#include "platform/posix/win32_com.h"

namespace {

std::atomic<size_t> g_liveBstrs{0};

// The largest text a BSTR holds: its byte length must fit the 32-bit prefix.
constexpr UINT kMaxBstrLength = 0x7FFFFFF0u / sizeof(OLECHAR);

uint32_t* PrefixOf(BSTR text) {
    return reinterpret_cast<uint32_t*>(reinterpret_cast<char*>(text) - sizeof(uint32_t));
}

// A new BSTR of `length` units copied from `text` (zeros for null).
BSTR Allocate(const OLECHAR* text, UINT length) {
    if (length > kMaxBstrLength) {
        return nullptr;
    }
    const size_t bytes = sizeof(uint32_t) + (static_cast<size_t>(length) + 1) * sizeof(OLECHAR);
    char* block = static_cast<char*>(std::malloc(bytes));
    if (block == nullptr) {
        return nullptr;
    }
    const uint32_t byteLength = static_cast<uint32_t>(length * sizeof(OLECHAR));
    std::memcpy(block, &byteLength, sizeof(byteLength));
    BSTR result = reinterpret_cast<BSTR>(block + sizeof(uint32_t));
    if (text != nullptr) {
        std::memcpy(result, text, length * sizeof(OLECHAR));
    } else {
        std::memset(result, 0, length * sizeof(OLECHAR));
    }
    result[length] = 0;
    ++g_liveBstrs;
    return result;
}

}  // namespace

size_t SeamLiveBstrs() {
    return g_liveBstrs.load();
}

BSTR SysAllocStringLen(const OLECHAR* text, UINT length) {
    if (SeamCallFails("SysAllocStringLen", nullptr)) {
        return nullptr;
    }
    return Allocate(text, length);
}

BSTR SysAllocString(const OLECHAR* text) {
    if (text == nullptr) {
        return nullptr;
    }
    if (SeamCallFails("SysAllocString", nullptr)) {
        return nullptr;
    }
    size_t length = 0;
    while (text[length] != 0) {
        ++length;
    }
    if (length > kMaxBstrLength) {
        return nullptr;
    }
    return Allocate(text, static_cast<UINT>(length));
}

UINT SysStringLen(BSTR text) {
    if (text == nullptr) {
        return 0;
    }
    uint32_t byteLength = 0;
    std::memcpy(&byteLength, PrefixOf(text), sizeof(byteLength));
    return byteLength / sizeof(OLECHAR);
}

void SysFreeString(BSTR text) {
    if (text == nullptr) {
        return;
    }
    --g_liveBstrs;
    std::free(PrefixOf(text));
}

void VariantInit(VARIANT* variant) {
    if (variant == nullptr) {
        return;
    }
    std::memset(variant, 0, sizeof(*variant));
    variant->vt = VT_EMPTY;
}

HRESULT VariantClear(VARIANT* variant) {
    if (variant == nullptr) {
        return E_INVALIDARG;
    }
    // An array (not one passed by reference) belongs to the variant.
    if ((variant->vt & (VT_ARRAY | VT_BYREF)) == VT_ARRAY) {
        const HRESULT hr = SafeArrayDestroy(variant->parray);
        if (FAILED(hr)) {
            return hr;
        }
        VariantInit(variant);
        return S_OK;
    }
    switch (variant->vt) {
        case VT_BSTR:
            SysFreeString(variant->bstrVal);
            break;
        case VT_UNKNOWN:
            if (variant->punkVal != nullptr) {
                variant->punkVal->Release();
            }
            break;
        default:
            break;
    }
    VariantInit(variant);
    return S_OK;
}
