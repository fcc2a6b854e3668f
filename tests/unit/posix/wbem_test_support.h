// What the tests of the posix WMI client share: a fixture that enters COM, connects
// to ROOT\CIMV2 and checks at its end that no COM object, BSTR, safe array or test
// table is left behind; and helpers that run a query and read its rows.
#ifndef OSTREL_TESTS_UNIT_POSIX_WBEM_TEST_SUPPORT_H
#define OSTREL_TESTS_UNIT_POSIX_WBEM_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/posix/shared/seams.h"
#include "platform/posix/shared/utf.h"
#include "platform/win32.h"

// A BSTR for the length of a scope.
class TestBstr {
  public:
    explicit TestBstr(const char16_t* text) : text_(SysAllocString(text)) {}
    ~TestBstr() { SysFreeString(text_); }
    TestBstr(const TestBstr&) = delete;
    TestBstr& operator=(const TestBstr&) = delete;
    BSTR get() const { return text_; }

  private:
    BSTR text_;
};

// One property of a row as the tests read it: its name, VARIANT type and text
// (a string as it is, a number in decimal, an array as "[a, b]", no value as
// "null").
struct ReadProperty {
    std::string name;
    VARTYPE vt;
    std::string text;
};
using ReadRow = std::vector<ReadProperty>;

inline std::string VariantText(const VARIANT& value) {
    switch (value.vt) {
        case VT_NULL:
            return "null";
        case VT_BSTR:
            return value.bstrVal == nullptr
                       ? "(null bstr)"
                       : Utf16ToUtf8(value.bstrVal, SysStringLen(value.bstrVal));
        case VT_I2:
            return std::to_string(value.iVal);
        case VT_I4:
            return std::to_string(value.lVal);
        case VT_UI1:
            return std::to_string(value.bVal);
        case VT_BOOL:
            return value.boolVal ? "true" : "false";
        case VT_R4:
            return std::to_string(value.fltVal);
        case VT_R8:
            return std::to_string(value.dblVal);
        case VT_I8:
            return std::to_string(value.llVal);
        default:
            break;
    }
    if ((value.vt & VT_ARRAY) != 0) {
        std::string text = "[";
        LONG low = 0;
        LONG high = -1;
        SafeArrayGetLBound(value.parray, 1, &low);
        SafeArrayGetUBound(value.parray, 1, &high);
        for (LONG i = low; i <= high; ++i) {
            VARIANT element;
            VariantInit(&element);
            element.vt = static_cast<VARTYPE>(value.vt & VT_TYPEMASK);
            SafeArrayGetElement(value.parray, &i,
                                element.vt == VT_BSTR ? static_cast<void*>(&element.bstrVal)
                                                      : static_cast<void*>(&element.llVal));
            text += (i == low ? "" : ", ") + VariantText(element);
            VariantClear(&element);
        }
        return text + "]";
    }
    return "vt " + std::to_string(value.vt);
}

// The properties of `row` in the order its enumeration with `flags` walks them.
inline ReadRow ReadProperties(IWbemClassObject* row, LONG flags = WBEM_FLAG_NONSYSTEM_ONLY) {
    ReadRow properties;
    EXPECT_EQ(WBEM_S_NO_ERROR, row->BeginEnumeration(flags));
    for (;;) {
        BSTR name = nullptr;
        VARIANT value;
        VariantInit(&value);
        const HRESULT hr = row->Next(0, &name, &value, nullptr, nullptr);
        if (hr != WBEM_S_NO_ERROR) {
            EXPECT_EQ(WBEM_S_NO_MORE_DATA, hr);
            break;
        }
        properties.push_back(
            ReadProperty{Utf16ToUtf8(name, SysStringLen(name)), value.vt, VariantText(value)});
        SysFreeString(name);
        VariantClear(&value);
    }
    EXPECT_EQ(WBEM_S_NO_ERROR, row->EndEnumeration());
    return properties;
}

// The value of one named property of a read row, or "<absent>".
inline std::string ValueOf(const ReadRow& row, const std::string& name) {
    for (const ReadProperty& property : row) {
        if (property.name == name) {
            return property.text;
        }
    }
    return "<absent>";
}
inline VARTYPE TypeOf(const ReadRow& row, const std::string& name) {
    for (const ReadProperty& property : row) {
        if (property.name == name) {
            return property.vt;
        }
    }
    return static_cast<VARTYPE>(0xFFFF);
}

class WbemTest : public ::testing::Test {
  protected:
    void SetUp() override {
        comObjects_ = SeamLiveComObjects();
        bstrs_ = SeamLiveBstrs();
        arrays_ = SeamLiveSafeArrays();
        ASSERT_EQ(S_OK, CoInitialize(nullptr));
        ASSERT_EQ(S_OK, CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER,
                                         IID_IWbemLocator, reinterpret_cast<void**>(&locator_)));
        TestBstr nameSpace(u"ROOT\\CIMV2");
        ASSERT_EQ(WBEM_S_NO_ERROR,
                  locator_->ConnectServer(nameSpace.get(), nullptr, nullptr, nullptr, 0, nullptr,
                                          nullptr, &services_));
    }
    void TearDown() override {
        if (services_ != nullptr) {
            services_->Release();
        }
        if (locator_ != nullptr) {
            locator_->Release();
        }
        CoUninitialize();
        SeamClearFailures();
        SeamWbemClearTables();
        SeamWbemSetInventoryRoot("");
        EXPECT_EQ(comObjects_, SeamLiveComObjects()) << "COM objects left alive";
        EXPECT_EQ(bstrs_, SeamLiveBstrs()) << "BSTRs left allocated";
        EXPECT_EQ(arrays_, SeamLiveSafeArrays()) << "safe arrays left allocated";
        EXPECT_EQ(0, SeamComInitDepth()) << "COM left initialised";
    }

    // ExecQuery with `flags`: its result, and the enumerator in *rows.
    HRESULT Exec(const char16_t* statement, LONG flags, IEnumWbemClassObject** rows) {
        TestBstr language(u"WQL");
        TestBstr query(statement);
        return services_->ExecQuery(language.get(), query.get(), flags, nullptr, rows);
    }

    // Every row of the query (flags 48) with its properties; *status gets the
    // answer that ended the rows (WBEM_S_FALSE at the end of the data).
    std::vector<ReadRow> Query(const char16_t* statement, HRESULT* status = nullptr) {
        std::vector<ReadRow> rows;
        IEnumWbemClassObject* enumerator = nullptr;
        const HRESULT hr =
            Exec(statement, WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY, &enumerator);
        if (FAILED(hr)) {
            if (status != nullptr) {
                *status = hr;
            }
            return rows;
        }
        for (;;) {
            IWbemClassObject* row = nullptr;
            ULONG returned = 0;
            const HRESULT next =
                enumerator->Next(static_cast<LONG>(WBEM_INFINITE), 1, &row, &returned);
            if (next != WBEM_S_NO_ERROR || returned != 1) {
                if (status != nullptr) {
                    *status = next;
                }
                break;
            }
            rows.push_back(ReadProperties(row));
            row->Release();
        }
        enumerator->Release();
        return rows;
    }

    IWbemLocator* locator_ = nullptr;
    IWbemServices* services_ = nullptr;
    size_t comObjects_ = 0;
    size_t bstrs_ = 0;
    size_t arrays_ = 0;
};

#endif  // OSTREL_TESTS_UNIT_POSIX_WBEM_TEST_SUPPORT_H
