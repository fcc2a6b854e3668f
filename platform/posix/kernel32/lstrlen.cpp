// String lengths of kernel32: lstrlenW and lstrlenA. A null string has length 0,
// as the Windows functions answer for it.
#include <cstring>

#include "platform/posix/win32_strings.h"

int lstrlenW(LPCWSTR text) {
    if (text == nullptr) {
        return 0;
    }
    size_t length = 0;
    while (text[length] != 0) {
        ++length;
    }
    return static_cast<int>(length);
}

int lstrlenA(LPCSTR text) {
    return text == nullptr ? 0 : static_cast<int>(std::strlen(text));
}
