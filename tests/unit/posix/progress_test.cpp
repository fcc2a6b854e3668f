// Progress reporting: the message sequences of immediate and deferred actions, the
// once-per-process announcement (each test runs in its own process), and each
// class of installer answer.
#include "installer_fixture.h"
#include "runtime/context_log.h"
#include "runtime/progress.h"

namespace {

using Records = std::vector<std::vector<int>>;
using Lines = std::vector<std::string>;

class Progress : public InstallerTest {
  protected:
    void SetUp() override {
        InstallerTest::SetUp();
        ASSERT_EQ(S_OK, ActionBegin(install_, "CATest"));
    }
    void TearDown() override {
        ActionEnd(0);
        InstallerTest::TearDown();
    }
};

TEST_F(Progress, DeferredAnnouncesOnceThenAdvancesTheBar) {
    EXPECT_EQ(S_OK, ReportProgress(3000, 0));
    EXPECT_EQ(S_OK, ReportProgress(2000, 0));
    EXPECT_EQ((Records{{1, 1, 0}, {2, 3000, 0}, {2, 2000, 0}}), ProgressRecords());
    EXPECT_EQ(0u, ActionEnd(0));
}

TEST_F(Progress, ImmediateAddsToTheTotalWithoutAnnouncing) {
    EXPECT_EQ(S_OK, ReportProgress(2000, 1));
    EXPECT_EQ(S_OK, ReportProgress(0, 1));
    EXPECT_EQ(S_OK, ReportProgress(-5, 7));
    // Immediate calls leave the announcement for the first deferred one.
    EXPECT_EQ(S_OK, ReportProgress(10, 0));
    EXPECT_EQ((Records{{3, 2000, 0}, {3, 0, 0}, {3, -5, 0}, {1, 1, 0}, {2, 10, 0}}),
              ProgressRecords());
}

TEST_F(Progress, AcceptingAnswersAreZeroOkAndYes) {
    InstallerScriptAnswer(install_, INSTALLMESSAGE_PROGRESS, 1, IDYES);
    InstallerScriptAnswer(install_, INSTALLMESSAGE_PROGRESS, 2, IDOK);
    InstallerScriptAnswer(install_, INSTALLMESSAGE_PROGRESS, 3, 0);
    EXPECT_EQ(S_OK, ReportProgress(1, 0));
    EXPECT_EQ(S_OK, ReportProgress(1, 1));
    EXPECT_EQ(0u, ActionEnd(0));
    EXPECT_TRUE(InfoLines().empty());
}

TEST_F(Progress, CancelledAnnouncementSendsNothingMoreAndIsAskedAgain) {
    ActionEnd(0);  // each case runs its own action on its own session
    for (int answer : {IDCANCEL, IDABORT}) {
        const MSIHANDLE install = InstallerOpenSession();
        ASSERT_EQ(S_OK, ActionBegin(install, "CATest"));
        InstallerScriptAnswer(install, INSTALLMESSAGE_PROGRESS, 1, answer);
        EXPECT_EQ(S_FALSE, ReportProgress(3000, 0));
        EXPECT_EQ(1602u, ActionEnd(0)) << answer;
        EXPECT_EQ(1u, InstallerMessages(install).size());
        InstallerCloseSession(install);
    }
    ASSERT_EQ(S_OK, ActionBegin(install_, "CATest"));
    EXPECT_EQ(S_OK, ReportProgress(5, 0));
    EXPECT_EQ((Records{{1, 1, 0}, {2, 5, 0}}), ProgressRecords());
}

TEST_F(Progress, UnexpectedAnswerToTheAnnouncementIsLoggedAndAskedAgain) {
    InstallerScriptAnswer(install_, INSTALLMESSAGE_PROGRESS, 1, -1);
    EXPECT_EQ(E_UNEXPECTED, ReportProgress(3000, 0));
    EXPECT_EQ(Lines{"CATest:  Error 0x8000ffff: failed to tell Darwin to use explicit progress "
                    "messages"},
              InfoLines());
    EXPECT_EQ(S_OK, ReportProgress(3000, 0));
    EXPECT_EQ((Records{{1, 1, 0}, {1, 1, 0}, {2, 3000, 0}}), ProgressRecords());
    EXPECT_EQ(0u, ActionEnd(0));
}

TEST_F(Progress, AnswersToAReportOrAddition) {
    struct Case {
        DWORD inputMode;
        int answer;
        HRESULT expected;
        UINT exitCode;
    };
    ActionEnd(0);  // each case runs its own action on its own session
    const Case cases[] = {
        {1, IDCANCEL, S_FALSE, 1602}, {1, IDABORT, S_FALSE, 1602}, {0, IDABORT, S_FALSE, 1602},
        {1, -1, E_UNEXPECTED, 0},     {1, IDNO, E_UNEXPECTED, 0},  {1, 1602, E_UNEXPECTED, 1602},
    };
    for (const Case& c : cases) {
        const MSIHANDLE install = InstallerOpenSession();
        ASSERT_EQ(S_OK, ActionBegin(install, "CATest"));
        // In a deferred case the announcement is the first message.
        InstallerScriptAnswer(install, INSTALLMESSAGE_PROGRESS, c.inputMode == 0 ? 2 : 1, c.answer);
        EXPECT_EQ(c.expected, ReportProgress(2000, c.inputMode)) << c.answer;
        EXPECT_EQ(c.exitCode, ActionEnd(0)) << c.answer;
        // An unexpected answer to a report has no line of its own.
        for (const InstallerMessage& message : InstallerMessages(install)) {
            EXPECT_NE(INSTALLMESSAGE_INFO, message.type);
        }
        InstallerCloseSession(install);
    }
}

}  // namespace
