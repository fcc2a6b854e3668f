// The in-process installer of the posix build, as custom actions and the host see
// it: the property length protocol, record formatting, run modes, records and
// handles, messages with scripted answers, the call-failure seams and the
// registry's size rules.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/msi/installer_session.h"
#include "platform/posix/shared/seams.h"

namespace {

class InstallerSessionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SeamClearFailures();
        install_ = InstallerOpenSession();
        ASSERT_NE(install_, 0u);
    }
    void TearDown() override {
        InstallerSetMessageObserver(nullptr);
        InstallerCloseSession(install_);
        SeamClearFailures();
    }

    // Formats a record whose field 0 is `templ` into a large buffer.
    std::u16string Format(const std::u16string& templ, UINT* result = nullptr) {
        const MSIHANDLE record = MsiCreateRecord(2);
        EXPECT_EQ(MsiRecordSetStringW(record, 0, templ.c_str()), 0u);
        EXPECT_EQ(MsiRecordSetStringW(record, 1, u"one"), 0u);
        EXPECT_EQ(MsiRecordSetInteger(record, 2, 42), 0u);
        char16_t buffer[256] = {};
        DWORD length = 256;
        const UINT r = MsiFormatRecordW(install_, record, buffer, &length);
        if (result != nullptr) {
            *result = r;
        }
        EXPECT_LT(length, 256u);
        EXPECT_EQ(buffer[length < 256 ? length : 255], u'\0') << "terminated behind the value";
        MsiCloseHandle(record);
        return std::u16string(buffer, length < 256 ? length : 0);
    }

    MSIHANDLE install_ = 0;
};

// ---------------------------------------------------------------- length protocol

TEST_F(InstallerSessionTest, GetPropertyWFollowsTheLengthProtocol) {
    InstallerSetProperty(install_, u"Dir", u"C:\\Program");  // 10 characters

    DWORD length = 0;
    EXPECT_EQ(MsiGetPropertyW(install_, u"Dir", nullptr, &length), 0u) << "size query";
    EXPECT_EQ(length, 10u);

    char16_t empty[1] = {u'#'};
    length = 0;
    EXPECT_EQ(MsiGetPropertyW(install_, u"Dir", empty, &length), ERROR_MORE_DATA);
    EXPECT_EQ(length, 10u);
    EXPECT_EQ(empty[0], u'#') << "a capacity of 0 leaves the buffer alone";

    char16_t cut[11];
    std::fill(cut, cut + 11, u'#');
    length = 10;  // one short: the terminator does not fit
    EXPECT_EQ(MsiGetPropertyW(install_, u"Dir", cut, &length), ERROR_MORE_DATA);
    EXPECT_EQ(length, 10u);
    EXPECT_EQ(std::u16string(cut), u"C:\\Progra") << "what fits, terminated";
    EXPECT_EQ(cut[10], u'#') << "nothing written past the capacity";

    char16_t exact[11];
    length = 11;
    EXPECT_EQ(MsiGetPropertyW(install_, u"Dir", exact, &length), 0u);
    EXPECT_EQ(length, 10u);
    EXPECT_EQ(std::u16string(exact), u"C:\\Program");
}

TEST_F(InstallerSessionTest, UnsetPropertyReadsAsEmpty) {
    char16_t buffer[4] = {u'x', u'x', u'x', u'x'};
    DWORD length = 4;
    EXPECT_EQ(MsiGetPropertyW(install_, u"Missing", buffer, &length), 0u);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(buffer[0], u'\0');

    length = 0;
    EXPECT_EQ(MsiGetPropertyW(install_, u"Missing", buffer, &length), ERROR_MORE_DATA)
        << "even an empty value needs room for its terminator";
    EXPECT_EQ(length, 0u);

    char narrow[1] = {'x'};
    length = 0;
    MsiGetPropertyA(install_, "Missing", narrow, &length);
    EXPECT_EQ(length, 0u);
}

TEST_F(InstallerSessionTest, GetPropertyRefusesBadArguments) {
    char16_t buffer[4];
    DWORD length = 4;
    EXPECT_EQ(MsiGetPropertyW(install_ + 1000, u"A", buffer, &length), ERROR_INVALID_HANDLE);
    EXPECT_EQ(MsiGetPropertyW(0, u"A", buffer, &length), ERROR_INVALID_HANDLE);
    EXPECT_EQ(MsiGetPropertyW(install_, nullptr, buffer, &length), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(MsiGetPropertyW(install_, u"A", buffer, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(MsiGetPropertyA(install_, "A", reinterpret_cast<char*>(buffer), nullptr),
              ERROR_INVALID_PARAMETER);
}

TEST_F(InstallerSessionTest, GetPropertyACountsUtf8BytesAndNeverSplitsACharacter) {
    InstallerSetProperty(install_, u"Name", u"a\u00e9\u20ac");  // 1 + 2 + 3 bytes
    DWORD length = 0;
    EXPECT_EQ(MsiGetPropertyA(install_, "Name", nullptr, &length), 0u);
    EXPECT_EQ(length, 6u);

    char buffer[8];
    length = 5;  // room for 4 bytes: the euro sign's 3 bytes do not fit after "a\xc3\xa9"
    EXPECT_EQ(MsiGetPropertyA(install_, "Name", buffer, &length), ERROR_MORE_DATA);
    EXPECT_EQ(length, 6u);
    EXPECT_STREQ(buffer, "a\xc3\xa9");

    length = 7;
    EXPECT_EQ(MsiGetPropertyA(install_, "Name", buffer, &length), 0u);
    EXPECT_STREQ(buffer, "a\xc3\xa9\xe2\x82\xac");
}

TEST_F(InstallerSessionTest, ValueThatGrowsBetweenSizeQueryAndReadNeedsAThirdCall) {
    InstallerSetProperty(install_, u"Grows", u"short");
    InstallerChangePropertyAfterRead(install_, u"Grows", 1, u"much longer now");

    DWORD length = 0;
    ASSERT_EQ(MsiGetPropertyW(install_, u"Grows", nullptr, &length), 0u);
    ASSERT_EQ(length, 5u) << "the size query sees the old value";

    std::vector<char16_t> buffer(length + 1);
    length = static_cast<DWORD>(buffer.size());
    EXPECT_EQ(MsiGetPropertyW(install_, u"Grows", buffer.data(), &length), ERROR_MORE_DATA);
    EXPECT_EQ(length, 15u);
    EXPECT_EQ(std::u16string(buffer.data()), u"much ");

    buffer.resize(length + 1);
    length = static_cast<DWORD>(buffer.size());
    EXPECT_EQ(MsiGetPropertyW(install_, u"Grows", buffer.data(), &length), 0u);
    EXPECT_EQ(std::u16string(buffer.data()), u"much longer now");
    EXPECT_TRUE(InstallerChangedProperties(install_).empty()) << "not the action's change";
}

TEST_F(InstallerSessionTest, PropertyChangeCountsReadsFromWhenItIsArmed) {
    InstallerSetProperty(install_, u"P", u"first");
    DWORD length = 0;
    MsiGetPropertyW(install_, u"P", nullptr, &length);
    MsiGetPropertyW(install_, u"P", nullptr, &length);
    InstallerChangePropertyAfterRead(install_, u"P", 2, u"");
    MsiGetPropertyW(install_, u"P", nullptr, &length);
    EXPECT_TRUE(InstallerHasProperty(install_, u"P")) << "one read after arming";
    MsiGetPropertyW(install_, u"P", nullptr, &length);
    EXPECT_FALSE(InstallerHasProperty(install_, u"P")) << "removed after the second";
}

// ---------------------------------------------------------------- setting properties

TEST_F(InstallerSessionTest, SetPropertyRecordsChangesInOrderOfFirstChange) {
    InstallerSetProperty(install_, u"Input", u"x");  // the package's own, not a change
    EXPECT_EQ(MsiSetPropertyW(install_, u"B", u"2"), 0u);
    EXPECT_EQ(MsiSetPropertyW(install_, u"A", u"1"), 0u);
    EXPECT_EQ(MsiSetPropertyW(install_, u"B", u"3"), 0u);
    EXPECT_EQ(MsiSetPropertyW(install_, u"Input", u""), 0u);

    EXPECT_EQ(InstallerChangedProperties(install_),
              (std::vector<std::u16string>{u"B", u"A", u"Input"}));
    EXPECT_EQ(InstallerGetProperty(install_, u"B"), u"3");
    EXPECT_FALSE(InstallerHasProperty(install_, u"Input")) << "an empty value removes it";
    EXPECT_EQ(InstallerGetProperty(install_, u"Input"), u"");
}

TEST_F(InstallerSessionTest, SetPropertyRefusesBadArguments) {
    EXPECT_EQ(MsiSetPropertyW(install_ + 1000, u"A", u"1"), ERROR_INVALID_HANDLE);
    EXPECT_EQ(MsiSetPropertyW(install_, nullptr, u"1"), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(MsiSetPropertyW(install_, u"", u"1"), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(InstallerChangedProperties(install_).empty());
}

TEST_F(InstallerSessionTest, PropertiesBelongToTheirSession) {
    const MSIHANDLE other = InstallerOpenSession();
    ASSERT_NE(other, install_);
    MsiSetPropertyW(other, u"Only", u"there");
    EXPECT_FALSE(InstallerHasProperty(install_, u"Only"));
    EXPECT_EQ(InstallerGetProperty(other, u"Only"), u"there");
    InstallerCloseSession(other);
    EXPECT_EQ(MsiSetPropertyW(other, u"Only", u"again"), ERROR_INVALID_HANDLE);
}

// ---------------------------------------------------------------- formatting

TEST_F(InstallerSessionTest, FormatReplacesPropertyReferences) {
    InstallerSetProperty(install_, u"INSTALLDIR", u"/opt/product");
    EXPECT_EQ(Format(u"[INSTALLDIR]/register.htm"), u"/opt/product/register.htm");
    EXPECT_EQ(Format(u"a[Unknown]b"), u"ab") << "an unset property expands to nothing";
    EXPECT_EQ(Format(u"[installdir]"), u"") << "property names are case-sensitive";
    EXPECT_EQ(Format(u"[INSTALLDIR][INSTALLDIR]"), u"/opt/product/opt/product");
}

TEST_F(InstallerSessionTest, FormatFieldReferencesEscapesAndLiterals) {
    EXPECT_EQ(Format(u"[1]-[2]"), u"one-42");
    EXPECT_EQ(Format(u"[3][99999999999]"), u"") << "fields the record does not have";
    EXPECT_EQ(Format(u"[\\[]x[\\]]"), u"[x]");
    EXPECT_EQ(Format(u"open [bracket"), u"open [bracket");
    EXPECT_EQ(Format(u"[]"), u"[]");
    InstallerSetProperty(install_, u"A", u"v");
    InstallerSetProperty(install_, u"Nested", u"[A]");
    EXPECT_EQ(Format(u"[Nested]"), u"[A]") << "values are not expanded again";
    EXPECT_EQ(Format(u"[\\abc]|[\\]]|[\\"), u"a|]|[\\") << "one character, the rest dropped";
    EXPECT_EQ(Format(u"a]b}c{d"), u"a]b}c{d") << "closers without openers are text";
}

TEST_F(InstallerSessionTest, FormatResolvesBracketsFromTheInsideOut) {
    InstallerSetProperty(install_, u"P", u"hello");
    InstallerSetProperty(install_, u"hello", u"world");
    EXPECT_EQ(Format(u"[[P]]"), u"world");
    EXPECT_EQ(Format(u"<[[P]]|[P]>"), u"<world|hello>");
    InstallerSetProperty(install_, u"Which", u"1");
    EXPECT_EQ(Format(u"[[Which]]"), u"one") << "the inner value may name a field";
    EXPECT_EQ(Format(u"[[Unset]]"), u"") << "an empty inner value leaves []: nothing";
    EXPECT_EQ(Format(u"[x[P]"), u"[xhello") << "an unclosed outer bracket stays text";
}

TEST_F(InstallerSessionTest, FormatDropsABraceGroupWhenAPropertyInsideIsEmpty) {
    InstallerSetProperty(install_, u"A", u"a");
    InstallerSetProperty(install_, u"B", u"b");
    EXPECT_EQ(Format(u"<{[A][B]}>"), u"<ab>");
    EXPECT_EQ(Format(u"<{x=[A], y=[Unset]}>"), u"<>");
    EXPECT_EQ(Format(u"<{[Unset]}|{[A]}>"), u"<|a>");
    EXPECT_EQ(Format(u"<{no references}>"), u"<{no references}>");
    EXPECT_EQ(Format(u"<{[1]-[3]}>"), u"<>") << "a field the record lacks is empty too";
    EXPECT_EQ(Format(u"<{[A]{[Unset]}}>"), u"<a>") << "an inner group drops only itself";
    EXPECT_EQ(Format(u"<{[A]"), u"<{a") << "an unclosed brace stays text";
}

TEST_F(InstallerSessionTest, FormatReadsTheEnvironmentFilesComponentsAndTheNullCharacter) {
    ASSERT_EQ(0, setenv("OSTREL_FORMAT_TEST", "/home/j\xC3\xBCrgen", 1));
    EXPECT_EQ(Format(u"[%OSTREL_FORMAT_TEST]/x"), u"/home/j\u00fcrgen/x");
    unsetenv("OSTREL_FORMAT_TEST");
    EXPECT_EQ(Format(u"<[%OSTREL_FORMAT_TEST]>"), u"<>");
    const char* home = std::getenv("HOME");
    ASSERT_NE(home, nullptr);
    EXPECT_EQ(Format(u"[%HOME]"), std::u16string(home, home + std::strlen(home)));

    EXPECT_EQ(Format(u"<[#svctag][!svctag][$Main]>"), u"<>") << "no tables given yet";
    InstallerSetFilePath(install_, u"svctag", u"C:\\Product\\svctag.xml",
                         u"C:\\PRODUC~1\\svctag.xml");
    InstallerSetFilePath(install_, u"register", u"C:\\Product\\register.htm");
    InstallerSetComponentDirectory(install_, u"Main", u"C:\\Product\\");
    EXPECT_EQ(Format(u"[#svctag]|[!svctag]|[!register]|[$Main]|[#other]"),
              u"C:\\Product\\svctag.xml|C:\\PRODUC~1\\svctag.xml|C:\\Product\\register.htm|"
              u"C:\\Product\\|");
    EXPECT_EQ(Format(u"{[#other]}{[$Main]x}"), u"C:\\Product\\x");

    EXPECT_EQ(Format(u"a[~]b"), std::u16string(u"a\0b", 3)) << "a null character";
}

TEST_F(InstallerSessionTest, FormatFollowsTheLengthProtocol) {
    InstallerSetProperty(install_, u"P", u"value");
    const MSIHANDLE record = MsiCreateRecord(1);
    ASSERT_EQ(MsiRecordSetStringW(record, 0, u"<[P]>"), 0u);

    DWORD length = 0;
    EXPECT_EQ(MsiFormatRecordW(install_, record, nullptr, &length), 0u);
    EXPECT_EQ(length, 7u);

    char16_t small[4];
    length = 4;
    EXPECT_EQ(MsiFormatRecordW(install_, record, small, &length), ERROR_MORE_DATA);
    EXPECT_EQ(length, 7u);
    EXPECT_EQ(std::u16string(small), u"<va");

    char16_t fits[8];
    length = 8;
    EXPECT_EQ(MsiFormatRecordW(install_, record, fits, &length), 0u);
    EXPECT_EQ(std::u16string(fits), u"<value>");

    EXPECT_EQ(MsiFormatRecordW(install_ + 1000, record, fits, &length), ERROR_INVALID_HANDLE);
    EXPECT_EQ(MsiFormatRecordW(install_, record + 1000, fits, &length), ERROR_INVALID_HANDLE);
    length = 8;
    EXPECT_EQ(MsiFormatRecordW(0, record, fits, &length), 0u) << "no session: no properties";
    EXPECT_EQ(std::u16string(fits), u"<>");
    MsiCloseHandle(record);
}

TEST_F(InstallerSessionTest, FormatWithoutTemplateListsTheFields) {
    const MSIHANDLE record = MsiCreateRecord(2);
    MsiRecordSetInteger(record, 1, 7);
    MsiRecordSetStringW(record, 2, u"x");
    char16_t buffer[32];
    DWORD length = 32;
    EXPECT_EQ(MsiFormatRecordW(install_, record, buffer, &length), 0u);
    EXPECT_EQ(std::u16string(buffer), u"1: 7 2: x ");
    MsiCloseHandle(record);
}

// ---------------------------------------------------------------- run modes

TEST_F(InstallerSessionTest, RunModesAreSetPerSession) {
    for (MSIRUNMODE mode : {MSIRUNMODE_SCHEDULED, MSIRUNMODE_ROLLBACK, MSIRUNMODE_COMMIT}) {
        EXPECT_FALSE(MsiGetMode(install_, mode));
    }
    InstallerSetRunMode(install_, MSIRUNMODE_ROLLBACK, true);
    EXPECT_TRUE(MsiGetMode(install_, MSIRUNMODE_ROLLBACK));
    EXPECT_FALSE(MsiGetMode(install_, MSIRUNMODE_SCHEDULED));
    EXPECT_FALSE(MsiGetMode(install_ + 1000, MSIRUNMODE_ROLLBACK));
    InstallerSetRunMode(install_, MSIRUNMODE_ROLLBACK, false);
    EXPECT_FALSE(MsiGetMode(install_, MSIRUNMODE_ROLLBACK));
}

// ---------------------------------------------------------------- records and handles

TEST_F(InstallerSessionTest, RecordFieldsRunFromZeroToTheFieldCount) {
    const MSIHANDLE record = MsiCreateRecord(3);
    ASSERT_NE(record, 0u);
    EXPECT_EQ(MsiRecordSetStringA(record, 0, "text"), 0u);
    EXPECT_EQ(MsiRecordSetInteger(record, 3, -5), 0u);
    EXPECT_EQ(MsiRecordSetInteger(record, 4, 1), static_cast<UINT>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(MsiRecordSetStringW(record, 4, u"x"), static_cast<UINT>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(MsiCloseHandle(record), 0u);
    EXPECT_EQ(MsiRecordSetInteger(record, 1, 1), static_cast<UINT>(ERROR_INVALID_HANDLE));
}

TEST_F(InstallerSessionTest, HandlesAreCountedAndClosedOnce) {
    const size_t before = InstallerOpenHandleCount();
    const MSIHANDLE record = MsiCreateRecord(1);
    const MSIHANDLE database = MsiGetActiveDatabase(install_);
    const MSIHANDLE database2 = MsiGetActiveDatabase(install_);
    ASSERT_NE(record, 0u);
    ASSERT_NE(database, 0u);
    EXPECT_NE(database, database2) << "a fresh database handle per call";
    EXPECT_NE(record, install_);
    EXPECT_EQ(InstallerOpenHandleCount(), before + 3);

    EXPECT_EQ(MsiCloseHandle(record), 0u);
    EXPECT_EQ(MsiCloseHandle(record), static_cast<UINT>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(MsiCloseHandle(database), 0u);
    EXPECT_EQ(MsiCloseHandle(0), 0u);
    EXPECT_EQ(MsiCloseHandle(install_), static_cast<UINT>(ERROR_INVALID_HANDLE))
        << "the install handle belongs to the installer";
    EXPECT_EQ(InstallerOpenHandleCount(), before + 1);

    InstallerCloseSession(install_);
    EXPECT_EQ(InstallerOpenHandleCount(), before) << "the session takes its database along";
    EXPECT_EQ(MsiGetActiveDatabase(install_), 0u);
    install_ = InstallerOpenSession();
}

TEST_F(InstallerSessionTest, ConcurrentCallersShareOneConsistentStore) {
    const size_t before = InstallerOpenHandleCount();
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([this, t, &failures] {
            const std::u16string name = u"T" + std::u16string(1, static_cast<char16_t>(u'0' + t));
            for (int i = 0; i < 200; ++i) {
                const MSIHANDLE record = MsiCreateRecord(1);
                if (record == 0 || MsiRecordSetInteger(record, 1, i) != 0 ||
                    MsiSetPropertyW(install_, name.c_str(), u"v") != 0 ||
                    MsiCloseHandle(record) != 0) {
                    ++failures;
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(InstallerOpenHandleCount(), before);
    EXPECT_EQ(InstallerChangedProperties(install_).size(), 4u);
}

// ---------------------------------------------------------------- messages and answers

TEST_F(InstallerSessionTest, AnswersAreScriptedPerTypeAndOrdinal) {
    InstallerScriptAnswer(install_, INSTALLMESSAGE_INFO, 2, IDCANCEL);
    InstallerSetDefaultAnswer(install_, INSTALLMESSAGE_PROGRESS, IDOK);
    InstallerScriptAnswer(install_, INSTALLMESSAGE_PROGRESS, 3, -1);

    const MSIHANDLE record = MsiCreateRecord(3);
    std::vector<int> info;
    std::vector<int> progress;
    for (int i = 0; i < 3; ++i) {
        info.push_back(MsiProcessMessage(install_, INSTALLMESSAGE_INFO, record));
        progress.push_back(MsiProcessMessage(install_, INSTALLMESSAGE_PROGRESS, record));
    }
    EXPECT_EQ(info, (std::vector<int>{0, IDCANCEL, 0}));
    EXPECT_EQ(progress, (std::vector<int>{IDOK, IDOK, -1}));
    EXPECT_EQ(MsiProcessMessage(install_, INSTALLMESSAGE_ERROR, record), 0);

    const auto messages = InstallerMessages(install_);
    ASSERT_EQ(messages.size(), 7u);
    EXPECT_EQ(messages[3].type, INSTALLMESSAGE_PROGRESS);
    EXPECT_EQ(messages[3].answer, IDOK);
    EXPECT_EQ(messages[4].answer, 0);
    MsiCloseHandle(record);
}

TEST_F(InstallerSessionTest, MessageFlagsDoNotChangeItsKind) {
    InstallerScriptAnswer(install_, INSTALLMESSAGE_INFO, 1, IDYES);
    const MSIHANDLE record = MsiCreateRecord(0);
    const auto typeWithFlags = static_cast<INSTALLMESSAGE>(INSTALLMESSAGE_INFO | 0x30);
    EXPECT_EQ(MsiProcessMessage(install_, typeWithFlags, record), IDYES);
    MsiCloseHandle(record);
}

TEST_F(InstallerSessionTest, MessagesKeepASnapshotOfTheirFields) {
    const MSIHANDLE record = MsiCreateRecord(3);
    MsiRecordSetInteger(record, 1, 2);
    MsiRecordSetInteger(record, 2, 3000);
    MsiRecordSetInteger(record, 3, 0);
    MsiProcessMessage(install_, INSTALLMESSAGE_PROGRESS, record);
    MsiRecordSetInteger(record, 2, 1);
    MsiRecordSetStringW(record, 0, u"later");

    const auto messages = InstallerMessages(install_);
    ASSERT_EQ(messages.size(), 1u);
    ASSERT_EQ(messages[0].fields.size(), 4u);
    EXPECT_TRUE(messages[0].fields[0].isNull);
    EXPECT_TRUE(messages[0].fields[2].isInteger);
    EXPECT_EQ(messages[0].fields[2].integer, 3000);
    MsiCloseHandle(record);
}

TEST_F(InstallerSessionTest, ObserverSeesEachMessageWithItsAnswerAndMayCallIn) {
    InstallerScriptAnswer(install_, INSTALLMESSAGE_INFO, 1, IDABORT);
    std::vector<std::u16string> seen;
    std::vector<int> answers;
    InstallerSetMessageObserver([&](const InstallerMessage& message) {
        seen.push_back(message.fields[0].text);
        answers.push_back(message.answer);
        // Calling the installer from the observer must not deadlock.
        seen.push_back(InstallerGetProperty(install_, u"P"));
    });
    InstallerSetProperty(install_, u"P", u"p");
    const MSIHANDLE record = MsiCreateRecord(1);
    MsiRecordSetStringA(record, 0, "line one");
    EXPECT_EQ(MsiProcessMessage(install_, INSTALLMESSAGE_INFO, record), IDABORT);
    EXPECT_EQ(seen, (std::vector<std::u16string>{u"line one", u"p"}));
    EXPECT_EQ(answers, (std::vector<int>{IDABORT}));
    MsiCloseHandle(record);
}

TEST_F(InstallerSessionTest, MessageOnUnknownHandlesIsRefused) {
    const MSIHANDLE record = MsiCreateRecord(1);
    EXPECT_EQ(MsiProcessMessage(install_ + 1000, INSTALLMESSAGE_INFO, record), -1);
    EXPECT_EQ(MsiProcessMessage(install_, INSTALLMESSAGE_INFO, record + 1000), -1);
    EXPECT_TRUE(InstallerMessages(install_).empty());
    MsiCloseHandle(record);
}

// ---------------------------------------------------------------- failure seams

TEST_F(InstallerSessionTest, ArmedFailuresReachTheInstallerCalls) {
    InstallerSetProperty(install_, u"P", u"value");
    SeamFailNthCall("MsiGetPropertyW", 2, 1627);
    DWORD length = 0;
    EXPECT_EQ(MsiGetPropertyW(install_, u"P", nullptr, &length), 0u);
    EXPECT_EQ(MsiGetPropertyW(install_, u"P", nullptr, &length), 1627u);
    EXPECT_EQ(MsiGetPropertyW(install_, u"P", nullptr, &length), 0u);

    SeamFailNthCall("MsiCreateRecord", 1, ERROR_OUTOFMEMORY);
    EXPECT_EQ(MsiCreateRecord(1), 0u);

    SeamFailNthCall("MsiSetPropertyW", 1, ERROR_INVALID_HANDLE);
    EXPECT_EQ(MsiSetPropertyW(install_, u"P", u"x"), static_cast<UINT>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(InstallerGetProperty(install_, u"P"), u"value") << "a failed call changes nothing";

    SeamFailNthCall("MsiProcessMessage", 1, 1);
    const MSIHANDLE record = MsiCreateRecord(1);
    EXPECT_EQ(MsiProcessMessage(install_, INSTALLMESSAGE_INFO, record), -1);
    EXPECT_TRUE(InstallerMessages(install_).empty());

    InstallerSetRunMode(install_, MSIRUNMODE_SCHEDULED, true);
    SeamFailNthCall("MsiGetMode", 1, 6);
    EXPECT_FALSE(MsiGetMode(install_, MSIRUNMODE_SCHEDULED));
    EXPECT_TRUE(MsiGetMode(install_, MSIRUNMODE_SCHEDULED));
    MsiCloseHandle(record);
}

// ---------------------------------------------------------------- registry

class RegistryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SeamClearFailures();
        SeamRegistryClear();
    }
    void TearDown() override { SeamRegistryClear(); }

    static void PutLogging(const std::u16string& text) {
        SeamRegistrySetValue(kPolicyKey, u"Logging", text.c_str(),
                             static_cast<DWORD>((text.size() + 1) * sizeof(char16_t)));
    }

    static constexpr const char16_t* kPolicyKey =
        u"Software\\Policies\\Microsoft\\Windows\\Installer";
};

TEST_F(RegistryTest, KeysAndValueNamesMatchWithoutRegardToCase) {
    PutLogging(u"voicewarmup");
    HKEY key = nullptr;
    ASSERT_EQ(
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\policies\\Microsoft\\WINDOWS\\installer", 0,
                      KEY_QUERY_VALUE, &key),
        ERROR_SUCCESS);
    DWORD bytes = 0;
    DWORD type = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"LOGGING", nullptr, &type, nullptr, &bytes), ERROR_SUCCESS);
    EXPECT_EQ(bytes, 24u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryTest, QueryFollowsTheWindowsSizeRules) {
    PutLogging(u"0123456789abcdef");  // 17 characters with the terminator: 34 bytes
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPolicyKey, 0, KEY_QUERY_VALUE, &key),
              ERROR_SUCCESS);

    // The library's read: a zeroed 32-byte buffer.
    char16_t buffer[16] = {};
    DWORD bytes = sizeof buffer;
    EXPECT_EQ(RegQueryValueExW(key, u"Logging", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer),
                               &bytes),
              ERROR_MORE_DATA);
    EXPECT_EQ(bytes, 34u);
    EXPECT_EQ(buffer[0], 0) << "a buffer too small is left as it was";

    char16_t large[20] = {};
    bytes = sizeof large;
    EXPECT_EQ(
        RegQueryValueExW(key, u"Logging", nullptr, nullptr, reinterpret_cast<BYTE*>(large), &bytes),
        ERROR_SUCCESS);
    EXPECT_EQ(bytes, 34u);
    EXPECT_EQ(std::u16string(large), u"0123456789abcdef");

    EXPECT_EQ(RegQueryValueExW(key, u"Missing", nullptr, nullptr, nullptr, &bytes),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExW(key, u"Logging", nullptr, nullptr, reinterpret_cast<BYTE*>(large),
                               nullptr),
              ERROR_INVALID_PARAMETER);
    RegCloseKey(key);
}

TEST_F(RegistryTest, MissingKeysAreNotFound) {
    HKEY key = reinterpret_cast<HKEY>(1);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPolicyKey, 0, KEY_QUERY_VALUE, &key),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr);

    PutLogging(u"v");
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Policies", 0, KEY_QUERY_VALUE, &key),
              ERROR_SUCCESS)
        << "the parents of a stored key exist";
    HKEY child = nullptr;
    EXPECT_EQ(RegOpenKeyExW(key, u"Microsoft\\Windows\\Installer", 0, KEY_QUERY_VALUE, &child),
              ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExW(key, u"Microsoft\\Other", 0, KEY_QUERY_VALUE, &child),
              ERROR_FILE_NOT_FOUND);
    RegCloseKey(child);
    RegCloseKey(key);

    SeamRegistryClear();
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPolicyKey, 0, KEY_QUERY_VALUE, &key),
              ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, ArmedFailuresReachTheRegistryCalls) {
    PutLogging(u"v");
    SeamFailNthCall("RegOpenKeyExW", 1, ERROR_ACCESS_DENIED);
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPolicyKey, 0, KEY_QUERY_VALUE, &key),
              ERROR_ACCESS_DENIED);
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPolicyKey, 0, KEY_QUERY_VALUE, &key),
              ERROR_SUCCESS);
    SeamFailNthCall("RegQueryValueExW", 1, ERROR_ACCESS_DENIED);
    DWORD bytes = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"Logging", nullptr, nullptr, nullptr, &bytes),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

}  // namespace
