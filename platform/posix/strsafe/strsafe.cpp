// The bounded ("safe") string functions of the SDK's strsafe.h: lengths, copies, appends and
// formatted output into a destination of a given capacity in characters, the
// terminator included. The destination is always left terminated when its
// capacity is valid; text that does not fit is cut to capacity - 1 characters and
// reported with STRSAFE_E_INSUFFICIENT_BUFFER.
//
// Argument checks: a capacity of 0 or above STRSAFE_MAX_CCH is refused with
// STRSAFE_E_INVALID_PARAMETER and the destination is not touched. Null pointers,
// which the Windows functions would dereference, are refused the same way here;
// a null source with a count of 0 is an empty source, as on Windows, where the
// count stops the copy before the source is read.
#include <cstring>

#include "platform/posix/shared/format_engine.h"
#include "platform/posix/win32_strings.h"

namespace {

constexpr size_t kMaxCch = STRSAFE_MAX_CCH;
constexpr DWORD kValidFlags = 0x000000FF | STRSAFE_IGNORE_NULLS | STRSAFE_FILL_BEHIND_NULL |
                              STRSAFE_FILL_ON_FAILURE | STRSAFE_NULL_ON_FAILURE |
                              STRSAFE_NO_TRUNCATION;

bool ValidCapacity(size_t capacity) {
    return capacity != 0 && capacity <= kMaxCch;
}

BYTE FillByte(DWORD flags) {
    return static_cast<BYTE>(flags & 0xFF);
}

template <typename Ch>
HRESULT Length(const Ch* text, size_t most, size_t* length) {
    HRESULT hr = STRSAFE_E_INVALID_PARAMETER;
    size_t found = 0;
    if (text != nullptr && most <= kMaxCch) {
        while (found < most && text[found] != 0) {
            ++found;
        }
        hr = found < most ? S_OK : STRSAFE_E_INVALID_PARAMETER;
    }
    if (length != nullptr) {
        *length = SUCCEEDED(hr) ? found : 0;
    }
    return hr;
}

// Copies at most `count` characters of `source`, stopping at its terminator, into
// a destination of `capacity` (at least 1) characters, always terminating it.
// The copy runs forward one character at a time, so a source that is the
// destination's own text (or lies behind it) is copied correctly. `copied` is the
// number of characters now in front of the terminator.
template <typename Ch>
HRESULT CopyCounted(Ch* dest, size_t capacity, const Ch* source, size_t count, size_t* copied) {
    size_t at = 0;
    while (at < capacity && count != 0 && *source != 0) {
        dest[at++] = *source++;
        --count;
    }
    HRESULT hr = S_OK;
    if (at == capacity) {
        --at;  // cut to capacity - 1 characters
        hr = STRSAFE_E_INSUFFICIENT_BUFFER;
    }
    dest[at] = 0;
    *copied = at;
    return hr;
}

// Narrow text: the same rule, with the terminator looked for by memchr and the
// bytes moved by memcpy, so that a copy of megabytes (a service tag) takes about
// as long as the memory takes to move.
template <>
HRESULT CopyCounted(char* dest, size_t capacity, const char* source, size_t count, size_t* copied) {
    const size_t limit = count < capacity ? count : capacity;
    const void* zero = std::memchr(source, 0, limit);
    size_t at =
        zero != nullptr ? static_cast<size_t>(static_cast<const char*>(zero) - source) : limit;
    HRESULT hr = S_OK;
    if (at == capacity) {
        --at;  // cut to capacity - 1 characters
        hr = STRSAFE_E_INSUFFICIENT_BUFFER;
    }
    std::memmove(dest, source, at);
    dest[at] = 0;
    *copied = at;
    return hr;
}

// The Ex functions' handling of their flags once the operation is done: fill
// behind the terminator after success, and fill or empty the destination after a
// failure. `end`/`remaining` describe the result and are updated.
HRESULT FinishEx(WCHAR* dest, size_t capacity, HRESULT hr, DWORD flags, bool emptyOnTruncation,
                 size_t* end, size_t* remaining) {
    if (SUCCEEDED(hr)) {
        if ((flags & STRSAFE_FILL_BEHIND_NULL) != 0 && *remaining > 1) {
            std::memset(dest + *end + 1, FillByte(flags), (*remaining - 1) * sizeof(WCHAR));
        }
        return hr;
    }
    if ((flags & STRSAFE_FILL_ON_FAILURE) != 0) {
        std::memset(dest, FillByte(flags), capacity * sizeof(WCHAR));
        if (FillByte(flags) == 0) {
            *end = 0;
            *remaining = capacity;
        } else {
            *end = capacity - 1;
            *remaining = 1;
            dest[*end] = 0;
        }
    }
    if ((flags & STRSAFE_NULL_ON_FAILURE) != 0 || emptyOnTruncation) {
        *end = 0;
        *remaining = capacity;
        dest[0] = 0;
    }
    return hr;
}

// Hands the end pointer and remaining count to the caller where Windows does:
// after success and after truncation.
void ReportEx(WCHAR* dest, HRESULT hr, size_t end, size_t remaining, LPWSTR* destEnd,
              size_t* remainingOut) {
    if (SUCCEEDED(hr) || hr == STRSAFE_E_INSUFFICIENT_BUFFER) {
        if (destEnd != nullptr) {
            *destEnd = dest + end;
        }
        if (remainingOut != nullptr) {
            *remainingOut = remaining;
        }
    }
}

// The checks shared by the two Ex functions. With STRSAFE_IGNORE_NULLS a null
// source is an empty one, and a null destination of capacity 0 is accepted.
HRESULT CheckEx(LPWSTR dest, size_t capacity, LPCWSTR* source, size_t count, DWORD flags) {
    if ((flags & ~kValidFlags) != 0 || count >= kMaxCch || capacity > kMaxCch) {
        return STRSAFE_E_INVALID_PARAMETER;
    }
    if ((flags & STRSAFE_IGNORE_NULLS) != 0) {
        if (*source == nullptr) {
            *source = u"";
        }
        if (dest == nullptr && capacity != 0) {
            return STRSAFE_E_INVALID_PARAMETER;
        }
        return S_OK;
    }
    if (capacity == 0 || dest == nullptr || (*source == nullptr && count != 0)) {
        return STRSAFE_E_INVALID_PARAMETER;
    }
    if (*source == nullptr) {
        *source = u"";  // nothing is read from it with a count of 0
    }
    return S_OK;
}

// An Ex call on a destination of capacity 0, which only STRSAFE_IGNORE_NULLS lets
// through: it succeeds with an empty result when there is no text to add, and
// fails when there is (invalid parameter without a destination at all).
HRESULT ZeroCapacityEx(LPWSTR dest, LPCWSTR source, size_t count, LPWSTR* destEnd,
                       size_t* remaining) {
    if (count != 0 && *source != 0) {
        return dest == nullptr ? STRSAFE_E_INVALID_PARAMETER : STRSAFE_E_INSUFFICIENT_BUFFER;
    }
    ReportEx(dest, S_OK, 0, 0, destEnd, remaining);
    return S_OK;
}

// Formats into dest with at most capacity - 1 characters of output. Output that
// does not fit leaves its first capacity - 1 characters. A format that cannot be
// carried out also gives STRSAFE_E_INSUFFICIENT_BUFFER, and the destination then
// ends where the output stopped, so no earlier text shows through behind it.
template <typename Ch>
HRESULT Printf(Ch* dest, size_t capacity, const Ch* format, va_list args) {
    if (dest == nullptr || !ValidCapacity(capacity)) {
        return STRSAFE_E_INVALID_PARAMETER;
    }
    if (format == nullptr) {
        dest[0] = 0;
        return STRSAFE_E_INVALID_PARAMETER;
    }
    const size_t most = capacity - 1;
    FormatOutcome outcome;
    if constexpr (sizeof(Ch) == 1) {
        outcome = FormatNarrow(dest, most, format, args);
    } else {
        outcome = FormatWide(dest, most, format, args);
    }
    if (outcome.complete) {
        dest[outcome.written] = 0;
        return S_OK;
    }
    dest[outcome.failed ? outcome.written : most] = 0;
    return STRSAFE_E_INSUFFICIENT_BUFFER;
}

}  // namespace

HRESULT StringCchLengthW(LPCWSTR text, size_t cchMax, size_t* length) {
    return Length(text, cchMax, length);
}

HRESULT StringCchLengthA(LPCSTR text, size_t cchMax, size_t* length) {
    return Length(text, cchMax, length);
}

HRESULT StringCchCopyNExW(LPWSTR dest, size_t cchDest, LPCWSTR src, size_t cchToCopy,
                          LPWSTR* destEnd, size_t* remaining, DWORD flags) {
    HRESULT hr = CheckEx(dest, cchDest, &src, cchToCopy, flags);
    if (FAILED(hr)) {
        return hr;
    }
    if (cchDest == 0) {
        return ZeroCapacityEx(dest, src, cchToCopy, destEnd, remaining);
    }
    size_t end = 0;
    size_t left = 0;
    hr = CopyCounted(dest, cchDest, src, cchToCopy, &end);
    left = cchDest - end;
    hr = FinishEx(dest, cchDest, hr, flags, (flags & STRSAFE_NO_TRUNCATION) != 0, &end, &left);
    ReportEx(dest, hr, end, left, destEnd, remaining);
    return hr;
}

HRESULT StringCchCatNExW(LPWSTR dest, size_t cchDest, LPCWSTR src, size_t cchToAppend,
                         LPWSTR* destEnd, size_t* remaining, DWORD flags) {
    HRESULT hr = CheckEx(dest, cchDest, &src, cchToAppend, flags);
    if (FAILED(hr)) {
        return hr;
    }
    if (cchDest == 0) {
        return ZeroCapacityEx(dest, src, cchToAppend, destEnd, remaining);
    }
    size_t existing = 0;
    hr = Length(dest, cchDest, &existing);
    if (FAILED(hr)) {
        // No terminator within the capacity: nothing to append to.
        size_t end = 0;
        size_t left = 0;
        return FinishEx(dest, cchDest, hr, flags, false, &end, &left);
    }
    size_t added = 0;
    hr = CopyCounted(dest + existing, cchDest - existing, src, cchToAppend, &added);
    size_t end = existing + added;
    size_t left = cchDest - end;
    if (hr == STRSAFE_E_INSUFFICIENT_BUFFER && (flags & STRSAFE_NO_TRUNCATION) != 0) {
        // No truncation: the destination keeps its text as it was.
        dest[existing] = 0;
        end = existing;
        left = cchDest - existing;
    }
    hr = FinishEx(dest, cchDest, hr, flags, false, &end, &left);
    ReportEx(dest, hr, end, left, destEnd, remaining);
    return hr;
}

HRESULT StringCchVPrintfW(LPWSTR dest, size_t cchDest, LPCWSTR format, va_list args) {
    return Printf(dest, cchDest, format, args);
}

HRESULT StringCchPrintfW(LPWSTR dest, size_t cchDest, LPCWSTR format, ...) {
    va_list args;
    va_start(args, format);
    const HRESULT hr = Printf(dest, cchDest, format, args);
    va_end(args);
    return hr;
}

HRESULT StringCchCopyA(LPSTR dest, size_t cchDest, LPCSTR src) {
    if (dest == nullptr || !ValidCapacity(cchDest)) {
        return STRSAFE_E_INVALID_PARAMETER;
    }
    if (src == nullptr) {
        dest[0] = 0;
        return STRSAFE_E_INVALID_PARAMETER;
    }
    size_t copied = 0;
    return CopyCounted(dest, cchDest, src, SIZE_MAX, &copied);
}

HRESULT StringCchCopyNA(LPSTR dest, size_t cchDest, LPCSTR src, size_t cchToCopy) {
    if (dest == nullptr || !ValidCapacity(cchDest) || cchToCopy > kMaxCch) {
        return STRSAFE_E_INVALID_PARAMETER;
    }
    if (src == nullptr) {
        if (cchToCopy != 0) {
            dest[0] = 0;
            return STRSAFE_E_INVALID_PARAMETER;
        }
        src = "";
    }
    size_t copied = 0;
    return CopyCounted(dest, cchDest, src, cchToCopy, &copied);
}

HRESULT StringCchVPrintfA(LPSTR dest, size_t cchDest, LPCSTR format, va_list args) {
    return Printf(dest, cchDest, format, args);
}

HRESULT StringCchPrintfA(LPSTR dest, size_t cchDest, LPCSTR format, ...) {
    va_list args;
    va_start(args, format);
    const HRESULT hr = Printf(dest, cchDest, format, args);
    va_end(args);
    return hr;
}
