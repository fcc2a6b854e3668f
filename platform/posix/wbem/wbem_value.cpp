// Making WMI property values and handing them out as VARIANTs.
#include "platform/posix/wbem/wbem_value.h"

#include <cstring>

WbemValue WbemValue::Integer(VARTYPE vt, int64_t value) {
    WbemValue result;
    result.vt = vt;
    result.integer = value;
    return result;
}

WbemValue WbemValue::Empty() {
    WbemValue result;
    result.vt = VT_EMPTY;
    return result;
}

WbemValue WbemValue::Text(std::u16string text) {
    WbemValue result;
    result.vt = VT_BSTR;
    result.text = std::move(text);
    return result;
}

WbemValue WbemValue::NullText() {
    WbemValue result;
    result.vt = VT_BSTR;
    result.nullText = true;
    return result;
}

WbemValue WbemValue::R4(float value) {
    WbemValue result;
    result.vt = VT_R4;
    result.real = value;
    return result;
}

WbemValue WbemValue::R8(double value) {
    WbemValue result;
    result.vt = VT_R8;
    result.real = value;
    return result;
}

WbemValue WbemValue::Array(VARTYPE elementType, std::vector<WbemValue> elements) {
    WbemValue result;
    result.vt = static_cast<VARTYPE>(VT_ARRAY | elementType);
    result.elements = std::move(elements);
    return result;
}

VARTYPE WbemVarTypeOf(CIMTYPE cimType) {
    VARTYPE base = VT_EMPTY;
    switch (cimType & ~CIM_FLAG_ARRAY) {
        case CIM_STRING:
        case CIM_DATETIME:
        case CIM_REFERENCE:
        case CIM_SINT64:
        case CIM_UINT64:
            base = VT_BSTR;
            break;
        case CIM_UINT16:
        case CIM_SINT32:
        case CIM_UINT32:
            base = VT_I4;
            break;
        case CIM_SINT8:
        case CIM_SINT16:
        case CIM_CHAR16:
            base = VT_I2;
            break;
        case CIM_UINT8:
            base = VT_UI1;
            break;
        case CIM_BOOLEAN:
            base = VT_BOOL;
            break;
        case CIM_REAL32:
            base = VT_R4;
            break;
        case CIM_REAL64:
            base = VT_R8;
            break;
        case CIM_OBJECT:
            base = VT_UNKNOWN;
            break;
        default:
            return VT_EMPTY;
    }
    return (cimType & CIM_FLAG_ARRAY) ? static_cast<VARTYPE>(VT_ARRAY | base) : base;
}

namespace {

// Stores one scalar of type `vt` into the VARIANT's payload.
HRESULT StoreScalar(const WbemValue& value, VARIANT* variant) {
    switch (value.vt) {
        case VT_EMPTY:
        case VT_NULL:
            break;
        case VT_BSTR:
            if (!value.nullText) {
                variant->bstrVal =
                    SysAllocStringLen(value.text.data(), static_cast<UINT>(value.text.size()));
                if (variant->bstrVal == nullptr) {
                    return E_OUTOFMEMORY;
                }
            }
            break;
        case VT_BOOL:
            variant->boolVal = value.integer != 0 ? VARIANT_TRUE : VARIANT_FALSE;
            break;
        case VT_R4:
            variant->fltVal = static_cast<float>(value.real);
            break;
        case VT_R8:
            variant->dblVal = value.real;
            break;
        case VT_I1:
        case VT_UI1:
            variant->bVal = static_cast<BYTE>(value.integer);
            break;
        case VT_I2:
        case VT_UI2:
            variant->iVal = static_cast<SHORT>(value.integer);
            break;
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
        case VT_ERROR:
            variant->lVal = static_cast<LONG>(value.integer);
            break;
        case VT_I8:
        case VT_UI8:
        case VT_CY:
            variant->llVal = value.integer;
            break;
        case VT_DATE:
            variant->dblVal = value.real;
            break;
        default:
            return E_INVALIDARG;
    }
    variant->vt = value.vt;
    return S_OK;
}

// Stores `element` (one scalar of the array's type) at `index` of `array`.
HRESULT StoreElement(SAFEARRAY* array, LONG index, const WbemValue& element) {
    VARIANT scalar;
    VariantInit(&scalar);
    HRESULT hr = StoreScalar(element, &scalar);
    if (FAILED(hr)) {
        return hr;
    }
    // The payload sits at the start of the union whatever its type.
    hr = SafeArrayPutElement(array, &index,
                             element.vt == VT_BSTR ? static_cast<void*>(scalar.bstrVal)
                                                   : static_cast<void*>(&scalar.llVal));
    VariantClear(&scalar);
    return hr;
}

}  // namespace

HRESULT WbemValueToVariant(const WbemValue& value, VARIANT* variant) {
    VariantInit(variant);
    if ((value.vt & VT_ARRAY) == 0) {
        return StoreScalar(value, variant);
    }
    const VARTYPE elementType = static_cast<VARTYPE>(value.vt & VT_TYPEMASK);
    if (value.elements.size() > 0x7FFFFFFFu) {
        return E_OUTOFMEMORY;
    }
    SAFEARRAY* array =
        SafeArrayCreateVector(elementType, 0, static_cast<ULONG>(value.elements.size()));
    if (array == nullptr) {
        return E_OUTOFMEMORY;
    }
    for (size_t i = 0; i < value.elements.size(); ++i) {
        WbemValue element = value.elements[i];
        element.vt = elementType;  // an array holds one type
        const HRESULT hr = StoreElement(array, static_cast<LONG>(i), element);
        if (FAILED(hr)) {
            SafeArrayDestroy(array);
            return hr;
        }
    }
    variant->vt = value.vt;
    variant->parray = array;
    return S_OK;
}
