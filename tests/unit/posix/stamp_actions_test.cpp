// CASetRegDateTime and CACreateURN end to end against an in-process installer: the
// values they set, and each step of their failure chains with the exact lines.
#include <cctype>
#include <set>
#include <string>

#include "installer_fixture.h"
#include "module/exports.h"

namespace {

using StampActions = InstallerTest;
using Lines = std::vector<std::string>;

SYSTEMTIME Time(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second,
                WORD milliseconds) {
    SYSTEMTIME time = {};
    time.wYear = year;
    time.wMonth = month;
    time.wDay = day;
    time.wHour = hour;
    time.wMinute = minute;
    time.wSecond = second;
    time.wMilliseconds = milliseconds;
    time.wDayOfWeek = 1;
    return time;
}

bool IsWellFormedUrn(const std::string& urn) {
    const std::string prefix = "urn:st:uuid:";
    if (urn.size() != 48 || urn.compare(0, prefix.size(), prefix) != 0) {
        return false;
    }
    const std::string uuid = urn.substr(prefix.size());
    for (size_t i = 0; i < uuid.size(); ++i) {
        const bool hyphenPlace = (i == 8 || i == 13 || i == 18 || i == 23);
        const char c = uuid[i];
        if (hyphenPlace != (c == '-')) {
            return false;
        }
        if (!hyphenPlace &&
            !(std::isdigit(static_cast<unsigned char>(c)) || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

TEST_F(StampActions, DateTimeIsUtcZeroPaddedWithoutTheFraction) {
    struct Case {
        SYSTEMTIME time;
        const char* expected;
    };
    const Case cases[] = {
        {Time(2026, 1, 5, 3, 4, 9, 750), "2026-01-05 03:04:09 UTC"},
        {Time(1999, 12, 31, 23, 59, 59, 999), "1999-12-31 23:59:59 UTC"},
        {Time(987, 2, 3, 0, 0, 0, 0), "0987-02-03 00:00:00 UTC"},
    };
    for (const Case& c : cases) {
        SeamFixSystemTime(c.time);
        EXPECT_EQ(0u, CASetRegDateTime(install_));
        EXPECT_EQ(c.expected, Property("SysDateTime"));
    }
    SeamUseRealClock();
    EXPECT_TRUE(InfoLines().empty());
}

TEST_F(StampActions, DateTimeFollowsTheRealClock) {
    SYSTEMTIME before = {};
    GetSystemTime(&before);
    EXPECT_EQ(0u, CASetRegDateTime(install_));
    const std::string stamp = Property("SysDateTime");
    ASSERT_EQ(23u, stamp.size());
    EXPECT_EQ(std::to_string(before.wYear), stamp.substr(0, 4));
    EXPECT_EQ(" UTC", stamp.substr(19));
}

TEST_F(StampActions, DateTimeFormattingOutOfMemory) {
    SetProperty("SysDateTime", "earlier");
    SeamFailNthAllocation(1);
    EXPECT_EQ(1603u, CASetRegDateTime(install_));
    EXPECT_EQ("earlier", Property("SysDateTime"));
    EXPECT_EQ(Lines{"CASetRegDateTime:  Error 0x8007000e: failed to create string"}, InfoLines());
}

TEST_F(StampActions, DateTimePropertySetFailureWritesTwoLines) {
    SetProperty("SysDateTime", "earlier");
    SeamFailNthCall("MsiSetPropertyW", 1, ERROR_INVALID_HANDLE);
    EXPECT_EQ(1603u, CASetRegDateTime(install_));
    EXPECT_EQ("earlier", Property("SysDateTime"));
    EXPECT_EQ((Lines{"CASetRegDateTime:  Error 0x80070006: failed to set property: SysDateTime",
                     "CASetRegDateTime:  Error 0x80070006: failed to set SysDateTime PROPERTY"}),
              InfoLines());
}

TEST_F(StampActions, DateTimeCancelAnsweredToAFailureLineGives1602) {
    SeamFailNthCall("MsiSetPropertyW", 1, ERROR_INVALID_HANDLE);
    InstallerScriptAnswer(install_, INSTALLMESSAGE_INFO, 1, IDCANCEL);
    EXPECT_EQ(1602u, CASetRegDateTime(install_));
}

TEST_F(StampActions, UrnIsFreshAndWellFormedOnEveryCall) {
    std::set<std::string> seen;
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(0u, CACreateURN(install_));
        const std::string urn = Property("NewURN");
        EXPECT_TRUE(IsWellFormedUrn(urn)) << urn;
        seen.insert(urn);
    }
    EXPECT_EQ(5u, seen.size());
    EXPECT_TRUE(InfoLines().empty());  // success writes only a trace line
}

TEST_F(StampActions, UrnTextIsTheUuidInLowerCase) {
    const UUID uuid = {
        0x0123ABCD, 0xEF01, 0x4567, {0x89, 0xAB, 0xCD, 0xEF, 0x01, 0x23, 0x45, 0x67}};
    SeamQueueUuids({uuid});
    EXPECT_EQ(0u, CACreateURN(install_));
    EXPECT_EQ("urn:st:uuid:0123abcd-ef01-4567-89ab-cdef01234567", Property("NewURN"));
}

TEST_F(StampActions, UuidUniqueOnThisComputerOnlyStillCounts) {
    SeamFailNthCall("UuidCreate", 1, RPC_S_UUID_LOCAL_ONLY);
    EXPECT_EQ(0u, CACreateURN(install_));
    EXPECT_TRUE(IsWellFormedUrn(Property("NewURN")));
    EXPECT_TRUE(InfoLines().empty());
}

TEST_F(StampActions, UrnFailureChainKeepsTheEarlierValue) {
    struct Case {
        const char* api;
        unsigned nth;
        uint32_t code;
        bool failAllocation;
        Lines lines;
    };
    const Case cases[] = {
        {"UuidCreate",
         1,
         RPC_S_UUID_NO_ADDRESS,
         false,
         {"CACreateURN:  Error 0x800706cb: Could not create UUID"}},
        {"UuidToStringW",
         1,
         RPC_S_OUT_OF_MEMORY,
         false,
         {"CACreateURN:  Error 0x8007000e: Could not convert UUID string"}},
        {nullptr, 0, 0, true, {"CACreateURN:  Error 0x8007000e: Could not add new urn string"}},
        {"MsiSetPropertyW",
         1,
         ERROR_INVALID_HANDLE,
         false,
         {"CACreateURN:  Error 0x80070006: failed to set property: NewURN",
          "CACreateURN:  Error 0x80070006: Could not set NewURN PROPERTY"}},
    };
    for (const Case& c : cases) {
        const MSIHANDLE install = InstallerOpenSession();
        InstallerSetProperty(install, u"NewURN", u"urn:st:uuid:earlier");
        if (c.failAllocation) {
            SeamFailNthAllocation(1);
        } else {
            SeamFailNthCall(c.api, c.nth, c.code);
        }
        EXPECT_EQ(1603u, CACreateURN(install));
        EXPECT_EQ(u"urn:st:uuid:earlier", InstallerGetProperty(install, u"NewURN"));
        Lines lines;
        for (const InstallerMessage& message : InstallerMessages(install)) {
            lines.push_back(Utf16ToUtf8(message.fields[0].text));
        }
        EXPECT_EQ(c.lines, lines);
        SeamClearFailures();
        InstallerCloseSession(install);
    }
}

}  // namespace
