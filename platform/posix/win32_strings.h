// posix substitutes for text: string lengths and code page conversions of kernel32
// (kernel32/lstrlen.cpp, kernel32/codepage.cpp), the bounded formatters of msvcrt
// (msvcrt/bounded_formatters.cpp) and the SDK's bounded ("safe") string functions
// of strsafe.h (strsafe/strsafe.cpp), with the behaviour Windows gives them.
//
// Formats follow the Microsoft C runtime, not C99: in a wide format "%s" takes a
// wide string and "%S" a narrow one; in a narrow format "%s" is narrow and "%S"
// wide; "%wS"/"%ws"/"%ls" are always wide, "%hs" always narrow; "%c" is a character
// of the format's own width, "%C" of the other; "h" with an integer conversion takes
// a 16-bit value. A null string argument prints "(null)". Text of the other width
// is converted as msvcrt's "C" locale does: a byte is U+0000-U+00FF, and a wide
// string with a character above U+00FF cannot be put into narrow output.
#ifndef OSTREL_PLATFORM_POSIX_WIN32_STRINGS_H
#define OSTREL_PLATFORM_POSIX_WIN32_STRINGS_H

#include <cstdarg>

#include "platform/posix/win32_base.h"

#define STRSAFE_MAX_CCH 2147483647
#define STRSAFE_E_INSUFFICIENT_BUFFER static_cast<HRESULT>(0x8007007A)
#define STRSAFE_E_INVALID_PARAMETER static_cast<HRESULT>(0x80070057)
#define STRSAFE_E_END_OF_FILE static_cast<HRESULT>(0x80070026)
#define STRSAFE_IGNORE_NULLS 0x00000100
#define STRSAFE_FILL_BEHIND_NULL 0x00000200
#define STRSAFE_FILL_ON_FAILURE 0x00000400
#define STRSAFE_NULL_ON_FAILURE 0x00000800
#define STRSAFE_NO_TRUNCATION 0x00001000
// Fill behind the terminator with byte x (the flags' low byte).
#define STRSAFE_FILL_BYTE(x) (static_cast<DWORD>(((x)&0xFF) | STRSAFE_FILL_BEHIND_NULL))

// Length in characters without the terminator; 0 for a null string.
int lstrlenW(LPCWSTR text);
int lstrlenA(LPCSTR text);

// Capacities (cchDest) count characters with the terminator. A capacity of 0 or
// above STRSAFE_MAX_CCH is refused with STRSAFE_E_INVALID_PARAMETER and the
// destination is left alone; otherwise the destination is always terminated, and
// text that does not fit leaves its first cchDest - 1 characters and gives
// STRSAFE_E_INSUFFICIENT_BUFFER. Output of exactly cchDest - 1 characters fits.
//
// StringCchLength: the characters before the terminator, which must come within
// cchMax characters; otherwise STRSAFE_E_INVALID_PARAMETER with *length 0.
// StringCchCopyNExW / StringCchCatNExW: copy or append at most the count of
// characters (a count of STRSAFE_MAX_CCH or more is refused), stopping at the
// source's terminator; the append needs a terminator within the capacity. Flags:
// STRSAFE_FILL_BEHIND_NULL fills the rest of the destination with the flags' low
// byte after success; STRSAFE_FILL_ON_FAILURE / STRSAFE_NULL_ON_FAILURE fill or
// empty it after a failure; STRSAFE_NO_TRUNCATION leaves the copy empty and the
// append's destination as it was instead of cutting; STRSAFE_IGNORE_NULLS takes a
// null source as empty. The end pointer and remaining count, when asked for, are
// set after success and after truncation.
// StringCchPrintf / StringCchVPrintf: _vsnprintf / _vsnwprintf into at most
// cchDest - 1 characters; a format that cannot be carried out also gives
// STRSAFE_E_INSUFFICIENT_BUFFER, the destination ending where output stopped.
HRESULT StringCchLengthW(LPCWSTR text, size_t cchMax, size_t* length);
HRESULT StringCchLengthA(LPCSTR text, size_t cchMax, size_t* length);
HRESULT StringCchCopyNExW(LPWSTR dest, size_t cchDest, LPCWSTR src, size_t cchToCopy,
                          LPWSTR* destEnd, size_t* remaining, DWORD flags);
HRESULT StringCchCatNExW(LPWSTR dest, size_t cchDest, LPCWSTR src, size_t cchToAppend,
                         LPWSTR* destEnd, size_t* remaining, DWORD flags);
HRESULT StringCchVPrintfW(LPWSTR dest, size_t cchDest, LPCWSTR format, va_list args);
HRESULT StringCchPrintfW(LPWSTR dest, size_t cchDest, LPCWSTR format, ...);
HRESULT StringCchCopyA(LPSTR dest, size_t cchDest, LPCSTR src);
HRESULT StringCchCopyNA(LPSTR dest, size_t cchDest, LPCSTR src, size_t cchToCopy);
HRESULT StringCchVPrintfA(LPSTR dest, size_t cchDest, LPCSTR format, va_list args);
HRESULT StringCchPrintfA(LPSTR dest, size_t cchDest, LPCSTR format, ...);

// The C runtime's bounded formatters with the Microsoft conversions: they write at
// most `count` characters, add a terminator only when it fits, and return the
// number of characters written, or -1 when the output did not fit in `count` or
// the format could not be carried out ("%n" is not supported). A null buffer with
// a count of 0 measures: the result is the length the output needs.
int _vsnprintf(char* buffer, size_t count, const char* format, va_list args);
int _vsnwprintf(WCHAR* buffer, size_t count, const WCHAR* format, va_list args);
// The length of the whole wide output without its terminator, or -1 when the format
// cannot be carried out (or its output would pass INT_MAX characters).
int _vscwprintf(const WCHAR* format, va_list args);

// ---------------------------------------------------------------- code pages
#define CP_ACP 0
#define CP_UTF8 65001
#define MB_ERR_INVALID_CHARS 0x00000008
#define WC_ERR_INVALID_CHARS 0x00000080
#ifndef ERROR_INVALID_FLAGS
#define ERROR_INVALID_FLAGS 1004L
#endif

// UTF-8 and UTF-16 as Windows converts them; CP_ACP is taken to be UTF-8 here.
// Invalid input becomes U+FFFD unless the flags ask for an error
// (ERROR_NO_UNICODE_TRANSLATION). A count of -1 takes the input up to and
// including its terminator. A destination size of 0 asks for the size needed; one
// that is too small fails with ERROR_INSUFFICIENT_BUFFER. Failures return 0 with
// the last error set: ERROR_INVALID_PARAMETER for another code page, a source
// count of 0 or a null source, ERROR_INVALID_FLAGS for flags the code page does
// not take; CP_UTF8 takes no default character.
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR source, int sourceBytes, LPWSTR dest,
                        int destChars);
int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR source, int sourceChars, LPSTR dest,
                        int destBytes, LPCSTR defaultChar, LPBOOL usedDefaultChar);

#endif  // OSTREL_PLATFORM_POSIX_WIN32_STRINGS_H
