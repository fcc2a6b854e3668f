// The one platform header of the library's own code (runtime/, actions/, module/).
//
// On Windows it brings in the real SDK headers for the Win32 subset the library
// calls: the installer, the process heap, files, safe strings, COM, MSXML, WMI,
// RPC, WinHTTP and the shell. Everywhere else it brings in platform/posix/, which
// declares the same names over POSIX and a few libraries. The library's code never
// tests the operating system itself; the differences end here.
//
// Wide literals: WCHAR is wchar_t on Windows and char16_t elsewhere, so wide text
// in the library's code is written as WSTR("...").
#ifndef OSTREL_PLATFORM_WIN32_H
#define OSTREL_PLATFORM_WIN32_H

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <msi.h>
#include <msiquery.h>
#include <rpc.h>
#include <ole2.h>
#include <oleauto.h>
#include <msxml2.h>
#include <wbemidl.h>
#include <winhttp.h>
#include <shellapi.h>
#include <stdarg.h>
#include <wchar.h>

#define WSTR(text) L##text
// The exports are named in the .def file; nothing more is needed to export them.
#define OSTREL_EXPORT_VISIBLE

// strsafe.h goes last: it poisons the unbounded C runtime names it replaces.
#include <strsafe.h>

#else  // everywhere else: the posix substitutes

#include "platform/posix/win32_base.h"
#include "platform/posix/win32_strings.h"
#include "platform/posix/win32_msi.h"
#include "platform/posix/win32_files.h"
#include "platform/posix/win32_com.h"
#include "platform/posix/win32_wbem.h"
#include "platform/posix/win32_winhttp.h"
#include "platform/posix/win32_shell.h"

#define WSTR(text) u##text
#define OSTREL_EXPORT_VISIBLE __attribute__((visibility("default")))

#endif

#endif  // OSTREL_PLATFORM_WIN32_H
