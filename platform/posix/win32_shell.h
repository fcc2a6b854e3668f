// posix substitutes: the one call of shell32, ShellExecuteW, in
// shell32/shell_execute.cpp.
//
// The "open" verb hands the file or URL to the desktop's opener, `xdg-open`, run
// directly (no shell) with the target as its one argument. The call does not wait
// for the opener: it answers once the program has started, and the program is
// never left behind as a zombie.
#ifndef OSTREL_PLATFORM_POSIX_WIN32_SHELL_H
#define OSTREL_PLATFORM_POSIX_WIN32_SHELL_H

#include "platform/posix/win32_base.h"

typedef intptr_t INT_PTR;

#define SW_HIDE 0
#define SW_SHOWNORMAL 1

// ShellExecuteW's answers of 32 or less: the failures.
#define SE_ERR_FNF 2
#define SE_ERR_ACCESSDENIED 5
#define SE_ERR_NOASSOC 31
#define ERROR_NO_ASSOCIATION 1155L

// Opens `file` with the verb "open" (null means "open" too): starts the opener with
// the file (UTF-8) as its argument and answers 33 once it runs. When the opener
// cannot be started, or the file is null or empty, the answer is SE_ERR_FNF (2)
// with the last error set (2 for a program or file that is not there, 5 for a
// program that may not be run). Another verb, or parameters, give SE_ERR_NOASSOC
// (31) with the last error ERROR_NO_ASSOCIATION. The window, directory and show command are not
// used.
HINSTANCE ShellExecuteW(HWND window, LPCWSTR verb, LPCWSTR file, LPCWSTR parameters,
                        LPCWSTR directory, INT showCommand);

#endif  // OSTREL_PLATFORM_POSIX_WIN32_SHELL_H
