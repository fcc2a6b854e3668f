// CAQueryWMI end to end against an in-process installer and the posix WMI client:
// the calls it makes and their order, the property names (the table name rules),
// the value texts, the merge of several rows, immediate and deferred input, every
// failing step with its line, the loops that never fail the action, and no COM
// reference, BSTR, safe array or heap block left after any run, also with each
// allocation failing in turn.
#include <set>

#include "installer_fixture.h"
#include "module/exports.h"
#include "platform/posix/shared/seams.h"

namespace {

using Lines = std::vector<std::string>;
using Strings = std::vector<std::string>;

class WmiQuery : public InstallerTest {
  protected:
    void SetUp() override {
        comObjects_ = SeamLiveComObjects();
        bstrs_ = SeamLiveBstrs();
        arrays_ = SeamLiveSafeArrays();
        InstallerTest::SetUp();
    }
    void TearDown() override {
        SeamWbemClearTables();
        SeamComJournalTake();
        EXPECT_EQ(comObjects_, SeamLiveComObjects()) << "COM objects left alive";
        EXPECT_EQ(bstrs_, SeamLiveBstrs()) << "BSTRs left allocated";
        EXPECT_EQ(arrays_, SeamLiveSafeArrays()) << "safe arrays left allocated";
        EXPECT_EQ(0, SeamComInitDepth()) << "COM left initialised";
        InstallerTest::TearDown();
    }

    // Sets WMIQuery and runs the action immediately.
    UINT Run(const std::string& statement) {
        SetProperty("WMIQuery", statement.c_str());
        return CAQueryWMI(install_);
    }

    // The properties the action changed, as "NAME=VALUE", WMIQuery left out.
    Strings Changed() const {
        Strings changed;
        for (const std::u16string& name : InstallerChangedProperties(install_)) {
            if (name != u"WMIQuery") {
                changed.push_back(Utf16ToUtf8(name) + "=" +
                                  Utf16ToUtf8(InstallerGetProperty(install_, name)));
            }
        }
        return changed;
    }

    size_t comObjects_ = 0;
    size_t bstrs_ = 0;
    size_t arrays_ = 0;
};

// Win32_Processor as a table of one string column, one row per value.
void Processors(const std::vector<std::u16string>& deviceIds) {
    std::vector<std::vector<WbemValue>> rows;
    for (const std::u16string& id : deviceIds) {
        rows.push_back({WbemValue::Text(id), WbemValue::I4(3)});
    }
    SeamWbemSetTable(u"Win32_Processor", {{u"DeviceID", CIM_STRING}, {u"Availability", CIM_UINT16}},
                     rows);
}

TEST_F(WmiQuery, EveryColumnBecomesTablePropertyWithItsText) {
    SeamWbemSetTable(
        u"Win32_Sample",
        {{u"Small", CIM_SINT16},
         {u"Whole", CIM_SINT32},
         {u"Single", CIM_REAL32},
         {u"Double", CIM_REAL64},
         {u"Flag", CIM_BOOLEAN},
         {u"Byte", CIM_UINT8},
         {u"Low", CIM_UINT8},
         {u"List", CIM_STRING | CIM_FLAG_ARRAY},
         {u"Wide", CIM_SINT64},
         {u"Missing", CIM_STRING},
         {u"Nothing", CIM_STRING},
         {u"Text", CIM_STRING}},
        {{WbemValue::I2(-2), WbemValue::I4(-2), WbemValue::R4(2.5f), WbemValue::R8(2.5),
          WbemValue::Integer(VT_BOOL, -1), WbemValue::UI1(233), WbemValue::UI1(0),
          WbemValue::Array(VT_BSTR, {WbemValue::Text(u"a")}), WbemValue::Integer(VT_I8, 5),
          WbemValue::NullText(), WbemValue::Null(), WbemValue::Text(u"plain text")}});
    EXPECT_EQ(0u, Run("SELECT * FROM Win32_Sample"));
    EXPECT_EQ((Strings{"Sample_Small=65534 (0xFFFE)", "Sample_Whole=-2 (0xFFFFFFFE)",
                       "Sample_Single=    2.5000", "Sample_Double=    2.5000", "Sample_Flag=TRUE",
                       "Sample_Byte='\xC3\xA9' (233, 0xE9)", "Sample_Low=0 (0x0)",
                       "Sample_List=BAD_TYPE", "Sample_Wide=BAD_TYPE", "Sample_Missing=(null)",
                       "Sample_Nothing=<null>", "Sample_Text=plain text"}),
              Changed());
    EXPECT_TRUE(InfoLines().empty());  // a successful run writes nothing
    EXPECT_EQ((std::vector<std::vector<int>>{{3, 2000, 0}}), ProgressRecords());
    EXPECT_EQ("", Property("WMIQuery"));  // the input is consumed
}

TEST_F(WmiQuery, RowsGatherValuesThatDifferInTheirFirstFourCharacters) {
    struct Case {
        const char* preset;  // the property's value before the action, or null
        std::vector<std::u16string> values;
        const char* expected;
    };
    const Case cases[] = {
        {nullptr, {u"CPU0", u"CPU1"}, "CPU0,CPU1"},
        {nullptr, {u"CPU0", u"CPU1", u"CPU2"}, "CPU0,CPU1,CPU2"},
        {nullptr, {u"Disk 1", u"Disk 2"}, "Disk 2"},
        {nullptr, {u"CPU0", u"CPU1", u"CPU0"}, "CPU0"},  // the start of the whole list
        {"CPU0,CPU1", {u"CPU0"}, "CPU0"},
        {"Preset", {u"CPU0"}, "Preset,CPU0"},
        {"CPU0 before", {u"CPU0"}, "CPU0"},
        {"CPU7", {u"CPU0"}, "CPU7,CPU0"},  // the fourth character differs
        {nullptr, {u"ab", u"ab"}, "ab"},
        {nullptr, {u"ab", u"abc"}, "ab,abc"},
        {nullptr, {u"abc", u"ab"}, "abc,ab"},
        {nullptr, {u"abcd", u"abcdX"}, "abcdX"},
        {nullptr, {u"Abcd", u"abcd"}, "Abcd,abcd"},  // case counts
        {nullptr, {u"", u"x"}, "x"},
        {nullptr, {u"x", u""}, "x,"},
    };
    for (const Case& c : cases) {
        const MSIHANDLE install = InstallerOpenSession();
        if (c.preset != nullptr) {
            InstallerSetProperty(install, u"Processor_DeviceID", Utf8ToUtf16(c.preset));
        }
        Processors(c.values);
        InstallerSetProperty(install, u"WMIQuery", u"SELECT DeviceID FROM Win32_Processor");
        EXPECT_EQ(0u, CAQueryWMI(install));
        EXPECT_EQ(c.expected, Utf16ToUtf8(InstallerGetProperty(install, u"Processor_DeviceID")))
            << "preset " << (c.preset != nullptr ? c.preset : "none");
        InstallerCloseSession(install);
    }
}

TEST_F(WmiQuery, TableNameEndsAtTheFirstBlankOnly) {
    Processors({u"CPU0"});
    SeamWbemSetTable(u"Things", {{u"Name", CIM_STRING}}, {{WbemValue::Text(u"n")}});
    SeamWbemSetTable(u"Win32_", {{u"Name", CIM_STRING}}, {{WbemValue::Text(u"bare")}});
    struct Case {
        const char* statement;
        const char* property;
    };
    const Case cases[] = {
        {"SELECT DeviceID FROM Win32_Processor WHERE Availability=3", "Processor_DeviceID"},
        {"SELECT DeviceID FROM Win32_Processor", "Processor_DeviceID"},
        {"SELECT DeviceID FROM Win32_Processor\nWHERE Availability=3", "Processor\nWHERE_DeviceID"},
        {"SELECT DeviceID FROM Win32_Processor\tWHERE\tAvailability=3",
         "Processor\tWHERE\tAvailability=3_DeviceID"},
        {"SELECT Name FROM Things WHERE Name <> 'Win32_Thing'", "Thing'_Name"},
        {"SELECT Name FROM Win32_ WHERE Name IS NOT NULL", "_Name"},
    };
    for (const Case& c : cases) {
        const MSIHANDLE install = InstallerOpenSession();
        InstallerSetProperty(install, u"WMIQuery", Utf8ToUtf16(c.statement));
        EXPECT_EQ(0u, CAQueryWMI(install)) << c.statement;
        const std::vector<std::u16string> changed = InstallerChangedProperties(install);
        ASSERT_EQ(2u, changed.size()) << c.statement;  // WMIQuery, then the column
        EXPECT_EQ(c.property, Utf16ToUtf8(changed[1]));
        InstallerCloseSession(install);
    }
}

TEST_F(WmiQuery, LowerCasePrefixIsRefusedBeforeAnyQuery) {
    SeamComJournalStart();
    EXPECT_EQ(1603u, Run("SELECT * FROM win32_bios"));
    const Strings journal = SeamComJournalTake();
    EXPECT_EQ(Lines{"CAQueryWMI:  Error 0x80070057: Query must contain a Win32 table name."},
              InfoLines());
    for (const std::string& call : journal) {
        EXPECT_EQ(std::string::npos, call.find("ExecQuery")) << call;
    }
    EXPECT_EQ("CoUninitialize()", journal.back());
    EXPECT_TRUE(Changed().empty());
    EXPECT_TRUE(ProgressRecords().empty());
}

TEST_F(WmiQuery, NoRowsSetNoPropertyAndSucceed) {
    Processors({u"CPU0"});
    EXPECT_EQ(0u, Run("SELECT DeviceID FROM Win32_Processor WHERE Availability = 4"));
    EXPECT_TRUE(Changed().empty());
    EXPECT_TRUE(InfoLines().empty());
    EXPECT_EQ((std::vector<std::vector<int>>{{3, 2000, 0}}), ProgressRecords());

    // An unknown class is reported by the first Next: the rows end with its error
    // written, and the action still succeeds.
    EXPECT_EQ(0u, Run("SELECT * FROM Win32_NoSuchClass"));
    EXPECT_TRUE(Changed().empty());
    EXPECT_EQ(Lines{"CAQueryWMI:  query results ended with error 0x80041010"}, InfoLines());
}

TEST_F(WmiQuery, EnumeratorErrorMidRowsIsWrittenAndKeepsTheRowsBefore) {
    Processors({u"CPU0", u"CPU1", u"CPU2", u"CPU3"});
    SeamFailNthCall("IEnumWbemClassObject::Next", 3, 0x80041001);
    EXPECT_EQ(0u, Run("SELECT DeviceID FROM Win32_Processor"));
    EXPECT_EQ("CPU0,CPU1", Property("Processor_DeviceID"));
    EXPECT_EQ(Lines{"CAQueryWMI:  query results ended with error 0x80041001"}, InfoLines());
    EXPECT_EQ(1u, ProgressRecords().size());
}

TEST_F(WmiQuery, RowAndColumnFailuresSkipOnlyWhatFailed) {
    SeamWbemSetTable(u"Win32_Pair", {{u"Left", CIM_STRING}, {u"Right", CIM_STRING}},
                     {{WbemValue::Text(u"L1"), WbemValue::Text(u"R1")},
                      {WbemValue::Text(u"L2"), WbemValue::Text(u"R2")},
                      {WbemValue::Text(u"L3"), WbemValue::Text(u"R3")}});
    // The first row cannot be enumerated; the second loses its column walk after
    // its first column; of the third, Right cannot be set (the fourth
    // MsiSetPropertyW: WMIQuery's removal, Left twice, then Right).
    SeamFailNthCall("IWbemClassObject::BeginEnumeration", 1, 0x80041001);
    SeamFailNthCall("IWbemClassObject::Next", 2, 0x80041001);
    SeamFailNthCall("MsiSetPropertyW", 4, ERROR_INVALID_HANDLE);
    SeamComJournalStart();
    EXPECT_EQ(0u, Run("SELECT * FROM Win32_Pair"));
    const Strings journal = SeamComJournalTake();
    EXPECT_EQ((Strings{"Pair_Left=L2,L3"}), Changed());
    EXPECT_EQ(Lines{"CAQueryWMI:  Error 0x80070006: failed to set property: Pair_Right"},
              InfoLines());
    // EndEnumeration follows every BeginEnumeration, failed or not.
    size_t begins = 0;
    size_t ends = 0;
    for (const std::string& call : journal) {
        begins += call.rfind("IWbemClassObject::BeginEnumeration", 0) == 0 ? 1 : 0;
        ends += call == "IWbemClassObject::EndEnumeration()" ? 1 : 0;
    }
    EXPECT_EQ(3u, begins);
    EXPECT_EQ(3u, ends);
}

TEST_F(WmiQuery, CallsInOrderWithTheirArguments) {
    SeamWbemSetTable(u"Win32_Pair", {{u"Left", CIM_STRING}, {u"Right", CIM_STRING}},
                     {{WbemValue::Text(u"L1"), WbemValue::Text(u"R1")}});
    SeamComJournalStart();
    EXPECT_EQ(0u, Run("SELECT * FROM Win32_Pair"));
    EXPECT_EQ((Strings{
                  "CoInitialize(null)",
                  "CoCreateInstance({4590F811-1D3A-11D0-891F-00AA004B2E24}, null, 1, "
                  "{DC12A687-737F-11CF-884D-00AA004B2E24})",
                  "IWbemLocator::Release() -> 1",  // CoCreateInstance's own reference
                  "IWbemLocator::ConnectServer(ROOT\\CIMV2, null, null, null, 0, null, null)",
                  "CoSetProxyBlanket(ptr, 10, 0, null, 3, 3, null, 0)",
                  "IWbemServices::ExecQuery(WQL, SELECT * FROM Win32_Pair, 48, null)",
                  "IEnumWbemClassObject::Next(4294967295, 1)",
                  "IWbemClassObject::BeginEnumeration(64)",
                  "IWbemClassObject::Next(0, ptr, ptr, null, null)",
                  "IWbemClassObject::Next(0, ptr, ptr, null, null)",
                  "IWbemClassObject::Next(0, ptr, ptr, null, null)",
                  "IWbemClassObject::EndEnumeration()",
                  "IWbemClassObject::Release() -> 0",
                  "IEnumWbemClassObject::Next(4294967295, 1)",
                  "IEnumWbemClassObject::Release() -> 0",
                  "IWbemServices::Release() -> 0",
                  "IWbemLocator::Release() -> 0",
                  "CoUninitialize()",
              }),
              SeamComJournalTake());
}

TEST_F(WmiQuery, SecondImmediateRunFindsTheInputGone) {
    Processors({u"CPU0"});
    EXPECT_EQ(0u, Run("SELECT DeviceID FROM Win32_Processor"));
    EXPECT_EQ(1603u, CAQueryWMI(install_));
    EXPECT_EQ((Lines{"CAQueryWMI:  Error 0x80070057: failed to get PROPERTY value for WMIQuery",
                     "CAQueryWMI:  Error 0x80070057: Unable to get WQL Statement"}),
              InfoLines());
    EXPECT_EQ(1u, ProgressRecords().size());  // the first run's only
}

TEST_F(WmiQuery, DeferredInputIsCustomActionDataUnexpanded) {
    Processors({u"CPU0", u"[Name]"});
    InstallerSetRunMode(install_, MSIRUNMODE_SCHEDULED, true);
    SetProperty("Name", "expanded");
    SetProperty("WMIQuery", "SELECT * FROM Win32_Processor");  // not looked at
    SetProperty("CustomActionData", "SELECT DeviceID FROM Win32_Processor WHERE Availability=3");
    EXPECT_EQ(0u, CAQueryWMI(install_));
    EXPECT_EQ("CPU0,[Name]", Property("Processor_DeviceID"));
    EXPECT_EQ("SELECT * FROM Win32_Processor", Property("WMIQuery"));
    EXPECT_EQ((std::vector<std::vector<int>>{{1, 1, 0}, {2, 2000, 0}}), ProgressRecords());

    // Square brackets stay as they are: the statement is not formatted.
    SetProperty("Processor_DeviceID", "");
    SetProperty("CustomActionData",
                "SELECT DeviceID FROM Win32_Processor WHERE DeviceID = '[Name]'");
    EXPECT_EQ(0u, CAQueryWMI(install_));
    EXPECT_EQ("[Name]", Property("Processor_DeviceID"));
}

TEST_F(WmiQuery, EachFailingStepLogsItsLineAndEndsWith1603) {
    Processors({u"CPU0"});
    struct Case {
        const char* api;
        unsigned nth;
        uint32_t code;
        Lines lines;
    };
    const Case cases[] = {
        {"CoInitialize",
         1,
         0x8001010E,
         {"CAQueryWMI:  Error 0x8001010e: failed to initialize COM"}},
        {"CoCreateInstance",
         1,
         0x80040154,
         {"CAQueryWMI:  Error 0x80040154: Could not connect to WMI Locator"}},
        {"IWbemLocator::ConnectServer",
         1,
         0x8004100E,
         {"CAQueryWMI:  Error 0x8004100e: Could not connect to WMI Server"}},
        {"CoSetProxyBlanket",
         1,
         0x80070005,
         {"CAQueryWMI:  Error 0x80070005: Could not set Proxy Blanket"}},
        {"MsiGetPropertyW",
         3,
         ERROR_INVALID_HANDLE,
         {"CAQueryWMI:  Error 0x80070006: Failed to get data for property 'WMIQuery'",
          "CAQueryWMI:  Error 0x80070006: failed to get WMIQuery",
          "CAQueryWMI:  Error 0x80070006: failed to get WMIQuery PROPERTY",
          "CAQueryWMI:  Error 0x80070006: Unable to get WQL Statement"}},
        {"IWbemServices::ExecQuery",
         1,
         0x80041017,
         {"CAQueryWMI:  Error 0x80041017: Could not query WMI"}},
    };
    for (const Case& c : cases) {
        const MSIHANDLE install = InstallerOpenSession();
        InstallerSetProperty(install, u"WMIQuery", u"SELECT DeviceID FROM Win32_Processor");
        SeamComJournalStart();
        SeamFailNthCall(c.api, c.nth, c.code);
        EXPECT_EQ(1603u, CAQueryWMI(install)) << c.api;
        SeamClearFailures();
        const Strings journal = SeamComJournalTake();
        Lines lines;
        for (const InstallerMessage& message : InstallerMessages(install)) {
            EXPECT_EQ(INSTALLMESSAGE_INFO, message.type) << c.api;  // no progress
            lines.push_back(Utf16ToUtf8(message.fields[0].text));
        }
        EXPECT_EQ(c.lines, lines);
        EXPECT_FALSE(InstallerHasProperty(install, u"Processor_DeviceID")) << c.api;
        // COM is uninitialised exactly when it was initialised.
        const bool initialised = std::string(c.api) != "CoInitialize";
        EXPECT_EQ(initialised ? "CoUninitialize()" : "CoInitialize(null)", journal.back()) << c.api;
        EXPECT_EQ(0, SeamComInitDepth());
        InstallerCloseSession(install);
    }
}

TEST_F(WmiQuery, ProgressAnswersDecideTheEnd) {
    Processors({u"CPU0"});
    InstallerScriptAnswer(install_, INSTALLMESSAGE_PROGRESS, 1, -1);
    EXPECT_EQ(1603u, Run("SELECT DeviceID FROM Win32_Processor"));
    EXPECT_EQ(Lines{"CAQueryWMI:  Error 0x8000ffff: failed to send progress message"}, InfoLines());
    EXPECT_EQ("CPU0", Property("Processor_DeviceID"));  // the rows were stored before

    const MSIHANDLE install = InstallerOpenSession();
    InstallerSetProperty(install, u"WMIQuery", u"SELECT DeviceID FROM Win32_Processor");
    InstallerScriptAnswer(install, INSTALLMESSAGE_PROGRESS, 1, IDCANCEL);
    EXPECT_EQ(1602u, CAQueryWMI(install));
    InstallerCloseSession(install);
}

TEST_F(WmiQuery, EveryAllocationAndSizeReadFailingInTurnLeavesNothingBehind) {
    SeamWbemSetTable(u"Win32_Pair", {{u"Left", CIM_STRING}, {u"Right", CIM_SINT32}},
                     {{WbemValue::Text(u"Left one"), WbemValue::I4(1)},
                      {WbemValue::Text(u"Second"), WbemValue::I4(20)}});
    std::set<std::string> lines;
    for (const char* api : {"HeapAlloc", "HeapSize"}) {
        for (unsigned n = 1; n <= 60; ++n) {
            const MSIHANDLE install = InstallerOpenSession();
            InstallerSetProperty(install, u"Pair_Left", u"Before");
            InstallerSetProperty(install, u"WMIQuery", u"SELECT * FROM Win32_Pair WHERE Right > 0");
            const size_t blocks = SeamLiveHeapBlocks();
            if (std::string(api) == "HeapAlloc") {
                SeamFailNthAllocation(n);
            } else {
                SeamFailNthCall(api, n, ERROR_INVALID_PARAMETER);
            }
            const UINT result = CAQueryWMI(install);
            SeamClearFailures();
            EXPECT_TRUE(result == 0 || result == 1603) << api << " " << n << ": " << result;
            EXPECT_EQ(blocks, SeamLiveHeapBlocks()) << api << " " << n;
            EXPECT_EQ(comObjects_, SeamLiveComObjects()) << api << " " << n;
            EXPECT_EQ(bstrs_, SeamLiveBstrs()) << api << " " << n;
            EXPECT_EQ(0, SeamComInitDepth()) << api << " " << n;
            if (n == 60) {  // beyond the last call: the run is a clean one
                EXPECT_EQ(0u, result) << api;
                EXPECT_EQ(u"Before,Left one,Second", InstallerGetProperty(install, u"Pair_Left"));
                EXPECT_EQ(u"1 (0x1),20 (0x14)", InstallerGetProperty(install, u"Pair_Right"));
            }
            for (const InstallerMessage& message : InstallerMessages(install)) {
                if (message.type == INSTALLMESSAGE_INFO) {
                    const std::string line = Utf16ToUtf8(message.fields[0].text);
                    lines.insert(line.substr(line.find(": ", 12) + 2));
                }
            }
            InstallerCloseSession(install);
        }
    }
    // The failures reached the steps that can only fail this way.
    EXPECT_EQ(1u, lines.count("Could Not Parse WQL Statement"));
    EXPECT_EQ(1u, lines.count("Could Not isolate table name."));
    EXPECT_EQ(1u, lines.count("Failed to convert Variant to String."));
}

TEST_F(WmiQuery, ThisMachinesOperatingSystem) {
    EXPECT_EQ(0u, Run("SELECT * FROM Win32_OperatingSystem"));
    EXPECT_NE("", Property("OperatingSystem_Caption"));
    EXPECT_NE("<null>", Property("OperatingSystem_CSName"));
    EXPECT_EQ("36 (0x24)", Property("OperatingSystem_OSType"));
    EXPECT_TRUE(InfoLines().empty());
}

}  // namespace
