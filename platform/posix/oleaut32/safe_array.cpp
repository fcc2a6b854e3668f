// OLE Automation safe arrays, one-dimensional: SafeArrayCreateVector,
// SafeArrayDestroy, element access, bounds, and the lock that data access holds.
// WMI hands array-valued properties out as VARIANTs holding one of these.
//
// An array is one descriptor block (its element type in front of the SAFEARRAY the
// caller sees, as oleaut32 keeps it) and one zeroed data block. Live arrays are
// counted for the tests.
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/posix/shared/seams.h"
#include "platform/posix/win32_com.h"

namespace {

struct ArrayBlock {
    VARTYPE vt;
    SAFEARRAY array;
};

std::atomic<size_t> g_liveArrays{0};

// Bytes of one element of `vt`, or 0 for a type this layer does not store.
ULONG ElementSize(VARTYPE vt) {
    switch (vt) {
        case VT_I1:
        case VT_UI1:
            return 1;
        case VT_I2:
        case VT_UI2:
        case VT_BOOL:
            return 2;
        case VT_I4:
        case VT_UI4:
        case VT_R4:
            return 4;
        case VT_R8:
        case VT_I8:
        case VT_UI8:
            return 8;
        case VT_BSTR:
            return sizeof(BSTR);
        case VT_UNKNOWN:
            return sizeof(IUnknown*);
        default:
            return 0;
    }
}

ArrayBlock* BlockOf(SAFEARRAY* array) {
    return reinterpret_cast<ArrayBlock*>(reinterpret_cast<char*>(array) -
                                         offsetof(ArrayBlock, array));
}

// The element at indices[0], or null when the index lies outside the bounds.
char* ElementAt(SAFEARRAY* array, const LONG* indices) {
    const int64_t offset =
        static_cast<int64_t>(indices[0]) - static_cast<int64_t>(array->rgsabound[0].lLbound);
    if (offset < 0 || offset >= static_cast<int64_t>(array->rgsabound[0].cElements)) {
        return nullptr;
    }
    return static_cast<char*>(array->pvData) + static_cast<size_t>(offset) * array->cbElements;
}

// Frees what the element holds: a BSTR or a reference.
void ClearElement(VARTYPE vt, char* element) {
    if (vt == VT_BSTR) {
        BSTR text = nullptr;
        std::memcpy(&text, element, sizeof(text));
        SysFreeString(text);
    } else if (vt == VT_UNKNOWN) {
        IUnknown* object = nullptr;
        std::memcpy(&object, element, sizeof(object));
        if (object != nullptr) {
            object->Release();
        }
    }
    std::memset(element, 0, ElementSize(vt));
}

// Copies the element at `source` into `target` as the element type wants: a BSTR
// is duplicated, a reference added. E_OUTOFMEMORY when the copy of a BSTR cannot
// be made.
HRESULT CopyElement(VARTYPE vt, void* target, const void* source) {
    if (vt == VT_BSTR) {
        BSTR text = nullptr;
        std::memcpy(&text, source, sizeof(text));
        BSTR copy = nullptr;
        if (text != nullptr) {
            copy = SysAllocStringLen(text, SysStringLen(text));
            if (copy == nullptr) {
                return E_OUTOFMEMORY;
            }
        }
        std::memcpy(target, &copy, sizeof(copy));
        return S_OK;
    }
    if (vt == VT_UNKNOWN) {
        IUnknown* object = nullptr;
        std::memcpy(&object, source, sizeof(object));
        if (object != nullptr) {
            object->AddRef();
        }
    }
    std::memcpy(target, source, ElementSize(vt));
    return S_OK;
}

}  // namespace

size_t SeamLiveSafeArrays() {
    return g_liveArrays.load();
}

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lowerBound, ULONG count) {
    const ULONG size = ElementSize(vt);
    if (size == 0 || SeamCallFails("SafeArrayCreateVector", nullptr)) {
        return nullptr;
    }
    // The data is addressed with 32-bit element offsets by its users.
    if (count > 0x7FFFFFFFu / size) {
        return nullptr;
    }
    ArrayBlock* block = new (std::nothrow) ArrayBlock();
    if (block == nullptr) {
        return nullptr;
    }
    // calloc of at least one byte, so an empty array still has a data pointer.
    void* data = std::calloc(count == 0 ? 1 : count, size);
    if (data == nullptr) {
        delete block;
        return nullptr;
    }
    block->vt = vt;
    SAFEARRAY& array = block->array;
    array.cDims = 1;
    array.fFeatures = FADF_HAVEVARTYPE;
    if (vt == VT_BSTR) {
        array.fFeatures |= FADF_BSTR;
    } else if (vt == VT_UNKNOWN) {
        array.fFeatures |= FADF_UNKNOWN;
    }
    array.cbElements = size;
    array.cLocks = 0;
    array.pvData = data;
    array.rgsabound[0].cElements = count;
    array.rgsabound[0].lLbound = lowerBound;
    ++g_liveArrays;
    return &array;
}

HRESULT SafeArrayDestroy(SAFEARRAY* array) {
    if (array == nullptr) {
        return S_OK;
    }
    if (array->cLocks != 0) {
        return DISP_E_ARRAYISLOCKED;
    }
    ArrayBlock* block = BlockOf(array);
    char* data = static_cast<char*>(array->pvData);
    for (ULONG i = 0; i < array->rgsabound[0].cElements; ++i) {
        ClearElement(block->vt, data + static_cast<size_t>(i) * array->cbElements);
    }
    std::free(data);
    delete block;
    --g_liveArrays;
    return S_OK;
}

HRESULT SafeArrayPutElement(SAFEARRAY* array, LONG* indices, void* value) {
    if (array == nullptr || indices == nullptr) {
        return E_INVALIDARG;
    }
    const VARTYPE vt = BlockOf(array)->vt;
    // A null BSTR or interface is a value; a null address of any other is not.
    if (value == nullptr && vt != VT_BSTR && vt != VT_UNKNOWN) {
        return E_INVALIDARG;
    }
    char* element = ElementAt(array, indices);
    if (element == nullptr) {
        return DISP_E_BADINDEX;
    }
    // A BSTR or an interface is passed as itself, every other type by its address.
    const void* source = value;
    if (vt == VT_BSTR || vt == VT_UNKNOWN) {
        source = &value;
    }
    char copy[sizeof(double) > sizeof(void*) ? sizeof(double) : sizeof(void*)] = {};
    const HRESULT hr = CopyElement(vt, copy, source);
    if (FAILED(hr)) {
        return hr;
    }
    ClearElement(vt, element);
    std::memcpy(element, copy, array->cbElements);
    return S_OK;
}

HRESULT SafeArrayGetElement(SAFEARRAY* array, LONG* indices, void* value) {
    if (array == nullptr || indices == nullptr || value == nullptr) {
        return E_INVALIDARG;
    }
    const char* element = ElementAt(array, indices);
    if (element == nullptr) {
        return DISP_E_BADINDEX;
    }
    return CopyElement(BlockOf(array)->vt, value, element);
}

HRESULT SafeArrayGetVartype(SAFEARRAY* array, VARTYPE* vt) {
    if (array == nullptr || vt == nullptr) {
        return E_INVALIDARG;
    }
    *vt = BlockOf(array)->vt;
    return S_OK;
}

UINT SafeArrayGetDim(SAFEARRAY* array) {
    return array == nullptr ? 0 : array->cDims;
}

HRESULT SafeArrayGetLBound(SAFEARRAY* array, UINT dimension, LONG* bound) {
    if (array == nullptr || bound == nullptr) {
        return E_INVALIDARG;
    }
    if (dimension != 1) {
        return DISP_E_BADINDEX;
    }
    *bound = array->rgsabound[0].lLbound;
    return S_OK;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* array, UINT dimension, LONG* bound) {
    if (array == nullptr || bound == nullptr) {
        return E_INVALIDARG;
    }
    if (dimension != 1) {
        return DISP_E_BADINDEX;
    }
    // An empty vector from 0 has the upper bound -1, as oleaut32 reports it.
    *bound = static_cast<LONG>(static_cast<int64_t>(array->rgsabound[0].lLbound) +
                               static_cast<int64_t>(array->rgsabound[0].cElements) - 1);
    return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* array, void** data) {
    if (array == nullptr || data == nullptr) {
        return E_INVALIDARG;
    }
    ++array->cLocks;
    *data = array->pvData;
    return S_OK;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* array) {
    if (array == nullptr) {
        return E_INVALIDARG;
    }
    if (array->cLocks == 0) {
        return E_UNEXPECTED;
    }
    --array->cLocks;
    return S_OK;
}
