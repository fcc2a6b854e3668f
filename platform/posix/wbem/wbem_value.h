// Values of WMI properties as the posix WMI client holds them: in the form of the
// VARIANT that IWbemClassObject::Get and ::Next hand out, with the CIM type of the
// property beside it. The providers (this machine's inventory, the tables of the
// tests) make their rows of these; the class objects turn them into VARIANTs.
//
// WMI hands a property of CIM type t out as this VARIANT type:
//   string, datetime, reference, sint64, uint64  VT_BSTR (numbers in decimal text,
//                                                datetimes as DMTF text
//                                                "yyyymmddHHMMSS.mmmmmmsUUU")
//   uint16, sint32, uint32                       VT_I4 (uint32 keeps its 32 bits)
//   sint8, sint16, char16                        VT_I2
//   uint8                                        VT_UI1
//   boolean                                      VT_BOOL
//   real32, real64                               VT_R4, VT_R8
//   an array of t                                VT_ARRAY | the type of t
// and a property without a value as VT_NULL, whatever its type.
#ifndef OSTREL_PLATFORM_POSIX_WBEM_VALUE_H
#define OSTREL_PLATFORM_POSIX_WBEM_VALUE_H

#include <cstdint>
#include <string>
#include <vector>

#include "platform/posix/win32_wbem.h"

struct WbemValue {
    VARTYPE vt = VT_NULL;
    int64_t integer = 0;              // VT_I1 ... VT_UI8; VT_BOOL as 0 or 1
    double real = 0;                  // VT_R4, VT_R8
    std::u16string text;              // VT_BSTR
    bool nullText = false;            // VT_BSTR holding a null BSTR
    std::vector<WbemValue> elements;  // VT_ARRAY | type: the elements, each of that type

    // Any VARIANT type with an integer payload (VT_I2, VT_I4, VT_UI1, VT_I8, ...).
    static WbemValue Integer(VARTYPE vt, int64_t value);
    static WbemValue Null() { return WbemValue(); }
    static WbemValue Empty();  // VT_EMPTY
    static WbemValue Text(std::u16string text);
    static WbemValue NullText();  // VT_BSTR with a null BSTR
    static WbemValue I2(int16_t value) { return Integer(VT_I2, value); }
    static WbemValue I4(int32_t value) { return Integer(VT_I4, value); }
    static WbemValue UI1(uint8_t value) { return Integer(VT_UI1, value); }
    static WbemValue Bool(bool value) { return Integer(VT_BOOL, value ? 1 : 0); }
    static WbemValue R4(float value);
    static WbemValue R8(double value);
    // VT_ARRAY | elementType, holding `elements` (each of elementType).
    static WbemValue Array(VARTYPE elementType, std::vector<WbemValue> elements);
};

// The VARIANT type WMI hands out for a property of `cimType` (CIM_FLAG_ARRAY
// included), or VT_EMPTY for a CIM type it has no mapping for.
VARTYPE WbemVarTypeOf(CIMTYPE cimType);

// Fills *variant (taken as holding nothing) with a copy of `value`: a new BSTR, a
// new safe array. E_OUTOFMEMORY, *variant then VT_EMPTY, when memory is short;
// E_INVALIDARG for a VARIANT type the layer cannot build.
HRESULT WbemValueToVariant(const WbemValue& value, VARIANT* variant);

#endif  // OSTREL_PLATFORM_POSIX_WBEM_VALUE_H
