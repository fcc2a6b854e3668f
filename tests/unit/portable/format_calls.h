// Variadic front ends for the tests of the formatters. Each passes its arguments on
// as a va_list, so what runs is the va_list form: the safe-string formatters and
// the C runtime's bounded formatters, wide and narrow.
#ifndef OSTREL_TESTS_UNIT_PORTABLE_FORMAT_CALLS_H
#define OSTREL_TESTS_UNIT_PORTABLE_FORMAT_CALLS_H

#include <gtest/gtest.h>

#include <cstdarg>
#include <string>

#include "platform/win32.h"

// StringCchVPrintfA into `dest` of `capacity` characters; its result.
inline HRESULT PrintfA(char* dest, size_t capacity, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const HRESULT hr = StringCchVPrintfA(dest, capacity, format, args);
    va_end(args);
    return hr;
}

// StringCchVPrintfW into `dest` of `capacity` characters; its result.
inline HRESULT PrintfW(WCHAR* dest, size_t capacity, const WCHAR* format, ...) {
    va_list args;
    va_start(args, format);
    const HRESULT hr = StringCchVPrintfW(dest, capacity, format, args);
    va_end(args);
    return hr;
}

// The text StringCchVPrintfA makes, which must fit 512 characters (a failure is
// reported and gives "<failed>").
inline std::string Narrow(const char* format, ...) {
    char buffer[512];
    va_list args;
    va_start(args, format);
    const HRESULT hr = StringCchVPrintfA(buffer, 512, format, args);
    va_end(args);
    EXPECT_EQ(S_OK, hr) << "format: " << format;
    return hr == S_OK ? std::string(buffer) : std::string("<failed>");
}

// The text StringCchVPrintfW makes, which must fit 512 characters (a failure is
// reported and gives "<failed>").
inline std::basic_string<WCHAR> Wide(const WCHAR* format, ...) {
    WCHAR buffer[512];
    va_list args;
    va_start(args, format);
    const HRESULT hr = StringCchVPrintfW(buffer, 512, format, args);
    va_end(args);
    EXPECT_EQ(S_OK, hr);
    return std::basic_string<WCHAR>(hr == S_OK ? buffer : WSTR("<failed>"));
}

// The C runtime's _vsnprintf and _vsnwprintf with a count of `count` characters;
// their result. The Windows safe-string header hides these names unless
// STRSAFE_NO_DEPRECATE comes before it, so there only a file that asks for them
// has them.
#if !defined(_WIN32) || defined(STRSAFE_NO_DEPRECATE)
inline int BoundedA(char* buffer, size_t count, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int result = _vsnprintf(buffer, count, format, args);
    va_end(args);
    return result;
}

inline int BoundedW(WCHAR* buffer, size_t count, const WCHAR* format, ...) {
    va_list args;
    va_start(args, format);
    const int result = _vsnwprintf(buffer, count, format, args);
    va_end(args);
    return result;
}
#endif

#endif  // OSTREL_TESTS_UNIT_PORTABLE_FORMAT_CALLS_H
