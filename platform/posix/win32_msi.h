// posix substitutes: the Windows Installer (msi) functions the library calls, over
// an in-process installer session (msi/installer_session.h), and the read-only
// database calls of the package checker, over libmsi (msi/installer_package.cpp).
#ifndef OSTREL_PLATFORM_POSIX_WIN32_MSI_H
#define OSTREL_PLATFORM_POSIX_WIN32_MSI_H

#include "platform/posix/win32_base.h"

typedef uint32_t MSIHANDLE;

typedef enum tagINSTALLMESSAGE {
    INSTALLMESSAGE_FATALEXIT = 0x00000000,
    INSTALLMESSAGE_ERROR = 0x01000000,
    INSTALLMESSAGE_WARNING = 0x02000000,
    INSTALLMESSAGE_USER = 0x03000000,
    INSTALLMESSAGE_INFO = 0x04000000,
    INSTALLMESSAGE_ACTIONSTART = 0x08000000,
    INSTALLMESSAGE_ACTIONDATA = 0x09000000,
    INSTALLMESSAGE_PROGRESS = 0x0A000000,
    INSTALLMESSAGE_COMMONDATA = 0x0B000000,
} INSTALLMESSAGE;

typedef enum tagMSIRUNMODE {
    MSIRUNMODE_ADMIN = 0,
    MSIRUNMODE_ADVERTISE = 1,
    MSIRUNMODE_MAINTENANCE = 2,
    MSIRUNMODE_ROLLBACKENABLED = 3,
    MSIRUNMODE_LOGENABLED = 4,
    MSIRUNMODE_OPERATIONS = 5,
    MSIRUNMODE_REBOOTATEND = 6,
    MSIRUNMODE_REBOOTNOW = 7,
    MSIRUNMODE_CABINET = 8,
    MSIRUNMODE_SOURCESHORTNAMES = 9,
    MSIRUNMODE_TARGETSHORTNAMES = 10,
    MSIRUNMODE_RESERVED11 = 11,
    MSIRUNMODE_WINDOWS9X = 12,
    MSIRUNMODE_ZAWENABLED = 13,
    MSIRUNMODE_RESERVED14 = 14,
    MSIRUNMODE_RESERVED15 = 15,
    MSIRUNMODE_SCHEDULED = 16,
    MSIRUNMODE_ROLLBACK = 17,
    MSIRUNMODE_COMMIT = 18,
} MSIRUNMODE;

MSIHANDLE MsiGetActiveDatabase(MSIHANDLE install);
UINT MsiCloseHandle(MSIHANDLE handle);
MSIHANDLE MsiCreateRecord(UINT fieldCount);
UINT MsiRecordSetStringA(MSIHANDLE record, UINT field, LPCSTR value);
UINT MsiRecordSetStringW(MSIHANDLE record, UINT field, LPCWSTR value);
UINT MsiRecordSetInteger(MSIHANDLE record, UINT field, int value);
int MsiProcessMessage(MSIHANDLE install, INSTALLMESSAGE type, MSIHANDLE record);
UINT MsiGetPropertyA(MSIHANDLE install, LPCSTR name, LPSTR value, DWORD* length);
UINT MsiGetPropertyW(MSIHANDLE install, LPCWSTR name, LPWSTR value, DWORD* length);
UINT MsiSetPropertyW(MSIHANDLE install, LPCWSTR name, LPCWSTR value);
UINT MsiFormatRecordW(MSIHANDLE install, MSIHANDLE record, LPWSTR result, DWORD* length);
BOOL MsiGetMode(MSIHANDLE install, MSIRUNMODE mode);

// ---------------------------------------------------------------- package databases
// A package opened from its file, its views and their records. Only read-only
// opening is provided. Text is UTF-16, as in msi.dll.
#define MSIDBOPEN_READONLY (static_cast<LPCWSTR>(nullptr))
// What MsiRecordGetInteger gives for a null or non-numeric field.
#define MSI_NULL_INTEGER (static_cast<int>(0x80000000u))

UINT MsiOpenDatabaseW(LPCWSTR path, LPCWSTR persist, MSIHANDLE* database);
UINT MsiDatabaseOpenViewW(MSIHANDLE database, LPCWSTR query, MSIHANDLE* view);
UINT MsiViewExecute(MSIHANDLE view, MSIHANDLE parameters);
UINT MsiViewFetch(MSIHANDLE view, MSIHANDLE* record);
UINT MsiRecordGetStringW(MSIHANDLE record, UINT field, LPWSTR value, DWORD* length);
int MsiRecordGetInteger(MSIHANDLE record, UINT field);
BOOL MsiRecordIsNull(MSIHANDLE record, UINT field);
UINT MsiRecordReadStream(MSIHANDLE record, UINT field, char* buffer, DWORD* length);

#endif  // OSTREL_PLATFORM_POSIX_WIN32_MSI_H
