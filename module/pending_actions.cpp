// Exports of the actions whose work has not landed in this build yet. They keep
// the export table complete, so packages that reference them load the library, and
// fail the action with 1603 (ERROR_INSTALL_FAILURE) without touching anything.
#include "module/exports.h"
#include "runtime/installer.h"

OSTREL_CA_EXPORT CASendServiceTag(MSIHANDLE /*install*/) {
    return kExitFailure;
}

OSTREL_CA_EXPORT CAUpdateOfflineReg(MSIHANDLE /*install*/) {
    return kExitFailure;
}
