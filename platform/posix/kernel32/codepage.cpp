// Code page conversions between UTF-16 and narrow text, with the argument and
// count rules of the Windows functions. UTF-8 is the only narrow encoding here:
// CP_UTF8 and CP_ACP (the system's narrow code page, UTF-8 on this platform).
//
// Counts: a source count of -1 takes the text up to and including its terminator,
// so the result counts the terminator too; a destination size of 0 asks for the
// size needed; a destination that is too small fails with
// ERROR_INSUFFICIENT_BUFFER and receives nothing. Failures return 0 and set the
// thread's last error. Both entries can be made to fail through the call seams.
#include <cstring>
#include <new>
#include <string>

#include "platform/posix/shared/seams.h"
#include "platform/posix/shared/utf.h"
#include "platform/posix/win32_strings.h"

namespace {

constexpr DWORD kAcpToWideFlags = 0x1 | 0x2 | 0x4 | MB_ERR_INVALID_CHARS;
constexpr DWORD kAcpToNarrowFlags = 0x10 | 0x20 | 0x40 | WC_ERR_INVALID_CHARS | 0x200 | 0x400;

int Fail(DWORD error) {
    SetLastError(error);
    return 0;
}

bool SupportedCodePage(UINT codePage) {
    return codePage == CP_UTF8 || codePage == CP_ACP;
}

// The source length in units, given the caller's count (-1: up to and including
// the terminator).
template <typename Ch>
size_t SourceLength(const Ch* source, int count) {
    if (count >= 0) {
        return static_cast<size_t>(count);
    }
    size_t length = 0;
    while (source[length] != 0) {
        ++length;
    }
    return length + 1;
}

// Stores `converted` in the destination, or answers the size query.
template <typename Out, typename Text>
int Deliver(const Text& converted, Out* dest, int destCount) {
    if (converted.size() > static_cast<size_t>(INT32_MAX)) {
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    const int needed = static_cast<int>(converted.size());
    if (destCount == 0) {
        return needed;
    }
    if (destCount < needed) {
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(dest, converted.data(), converted.size() * sizeof(Out));
    return needed;
}

}  // namespace

int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR source, int sourceBytes, LPWSTR dest,
                        int destChars) {
    uint32_t code = 0;
    if (SeamCallFails("MultiByteToWideChar", &code)) {
        return Fail(code);
    }
    if (!SupportedCodePage(codePage)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    const DWORD allowed = codePage == CP_UTF8 ? MB_ERR_INVALID_CHARS : kAcpToWideFlags;
    if ((flags & ~allowed) != 0) {
        return Fail(ERROR_INVALID_FLAGS);
    }
    if (source == nullptr || sourceBytes == 0 || sourceBytes < -1 || destChars < 0 ||
        (dest == nullptr && destChars != 0) ||
        static_cast<const void*>(source) == static_cast<const void*>(dest)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    try {
        bool valid = true;
        const std::u16string wide = Utf8ToUtf16(source, SourceLength(source, sourceBytes), &valid);
        if (!valid && (flags & MB_ERR_INVALID_CHARS) != 0) {
            return Fail(ERROR_NO_UNICODE_TRANSLATION);
        }
        return Deliver(wide, dest, destChars);
    } catch (const std::bad_alloc&) {
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
}

int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR source, int sourceChars, LPSTR dest,
                        int destBytes, LPCSTR defaultChar, LPBOOL usedDefaultChar) {
    uint32_t code = 0;
    if (SeamCallFails("WideCharToMultiByte", &code)) {
        return Fail(code);
    }
    if (!SupportedCodePage(codePage)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    const DWORD allowed = codePage == CP_UTF8 ? WC_ERR_INVALID_CHARS : kAcpToNarrowFlags;
    if ((flags & ~allowed) != 0) {
        return Fail(ERROR_INVALID_FLAGS);
    }
    // UTF-8 can encode every character, so it takes no default character.
    if (codePage == CP_UTF8 && (defaultChar != nullptr || usedDefaultChar != nullptr)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (source == nullptr || sourceChars == 0 || sourceChars < -1 || destBytes < 0 ||
        (dest == nullptr && destBytes != 0) ||
        static_cast<const void*>(source) == static_cast<const void*>(dest)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    try {
        bool valid = true;
        const std::string narrow = Utf16ToUtf8(source, SourceLength(source, sourceChars), &valid);
        if (!valid && (flags & WC_ERR_INVALID_CHARS) != 0) {
            return Fail(ERROR_NO_UNICODE_TRANSLATION);
        }
        if (usedDefaultChar != nullptr) {
            *usedDefaultChar = FALSE;  // unpaired surrogates become U+FFFD, not the default
        }
        return Deliver(narrow, dest, destBytes);
    } catch (const std::bad_alloc&) {
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
}
