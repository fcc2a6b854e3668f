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
