// Property reading and action input against the in-process installer: the two-pass
// length protocol, reuse of an existing string, a value that changes between the
// calls, formatted text, and where an action's input comes from in each run mode.
#include <string>

#include "installer_fixture.h"
#include "runtime/context_log.h"
#include "runtime/heap_string.h"
#include "runtime/property.h"

namespace {

using Lines = std::vector<std::string>;

class Properties : public InstallerTest {
  protected:
    void SetUp() override {
        InstallerTest::SetUp();
        ASSERT_EQ(S_OK, ActionBegin(install_, "CATest"));
    }
    void TearDown() override {
        if (value_ != nullptr) {
            StrFree(value_);
        }
        ActionEnd(0);
        InstallerTest::TearDown();
    }
    std::string Value() const {
        return value_ == nullptr
                   ? "<null>"
                   : Utf16ToUtf8(std::u16string(reinterpret_cast<const char16_t*>(value_)));
    }
    DWORD Capacity() const {
        DWORD capacity = 0;
        EXPECT_EQ(S_OK, WStrCapacity(value_, &capacity));
        return capacity;
    }

    LPWSTR value_ = nullptr;
};

TEST_F(Properties, UnsetAndEmptyPropertiesReadAsEmptyAndCountAsNotSet) {
    SetProperty("Present", "x");
    EXPECT_EQ(1, PropertyIsSet("Present"));
    EXPECT_EQ(0, PropertyIsSet("Missing"));
    SetProperty("Emptied", "");
    EXPECT_EQ(0, PropertyIsSet("Emptied"));

    ASSERT_EQ(S_OK, PropertyGet(WSTR("Missing"), &value_));
    ASSERT_NE(nullptr, value_);
    EXPECT_EQ("", Value());
    EXPECT_GE(Capacity(), 1u);
    EXPECT_TRUE(InfoLines().empty());
}

TEST_F(Properties, ReadsAValueWithASizeQueryThenOneRead) {
    SetProperty("INSTALLDIR", "C:\\Program Files\\Ostrel\\");
    SeamFailNthCall("MsiGetPropertyW", 3, ERROR_INVALID_HANDLE);
    ASSERT_EQ(S_OK, PropertyGet(WSTR("INSTALLDIR"), &value_));
    EXPECT_EQ("C:\\Program Files\\Ostrel\\", Value());
    EXPECT_EQ(25u, Capacity());  // exactly the value and its terminator
    // The armed third call is still pending: only two were made.
    WCHAR probe[1];
    DWORD length = 1;
    EXPECT_EQ(static_cast<UINT>(ERROR_INVALID_HANDLE),
              MsiGetPropertyW(install_, WSTR("INSTALLDIR"), probe, &length));
}

TEST_F(Properties, ReusesALargeEnoughStringWithOneInstallerCall) {
    ASSERT_EQ(S_OK, BufResize(&value_, 64, sizeof(WCHAR)));
    LPWSTR const block = value_;
    SetProperty("Name", "value");
    SeamFailNthCall("MsiGetPropertyW", 2, ERROR_INVALID_HANDLE);
    ASSERT_EQ(S_OK, PropertyGet(WSTR("Name"), &value_));
    EXPECT_EQ(block, value_);
    EXPECT_EQ("value", Value());
    WCHAR probe[1];
    DWORD length = 1;
    EXPECT_EQ(static_cast<UINT>(ERROR_INVALID_HANDLE),
              MsiGetPropertyW(install_, WSTR("Name"), probe, &length));
}

TEST_F(Properties, GrowsAnExistingStringThatIsTooSmall) {
    ASSERT_EQ(S_OK, BufResize(&value_, 2, sizeof(WCHAR)));
    SetProperty("Name", "a longer value");
    ASSERT_EQ(S_OK, PropertyGet(WSTR("Name"), &value_));
    EXPECT_EQ("a longer value", Value());
}

TEST_F(Properties, AValueThatGrowsBetweenSizeAndReadIsReadAgain) {
    SetProperty("Name", "short");
    InstallerChangePropertyAfterRead(install_, u"Name", 1, u"a much longer value");
    ASSERT_EQ(S_OK, PropertyGet(WSTR("Name"), &value_));
    EXPECT_EQ("a much longer value", Value());
    EXPECT_TRUE(InfoLines().empty());
}

TEST_F(Properties, AValueThatGrowsTwiceFailsWithMoreData) {
    SetProperty("Name", "short");
    InstallerChangePropertyAfterRead(install_, u"Name", 1, u"longer value");
    InstallerChangePropertyAfterRead(install_, u"Name", 2, u"an even longer value");
    EXPECT_EQ(static_cast<HRESULT>(0x800700EA), PropertyGet(WSTR("Name"), &value_));
    EXPECT_EQ(Lines{"CATest:  Error 0x800700ea: Failed to get data for property 'Name'"},
              InfoLines());
}

TEST_F(Properties, GetFailuresAreLoggedPerStep) {
    struct Case {
        bool failAllocation;
        unsigned nth;
        Lines lines;
    };
    const Case cases[] = {
        {true, 0, {"CATest:  Error 0x8007000e: Failed to allocate string for Property 'Name'"}},
        {false, 1, {"CATest:  Error 0x80070006: Failed to allocate string for Property 'Name'"}},
        {false, 2, {"CATest:  Error 0x80070006: Failed to get data for property 'Name'"}},
    };
    SetProperty("Name", "value");
    size_t linesBefore = 0;
    for (const Case& c : cases) {
        if (c.failAllocation) {
            SeamFailNthAllocation(1);
        } else {
            SeamFailNthCall("MsiGetPropertyW", c.nth, ERROR_INVALID_HANDLE);
        }
        LPWSTR value = nullptr;
        EXPECT_TRUE(FAILED(PropertyGet(WSTR("Name"), &value)));
        if (value != nullptr) {
            StrFree(value);
        }
        const Lines all = InfoLines();
        EXPECT_EQ(c.lines, Lines(all.begin() + static_cast<long>(linesBefore), all.end()));
        linesBefore = all.size();
        SeamClearFailures();
    }
}

TEST_F(Properties, FailuresWithAnExistingStringNameTheirStep) {
    struct Case {
        bool formatText;      // FormatText of "[Name]", else PropertyGet of "Name"
        bool sizeUnreadable;  // the string's block size cannot be read; else its growth fails
        HRESULT expected;
        const char* line;
    };
    const Case cases[] = {
        {false, true, E_FAIL,
         "CATest:  Error 0x80004005: Failed to get previous size of property data string."},
        {true, true, E_FAIL,
         "CATest:  Error 0x80004005: Failed to get previous size of property data string"},
        {false, false, E_OUTOFMEMORY,
         "CATest:  Error 0x8007000e: Failed to allocate string for Property 'Name'"},
        {true, false, E_OUTOFMEMORY,
         "CATest:  Error 0x8007000e: Failed to allocate string for formatted string: '[Name]'"},
    };
    SetProperty("Name", "a value longer than the string");
    size_t linesBefore = 0;
    for (const Case& c : cases) {
        LPWSTR value = nullptr;
        ASSERT_EQ(S_OK, BufResize(&value, 2, sizeof(WCHAR)));
        LPWSTR const block = value;
        if (c.sizeUnreadable) {
            SeamFailNthCall("HeapSize", 1, ERROR_INVALID_HANDLE);
        } else {
            SeamFailNthAllocation(1);  // the growth after the installer asked for more room
        }
        const HRESULT hr =
            c.formatText ? FormatText(WSTR("[Name]"), &value) : PropertyGet(WSTR("Name"), &value);
        SeamClearFailures();
        EXPECT_EQ(c.expected, hr) << c.line;
        EXPECT_EQ(block, value) << c.line;  // the caller still owns and frees its string
        const Lines all = InfoLines();
        EXPECT_EQ(Lines{c.line}, Lines(all.begin() + static_cast<long>(linesBefore), all.end()));
        linesBefore = all.size();
        StrFree(value);
    }
}

TEST_F(Properties, ArgumentChecksWriteNothing) {
    EXPECT_EQ(E_INVALIDARG, PropertyGet(nullptr, &value_));
    EXPECT_EQ(E_INVALIDARG, PropertyGet(WSTR(""), &value_));
    EXPECT_EQ(E_INVALIDARG, PropertyGet(WSTR("Name"), nullptr));
    EXPECT_EQ(E_INVALIDARG, FormatText(WSTR(""), &value_));
    EXPECT_EQ(E_INVALIDARG, FormatText(WSTR("[X]"), nullptr));
    EXPECT_EQ(E_INVALIDARG, PropertyGetFormatted(nullptr, &value_));
    EXPECT_TRUE(InfoLines().empty());
}

TEST_F(Properties, FormatTextExpandsPropertyReferences) {
    SetProperty("INSTALLDIR", "C:\\Ostrel\\");
    ASSERT_EQ(S_OK, FormatText(WSTR("[INSTALLDIR]register.htm[Unknown]"), &value_));
    EXPECT_EQ("C:\\Ostrel\\register.htm", Value());
    // Into an existing string: one formatting call, the block kept.
    LPWSTR const block = value_;
    ASSERT_EQ(S_OK, FormatText(WSTR("[INSTALLDIR]"), &value_));
    EXPECT_EQ(block, value_);
    EXPECT_EQ("C:\\Ostrel\\", Value());
}

TEST_F(Properties, FormatTextFailuresAreLogged) {
    SeamFailNthCall("MsiRecordSetStringW", 1, ERROR_INVALID_HANDLE);
    EXPECT_EQ(static_cast<HRESULT>(0x80070006), FormatText(WSTR("[A]"), &value_));
    SeamFailNthCall("MsiFormatRecordW", 1, ERROR_INVALID_HANDLE);
    EXPECT_EQ(static_cast<HRESULT>(0x80070006), FormatText(WSTR("[A]"), &value_));
    SeamFailNthCall("MsiFormatRecordW", 2, ERROR_INVALID_HANDLE);
    EXPECT_EQ(static_cast<HRESULT>(0x80070006), FormatText(WSTR("[A]"), &value_));
    EXPECT_EQ((Lines{"CATest:  Error 0x80070006: Failed to set record field 0 with '[A]'",
                     "CATest:  Error 0x80070006: Failed to allocate string for formatted string: "
                     "'[A]'",
                     "CATest:  Error 0x80070006: Failed to get formatted string: '[A]'"}),
              InfoLines());
}

TEST_F(Properties, FormattedValueOfAnEmptyPropertyFails) {
    EXPECT_EQ(E_INVALIDARG, PropertyGetFormatted(WSTR("Empty"), &value_));
    EXPECT_EQ(Lines{"CATest:  Error 0x80070057: failed to get formatted value for property: "
                    "'Empty' with value: ''"},
              InfoLines());
}

TEST_F(Properties, FormattedValueExpandsTheProperty) {
    SetProperty("Dir", "C:\\Ostrel\\");
    SetProperty("Page", "[Dir]register.htm");
    ASSERT_EQ(S_OK, PropertyGetFormatted(WSTR("Page"), &value_));
    EXPECT_EQ("C:\\Ostrel\\register.htm", Value());
}

TEST_F(Properties, FormattedValueLogsEachLayer) {
    SetProperty("Page", "x");
    SeamFailNthCall("MsiGetPropertyW", 2, ERROR_INVALID_HANDLE);
    EXPECT_EQ(static_cast<HRESULT>(0x80070006), PropertyGetFormatted(WSTR("Page"), &value_));
    EXPECT_EQ((Lines{"CATest:  Error 0x80070006: Failed to get data for property 'Page'",
                     "CATest:  Error 0x80070006: failed to get Page"}),
              InfoLines());
}

// Action input.

TEST_F(Properties, ImmediateInputIsExpandedAndConsumed) {
    SetProperty("Dir", "C:\\Ostrel\\");
    SetProperty("UpdateRegistration", "[Dir]");
    DWORD mode = 1;
    ASSERT_EQ(S_OK, ReadActionInput(WSTR("UpdateRegistration"), &value_, &mode));
    EXPECT_EQ("C:\\Ostrel\\", Value());
    EXPECT_EQ(1u, mode);
    EXPECT_FALSE(InstallerHasProperty(install_, u"UpdateRegistration"));
    EXPECT_TRUE(InfoLines().empty());

    LPWSTR second = nullptr;
    mode = 1;
    EXPECT_EQ(E_INVALIDARG, ReadActionInput(WSTR("UpdateRegistration"), &second, &mode));
    EXPECT_EQ(nullptr, second);
    EXPECT_EQ(1u, mode);
    EXPECT_EQ(Lines{"CATest:  Error 0x80070057: failed to get PROPERTY value for "
                    "UpdateRegistration"},
              InfoLines());
}

TEST_F(Properties, ImmediateInputIgnoresCustomActionData) {
    SetProperty("CustomActionData", "deferred value");
    DWORD mode = 1;
    EXPECT_EQ(E_INVALIDARG, ReadActionInput(WSTR("PostRegistration"), &value_, &mode));
    EXPECT_EQ(1u, mode);
    EXPECT_EQ(Lines{"CATest:  Error 0x80070057: failed to get PROPERTY value for "
                    "PostRegistration"},
              InfoLines());
}

TEST_F(Properties, ImmediateInputFailuresNameTheirStep) {
    SetProperty("WMIQuery", "SELECT * FROM Win32_BIOS");
    SeamFailNthCall("MsiSetPropertyW", 1, ERROR_INVALID_HANDLE);
    DWORD mode = 1;
    EXPECT_EQ(static_cast<HRESULT>(0x80070006), ReadActionInput(WSTR("WMIQuery"), &value_, &mode));
    EXPECT_EQ((Lines{"CATest:  Error 0x80070006: failed to set property: WMIQuery",
                     "CATest:  Error 0x80070006: failed to set WMIQuery PROPERTY"}),
              InfoLines());
}

TEST_F(Properties, ImmediateInputReadFailureLogsThreeLayers) {
    SetProperty("WMIQuery", "SELECT * FROM Win32_BIOS");
    SeamFailNthCall("MsiGetPropertyW", 3, ERROR_INVALID_HANDLE);  // after the presence test
    DWORD mode = 1;
    EXPECT_EQ(static_cast<HRESULT>(0x80070006), ReadActionInput(WSTR("WMIQuery"), &value_, &mode));
    EXPECT_EQ((Lines{"CATest:  Error 0x80070006: Failed to get data for property 'WMIQuery'",
                     "CATest:  Error 0x80070006: failed to get WMIQuery",
                     "CATest:  Error 0x80070006: failed to get WMIQuery PROPERTY"}),
              InfoLines());
    EXPECT_TRUE(InstallerHasProperty(install_, u"WMIQuery"));
}

TEST_F(Properties, DeferredInputIsCustomActionDataUnexpandedInEveryDeferredMode) {
    for (MSIRUNMODE runMode : {MSIRUNMODE_SCHEDULED, MSIRUNMODE_ROLLBACK, MSIRUNMODE_COMMIT}) {
        InstallerSetRunMode(install_, runMode, true);
        SetProperty("CustomActionData", "[Dir]as is");
        SetProperty("Dir", "expanded");
        SetProperty("PostRegistration", "immediate value");
        LPWSTR value = nullptr;
        DWORD mode = 1;
        ASSERT_EQ(S_OK, ReadActionInput(WSTR("PostRegistration"), &value, &mode)) << runMode;
        EXPECT_EQ(u"[Dir]as is", std::u16string(value));
        EXPECT_EQ(0u, mode);
        EXPECT_TRUE(InstallerHasProperty(install_, u"CustomActionData"));
        EXPECT_TRUE(InstallerHasProperty(install_, u"PostRegistration"));
        StrFree(value);
        InstallerSetRunMode(install_, runMode, false);
    }
    EXPECT_TRUE(InfoLines().empty());
}

TEST_F(Properties, DeferredInputWithoutCustomActionDataNamesIt) {
    InstallerSetRunMode(install_, MSIRUNMODE_ROLLBACK, true);
    SetProperty("PostRegistration", "immediate value");
    DWORD mode = 1;
    EXPECT_EQ(E_INVALIDARG, ReadActionInput(WSTR("PostRegistration"), &value_, &mode));
    EXPECT_EQ(0u, mode);
    EXPECT_EQ(Lines{"CATest:  Error 0x80070057: failed to get PROPERTY value for "
                    "CustomActionData"},
              InfoLines());
}

TEST_F(Properties, DeferredInputReadFailureIsLogged) {
    InstallerSetRunMode(install_, MSIRUNMODE_SCHEDULED, true);
    SetProperty("CustomActionData", "C:\\Ostrel\\");
    SeamFailNthAllocation(1);
    DWORD mode = 1;
    EXPECT_EQ(E_OUTOFMEMORY, ReadActionInput(WSTR("PostRegistration"), &value_, &mode));
    EXPECT_EQ((Lines{"CATest:  Error 0x8007000e: Failed to allocate string for Property "
                     "'CustomActionData'",
                     "CATest:  Error 0x8007000e: failed to get CustomActionData"}),
              InfoLines());
}

}  // namespace
