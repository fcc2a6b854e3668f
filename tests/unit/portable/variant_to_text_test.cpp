// VariantToText: the text of every VARTYPE row, the formats' edges (widths,
// upper-case hexadecimal, the unsigned 16-bit reading), and "BAD_TYPE" for every
// type outside the table. Needs no test seam: built for Windows it runs against
// msvcrt's own formatter, which the texts were written for.
#include <gtest/gtest.h>

#include <string>

#include "actions/wmi_query.h"
#include "runtime/heap_string.h"

namespace {

using WString = std::basic_string<WCHAR>;

// The text VariantToText makes of `value`, or "<failed>".
WString TextOf(const VARIANT& value) {
    HeapString text;
    if (FAILED(VariantToText(&value, text.address())) || text.get() == nullptr) {
        return WSTR("<failed>");
    }
    return text.get();
}

VARIANT Typed(VARTYPE vt) {
    VARIANT value;
    VariantInit(&value);
    V_VT(&value) = vt;
    return value;
}

VARIANT I2(SHORT number) {
    VARIANT value = Typed(VT_I2);
    V_I2(&value) = number;
    return value;
}

VARIANT I4(LONG number) {
    VARIANT value = Typed(VT_I4);
    V_I4(&value) = number;
    return value;
}

VARIANT UI1(BYTE number) {
    VARIANT value = Typed(VT_UI1);
    V_UI1(&value) = number;
    return value;
}

VARIANT R8(double number) {
    VARIANT value = Typed(VT_R8);
    V_R8(&value) = number;
    return value;
}

VARIANT R4(float number) {
    VARIANT value = Typed(VT_R4);
    V_R4(&value) = number;
    return value;
}

VARIANT Bool(VARIANT_BOOL flag) {
    VARIANT value = Typed(VT_BOOL);
    V_BOOL(&value) = flag;
    return value;
}

TEST(VariantToText, NullAndBooleans) {
    EXPECT_EQ(WString(WSTR("<null>")), TextOf(Typed(VT_NULL)));
    EXPECT_EQ(WString(WSTR("TRUE")), TextOf(Bool(VARIANT_TRUE)));
    EXPECT_EQ(WString(WSTR("TRUE")), TextOf(Bool(1)));
    EXPECT_EQ(WString(WSTR("FALSE")), TextOf(Bool(VARIANT_FALSE)));
}

TEST(VariantToText, SixteenBitValuesReadAsUnsigned) {
    EXPECT_EQ(WString(WSTR("65534 (0xFFFE)")), TextOf(I2(-2)));
    EXPECT_EQ(WString(WSTR("32768 (0x8000)")), TextOf(I2(-32768)));
    EXPECT_EQ(WString(WSTR("0 (0x0)")), TextOf(I2(0)));
    EXPECT_EQ(WString(WSTR("345 (0x159)")), TextOf(I2(345)));
}

TEST(VariantToText, ThirtyTwoBitValuesSignedThenHexadecimal) {
    EXPECT_EQ(WString(WSTR("-2 (0xFFFFFFFE)")), TextOf(I4(-2)));
    EXPECT_EQ(WString(WSTR("255 (0xFF)")), TextOf(I4(255)));
    EXPECT_EQ(WString(WSTR("0 (0x0)")), TextOf(I4(0)));
    EXPECT_EQ(WString(WSTR("-2147483648 (0x80000000)")), TextOf(I4(-2147483647 - 1)));
}

TEST(VariantToText, RealsTakeTenCharactersAndFourDecimals) {
    EXPECT_EQ(WString(WSTR("    2.5000")), TextOf(R8(2.5)));
    EXPECT_EQ(WString(WSTR("    2.5000")), TextOf(R4(2.5f)));
    EXPECT_EQ(WString(WSTR("   -1.2500")), TextOf(R4(-1.25f)));
    EXPECT_EQ(WString(WSTR("    1.2346")), TextOf(R8(1.23456)));
    EXPECT_EQ(WString(WSTR("    0.0000")), TextOf(R8(0.0)));
    // Wider than ten characters: nothing is cut.
    EXPECT_EQ(WString(WSTR("123456789.1250")), TextOf(R8(123456789.125)));
}

TEST(VariantToText, BytesFromBlankUpShowTheCharacter) {
    EXPECT_EQ(WString(WSTR("'A' (65, 0x41)")), TextOf(UI1(65)));
    EXPECT_EQ(WString(WSTR("' ' (32, 0x20)")), TextOf(UI1(32)));
    const WCHAR eAcute[] = {'\'', 0xE9, '\'', ' ', '(', '2', '3', '3',
                            ',',  ' ',  '0',  'x', 'E', '9', ')', 0};
    EXPECT_EQ(WString(eAcute), TextOf(UI1(233)));
    const WCHAR yDiaeresis[] = {'\'', 0xFF, '\'', ' ', '(', '2', '5', '5',
                                ',',  ' ',  '0',  'x', 'F', 'F', ')', 0};
    EXPECT_EQ(WString(yDiaeresis), TextOf(UI1(255)));
    EXPECT_EQ(WString(WSTR("9 (0x9)")), TextOf(UI1(9)));
    EXPECT_EQ(WString(WSTR("31 (0x1F)")), TextOf(UI1(31)));
    EXPECT_EQ(WString(WSTR("0 (0x0)")), TextOf(UI1(0)));
}

TEST(VariantToText, StringsUpToTheirFirstNul) {
    const WCHAR withNul[] = {'a', 'b', 0, 'c', 'd'};
    BSTR text = SysAllocStringLen(withNul, 5);
    ASSERT_NE(nullptr, text);
    VARIANT value = Typed(VT_BSTR);
    V_BSTR(&value) = text;
    EXPECT_EQ(WString(WSTR("ab")), TextOf(value));
    SysFreeString(text);

    BSTR empty = SysAllocString(WSTR(""));
    V_BSTR(&value) = empty;
    EXPECT_EQ(WString(), TextOf(value));
    SysFreeString(empty);

    V_BSTR(&value) = nullptr;
    EXPECT_EQ(WString(WSTR("(null)")), TextOf(value));
}

TEST(VariantToText, EveryOtherTypeIsBadType) {
    const VARTYPE others[] = {
        VT_EMPTY,
        VT_CY,
        VT_DATE,
        VT_DISPATCH,
        VT_ERROR,
        VT_VARIANT,
        VT_UNKNOWN,
        VT_DECIMAL,
        static_cast<VARTYPE>(15),
        VT_I1,
        VT_UI2,
        VT_UI4,
        VT_I8,
        VT_UI8,
        VT_INT,
        VT_UINT,
        static_cast<VARTYPE>(VT_ARRAY | VT_BSTR),
        static_cast<VARTYPE>(VT_ARRAY | VT_I4),
        static_cast<VARTYPE>(VT_BYREF | VT_I4),
        static_cast<VARTYPE>(VT_BYREF | VT_BSTR),
    };
    for (VARTYPE vt : others) {
        VARIANT value = Typed(vt);
        V_I8(&value) = 65;  // a payload that a wrong branch would print
        EXPECT_EQ(WString(WSTR("BAD_TYPE")), TextOf(value)) << "VARTYPE " << vt;
    }
}

TEST(VariantToText, ReplacesWhatTheStringHeld) {
    HeapString text;
    ASSERT_EQ(S_OK, WStrCopy(text.address(), WSTR("a much longer text than the value"), 0));
    const VARIANT value = I4(7);
    ASSERT_EQ(S_OK, VariantToText(&value, text.address()));
    EXPECT_EQ(WString(WSTR("7 (0x7)")), WString(text.get()));
}

}  // namespace
