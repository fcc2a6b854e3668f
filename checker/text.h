// Text of the package checker: the database API's UTF-16 (WCHAR, wchar_t on
// Windows and char16_t elsewhere) to and from the UTF-8 the checker keeps and
// prints. Ill-formed input becomes U+FFFD.
#ifndef OSTREL_CHECKER_TEXT_H
#define OSTREL_CHECKER_TEXT_H

#include <string>

#include "platform/win32.h"

using WideString = std::basic_string<WCHAR>;

std::string WideToUtf8(const WideString& text);
WideString Utf8ToWide(const std::string& text);

#endif  // OSTREL_CHECKER_TEXT_H
