// The five exported custom actions. Each is standard-call, takes the install
// handle and returns the installer exit code: 0, 1603, or 1602 after a user cancel.
// On Windows the names are exported undecorated through ostrel_ca.def; on Linux
// they are the only dynamic symbols of libostrel_ca.so (module/exports.map).
#ifndef OSTREL_MODULE_EXPORTS_H
#define OSTREL_MODULE_EXPORTS_H

#include "platform/win32.h"

#define OSTREL_CA_EXPORT extern "C" OSTREL_EXPORT_VISIBLE UINT WINAPI

OSTREL_CA_EXPORT CASetRegDateTime(MSIHANDLE install);
OSTREL_CA_EXPORT CACreateURN(MSIHANDLE install);
OSTREL_CA_EXPORT CAQueryWMI(MSIHANDLE install);
OSTREL_CA_EXPORT CASendServiceTag(MSIHANDLE install);
OSTREL_CA_EXPORT CAUpdateOfflineReg(MSIHANDLE install);

#endif  // OSTREL_MODULE_EXPORTS_H
