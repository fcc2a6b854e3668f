// The action frame and the installer log: log name limits, the line format and its
// 2047-character cut, dropped nested lines, the verbose decision (made once per
// process: each test runs in a process of its own), cancel answers, PropertySet.
#include <string>

#include "installer_fixture.h"
#include "runtime/context_log.h"

namespace {

using ContextLog = InstallerTest;
using Lines = std::vector<std::string>;

TEST_F(ContextLog, NameOf31CharactersIsAcceptedWhole) {
    const std::string name(31, 'n');
    ASSERT_EQ(S_OK, ActionBegin(install_, name.c_str()));
    EXPECT_TRUE(ActionIsInitialized());
    EXPECT_EQ(install_, ActionGetInstallHandle());
    LogFailure(E_FAIL, "boom");
    EXPECT_EQ(0u, ActionEnd(0));
    EXPECT_EQ(Lines{name + ":  Error 0x80004005: boom"}, InfoLines());
}

TEST_F(ContextLog, NameOf32CharactersFailsWithALineUnderTheCutName) {
    const std::string name = std::string(31, 'n') + "X";
    EXPECT_EQ(static_cast<HRESULT>(0x8007007A), ActionBegin(install_, name.c_str()));
    EXPECT_FALSE(ActionIsInitialized());
    EXPECT_EQ(0u, ActionGetInstallHandle());
    EXPECT_EQ(0u, InstallerOpenHandleCount());  // the database handle is closed again
    EXPECT_EQ(Lines{std::string(31, 'n') +
                    ":  Error 0x8007007a: Failed to copy CustomAction log "
                    "name: " +
                    name},
              InfoLines());
    // The action's own report of the failure is not written: no action is open.
    LogFailure(static_cast<HRESULT>(0x8007007A), "failed to initialize");
    EXPECT_EQ(1u, InfoLines().size());
    EXPECT_EQ(1603u, ActionEnd(1603));
}

TEST_F(ContextLog, CancelOfTheNameFailureLineOutlivesTheFailedBegin) {
    InstallerScriptAnswer(install_, INSTALLMESSAGE_INFO, 1, IDCANCEL);
    EXPECT_EQ(static_cast<HRESULT>(0x8007007A),
              ActionBegin(install_, std::string(32, 'n').c_str()));
    EXPECT_EQ(1u, InfoLines().size());
    // The export ends with 1603 for the failed start; the user's cancel takes over.
    EXPECT_EQ(1602u, ActionEnd(1603));
}

TEST_F(ContextLog, TraceAndUnknownLevelsSendNothingAndLeaveVerboseUndecided) {
    ASSERT_EQ(S_OK, ActionBegin(install_, "CATest"));
    for (int level : {0, -1, 3, 100}) {
        LogLine(level, "not written %d", level);
    }
    EXPECT_TRUE(InfoLines().empty());
    // Had any of them asked for the verbose decision, "off" would now be cached.
    SetProperty("LOGVERBOSE", "1");
    EXPECT_EQ(1, IsVerboseLogging());
    ActionEnd(0);
}

TEST_F(ContextLog, StandardLinesCarryTheNamePrefixUnlessTheNameIsEmpty) {
    ASSERT_EQ(S_OK, ActionBegin(install_, "CAQueryWMI"));
    LogLine(LogStandard, "value %d and %S", 42, WSTR("wide"));
    ActionEnd(0);
    ASSERT_EQ(S_OK, ActionBegin(install_, ""));
    LogLine(LogStandard, "bare %s", "text");
    ActionEnd(0);
    EXPECT_EQ((Lines{"CAQueryWMI:  value 42 and wide", "bare text"}), InfoLines());
}

TEST_F(ContextLog, FailureLinesShowTheStatusInLowerCaseHexAndKeepPercentSigns) {
    ASSERT_EQ(S_OK, ActionBegin(install_, "CAQueryWMI"));
    LogFailure(E_INVALIDARG, "failed to get PROPERTY value for %S", WSTR("WMIQuery"));
    LogFailure(E_FAIL, "%s", "100% sure %d");
    ActionEnd(1603);
    EXPECT_EQ((Lines{"CAQueryWMI:  Error 0x80070057: failed to get PROPERTY value for WMIQuery",
                     "CAQueryWMI:  Error 0x80004005: 100% sure %d"}),
              InfoLines());
}

TEST_F(ContextLog, LongLinesAreCutTo2047Characters) {
    ASSERT_EQ(S_OK, ActionBegin(install_, "CA"));
    const std::string longText(3000, 'z');
    LogLine(LogStandard, "%s", longText.c_str());
    LogFailure(E_FAIL, "%s", longText.c_str());
    ActionEnd(0);
    const Lines lines = InfoLines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(2047u, lines[0].size());
    EXPECT_EQ("CA:  zzz", lines[0].substr(0, 8));
    EXPECT_EQ(2047u, lines[1].size());
    EXPECT_EQ("CA:  Error 0x80004005: zzz", lines[1].substr(0, 26));
}

// The lines as the installer received them, in UTF-16.
std::vector<std::u16string> WideInfoLines(MSIHANDLE install) {
    std::vector<std::u16string> lines;
    for (const InstallerMessage& message : InstallerMessages(install)) {
        if (message.type == INSTALLMESSAGE_INFO && !message.fields.empty()) {
            lines.push_back(message.fields[0].text);
        }
    }
    return lines;
}

TEST_F(ContextLog, FailureLinesKeepLatinCjkAndAstralText) {
    ASSERT_EQ(S_OK, ActionBegin(install_, "CAUpdateOfflineReg"));
    const std::u16string path =
        u"C:"
        u"\\Users\\J\u00fcrgen\\\u4e2d\u6587\\\u0395\u03bb\u03bb\u03ac\u03b4\u03b1\\\U0001F600\\reg"
        u"ister.htm";
    LogFailure(static_cast<HRESULT>(0x80070002), "Failed to open file: %S", path.c_str());
    LogFailure(E_FAIL, "%s %wS", "property", u"\u00e9t\u00e9");
    ActionEnd(1603);
    EXPECT_EQ((std::vector<std::u16string>{
                  u"CAUpdateOfflineReg:  Error 0x80070002: Failed to open file: " + path,
                  u"CAUpdateOfflineReg:  Error 0x80004005: property \u00e9t\u00e9"}),
              WideInfoLines(install_));
}

TEST_F(ContextLog, ALineCutAt2047UnitsLeavesAPairOutWhole) {
    ASSERT_EQ(S_OK, ActionBegin(install_, "CA"));
    // "CA:  Error 0x80004005: " is 23 units; 2023 more put the pair at 2047 and 2048
    const std::u16string straddles = std::u16string(2023, u'x') + u"\U0001F600";
    LogFailure(E_FAIL, "%S", straddles.c_str());
    // one unit less before it, and the pair ends the line whole
    LogFailure(E_FAIL, "%S", straddles.substr(1).c_str());
    ActionEnd(1603);
    const std::vector<std::u16string> lines = WideInfoLines(install_);
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(2046u, lines[0].size());
    EXPECT_EQ(u'x', lines[0].back());
    EXPECT_EQ(2047u, lines[1].size());
    EXPECT_EQ(u"\U0001F600", lines[1].substr(2045));
}

TEST_F(ContextLog, ALogNameWithPercentSignsIsPrintedAsText) {
    ASSERT_EQ(S_OK, ActionBegin(install_, "CA%s%d"));
    LogFailure(E_FAIL, "step %d", 3);
    ActionEnd(1603);
    EXPECT_EQ(Lines{"CA%s%d:  Error 0x80004005: step 3"}, InfoLines());
}

TEST_F(ContextLog, AFormatTheRuntimeRefusesSendsNoStaleText) {
    // This build's formatter refuses "%n": the line ends where the output stopped,
    // or, when nothing was formatted, holds the format itself; never the longer
    // line built before it in the same buffer.
    ASSERT_EQ(S_OK, ActionBegin(install_, "CA"));
    int count = 0;
    LogLine(LogStandard, "%s", std::string(3000, 'q').c_str());
    LogLine(LogStandard, "before %d %n after", 5, &count);
    LogLine(LogStandard, "%n rest", &count);
    ActionEnd(0);
    const Lines lines = InfoLines();
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ("CA:  before 5 ", lines[1]);
    EXPECT_EQ("CA:  %n rest", lines[2]);
}

TEST_F(ContextLog, FailuresOutsideAnActionAreNotWritten) {
    LogFailure(E_FAIL, "before");
    ASSERT_EQ(S_OK, ActionBegin(install_, "CA"));
    EXPECT_EQ(0u, ActionEnd(0));
    LogFailure(E_FAIL, "after");
    EXPECT_TRUE(InfoLines().empty());
}

TEST_F(ContextLog, ALineAskedForWhileAnotherIsSentIsDropped) {
    ASSERT_EQ(S_OK, ActionBegin(install_, "CA"));
    int nestedCalls = 0;
    InstallerSetMessageObserver([&](const InstallerMessage&) {
        ++nestedCalls;
        LogLine(LogStandard, "nested");
    });
    LogLine(LogStandard, "outer");
    InstallerSetMessageObserver(nullptr);
    LogLine(LogStandard, "after");
    ActionEnd(0);
    EXPECT_EQ(1, nestedCalls);
    EXPECT_EQ((Lines{"CA:  outer", "CA:  after"}), InfoLines());
}

TEST_F(ContextLog, CancelAnswersToALineForceExitCode1602) {
    struct Case {
        int answer;
        UINT requested;
        UINT expected;
    };
    const Case cases[] = {
        {IDCANCEL, 0, 1602}, {IDCANCEL, 1603, 1602}, {1602, 0, 1602},
        {IDABORT, 0, 0},     {IDOK, 1603, 1603},     {-1, 0, 0},
    };
    unsigned nth = 0;
    for (const Case& c : cases) {
        InstallerScriptAnswer(install_, INSTALLMESSAGE_INFO, ++nth, c.answer);
        ASSERT_EQ(S_OK, ActionBegin(install_, "CA"));
        LogFailure(E_FAIL, "asked");
        EXPECT_EQ(c.expected, ActionEnd(c.requested)) << "answer " << c.answer;
    }
    // The next action starts without the override.
    ASSERT_EQ(S_OK, ActionBegin(install_, "CA"));
    EXPECT_EQ(0u, ActionEnd(0));
}

TEST_F(ContextLog, EndReturnsTheRequestedCodeWithoutACancel) {
    ASSERT_EQ(S_OK, ActionBegin(install_, "CA"));
    EXPECT_EQ(1603u, ActionEnd(1603));
    ASSERT_EQ(S_OK, ActionBegin(install_, "CA"));
    ActionSetOverrideExitCode(1602);
    EXPECT_EQ(1602u, ActionEnd(0));
}

TEST_F(ContextLog, PropertySetChecksItsArgumentsWithoutALine) {
    ASSERT_EQ(S_OK, ActionBegin(install_, "CA"));
    EXPECT_EQ(E_INVALIDARG, PropertySet(WSTR("Name"), nullptr));
    EXPECT_EQ(E_INVALIDARG, PropertySet(WSTR(""), WSTR("v")));
    EXPECT_EQ(E_INVALIDARG, PropertySet(nullptr, WSTR("v")));
    EXPECT_EQ(S_OK, PropertySet(WSTR("Name"), WSTR("value")));
    EXPECT_EQ("value", Property("Name"));
    EXPECT_EQ(S_OK, PropertySet(WSTR("Name"), WSTR("")));  // an empty value removes it
    EXPECT_FALSE(InstallerHasProperty(install_, u"Name"));
    ActionEnd(0);
    EXPECT_TRUE(InfoLines().empty());
}

TEST_F(ContextLog, PropertySetFoldsAndLogsInstallerErrors) {
    ASSERT_EQ(S_OK, ActionBegin(install_, "CA"));
    SeamFailNthCall("MsiSetPropertyW", 1, ERROR_INVALID_HANDLE);
    EXPECT_EQ(static_cast<HRESULT>(0x80070006), PropertySet(WSTR("SysDateTime"), WSTR("x")));
    ActionEnd(1603);
    EXPECT_EQ(Lines{"CA:  Error 0x80070006: failed to set property: SysDateTime"}, InfoLines());
}

TEST_F(ContextLog, AnInstallerResultWithItsTopBitSetPassesThroughAsIn32Bits) {
    // A UINT answer read as a 32-bit value is negative and is not folded; read as a
    // 64-bit long it would be positive and fold to 0x80070005.
    ASSERT_EQ(S_OK, ActionBegin(install_, "CA"));
    SeamFailNthCall("MsiSetPropertyW", 1, 0xC0000005u);
    EXPECT_EQ(static_cast<HRESULT>(0xC0000005u), PropertySet(WSTR("P"), WSTR("x")));
    ActionEnd(1603);
    EXPECT_EQ(Lines{"CA:  Error 0xc0000005: failed to set property: P"}, InfoLines());
}

// The verbose decision, one process per test.

TEST_F(ContextLog, VerboseOnWhenLogVerboseHasAnyValueAndDecidedOnce) {
    SetProperty("LOGVERBOSE", "0");
    ASSERT_EQ(S_OK, ActionBegin(install_, "CA"));
    LogLine(LogVerbose, "shown");
    ActionEnd(0);
    InstallerSetProperty(install_, u"LOGVERBOSE", u"");
    ASSERT_EQ(S_OK, ActionBegin(install_, "CA"));
    EXPECT_EQ(1, IsVerboseLogging());
    LogLine(LogVerbose, "still shown");
    ActionEnd(0);
    EXPECT_EQ((Lines{"CA:  shown", "CA:  still shown"}), InfoLines());
}

TEST_F(ContextLog, VerboseOffStaysOffForTheProcess) {
    ASSERT_EQ(S_OK, ActionBegin(install_, "CA"));
    LogLine(LogVerbose, "hidden");
    SetProperty("LOGVERBOSE", "1");
    LogLine(LogVerbose, "hidden too");
    EXPECT_EQ(0, IsVerboseLogging());
    ActionEnd(0);
    EXPECT_TRUE(InfoLines().empty());
}

void SetPolicy(const std::u16string& value) {
    SeamRegistrySetValue(u"Software\\Policies\\Microsoft\\Windows\\Installer", u"Logging",
                         value.c_str(), static_cast<DWORD>((value.size() + 1) * sizeof(char16_t)));
}

TEST_F(ContextLog, PolicyWithAVBeforeItsFirstNulTurnsVerboseOn) {
    SetPolicy(u"iwearucmoV");
    ASSERT_EQ(S_OK, ActionBegin(install_, "CA"));
    EXPECT_EQ(1, IsVerboseLogging());
    ActionEnd(0);
    SeamRegistryClear();
}

TEST_F(ContextLog, PolicyWithAVOnlyBehindANulLeavesVerboseOff) {
    const char16_t value[] = u"iwe\0v";
    SeamRegistrySetValue(u"Software\\Policies\\Microsoft\\Windows\\Installer", u"Logging", value,
                         sizeof value);
    ASSERT_EQ(S_OK, ActionBegin(install_, "CA"));
    EXPECT_EQ(0, IsVerboseLogging());
    ActionEnd(0);
    SeamRegistryClear();
}

TEST_F(ContextLog, PolicyWithoutAVLeavesVerboseOff) {
    SetPolicy(u"iwearucmo");
    ASSERT_EQ(S_OK, ActionBegin(install_, "CA"));
    EXPECT_EQ(0, IsVerboseLogging());
    ActionEnd(0);
    SeamRegistryClear();
}

TEST_F(ContextLog, PolicyLongerThan32BytesCountsAsNoV) {
    SetPolicy(u"vvvvvvvvvvvvvvvv");  // 16 characters and the NUL: 34 bytes
    ASSERT_EQ(S_OK, ActionBegin(install_, "CA"));
    EXPECT_EQ(0, IsVerboseLogging());
    ActionEnd(0);
    SeamRegistryClear();
}

}  // namespace
