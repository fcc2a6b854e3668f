// Progress reporting. One record of three integer fields is created per call and
// reused for its messages:
//   (1, 1, 0)      the action will send explicit progress reports (announced once
//                  per process, when first run deferred and accepted)
//   (2, ticks, 0)  advance the bar (deferred)
//   (3, ticks, 0)  add to the expected total (immediate)
// Answers 0, IDOK and IDYES accept; IDCANCEL and IDABORT are a user cancel; any
// other answer, -1 included, is unexpected.
#include "runtime/progress.h"

#include "runtime/context_log.h"
#include "runtime/installer.h"

namespace {

// Set once the installer accepted the announcement; never reset.
int g_explicitProgressAnnounced;

enum class Answer { Accepted, Cancelled, Unexpected };

Answer Classify(int answer) {
    switch (answer) {
        case kAnswerNone:
        case kAnswerOk:
        case kAnswerYes:
            return Answer::Accepted;
        case kAnswerCancel:
        case kAnswerAbort:
            return Answer::Cancelled;
        default:
            return Answer::Unexpected;
    }
}

Answer SendProgress(MSIHANDLE record, int type, int value) {
    MsiRecordSetInteger(record, 1, type);
    MsiRecordSetInteger(record, 2, value);
    MsiRecordSetInteger(record, 3, 0);
    return Classify(SendInstallerMessage(INSTALLMESSAGE_PROGRESS, record));
}

}  // namespace

HRESULT ReportProgress(int ticks, DWORD inputMode) {
    ScopedMsiHandle record(MsiCreateRecord(3));

    if (inputMode == 0 && g_explicitProgressAnnounced == 0) {
        switch (SendProgress(record.get(), 1, 1)) {
            case Answer::Accepted:
                g_explicitProgressAnnounced = 1;
                break;
            case Answer::Cancelled:
                ActionSetOverrideExitCode(ERROR_INSTALL_USEREXIT);
                return S_FALSE;
            case Answer::Unexpected:
                LogFailure(E_UNEXPECTED, "failed to tell Darwin to use explicit progress messages");
                return E_UNEXPECTED;
        }
    }

    switch (SendProgress(record.get(), inputMode != 0 ? 3 : 2, ticks)) {
        case Answer::Accepted:
            return S_OK;
        case Answer::Cancelled:
            ActionSetOverrideExitCode(ERROR_INSTALL_USEREXIT);
            return S_FALSE;
        case Answer::Unexpected:
            break;
    }
    return E_UNEXPECTED;
}
