// Heap strings and the process-heap wrappers.
//
// The capacity of a heap string is read from the heap each time (MemSize / 2), so
// a string is just a pointer. Growth rules: WStrCopy grows to exactly what the copy
// needs, WStrAppend to twice what the result needs, WStrPrintf starts at 256
// characters and doubles while the output is cut, but gives up at once on a format
// the C runtime cannot carry out; no operation ever shrinks a block.
#include "runtime/heap_string.h"

#include <cstdint>

#include "runtime/status.h"

namespace {

constexpr DWORD kFirstPrintfCapacity = 256;

// Capacity in characters of a block whose size could be read.
DWORD CapacityOfSize(DWORD bytes) {
    return bytes / 2;
}

// Length of a heap string, looking no further than its capacity: a block that holds
// no terminator counts as empty rather than being read past its end.
size_t BoundedLength(LPCWSTR text, DWORD capacity) {
    size_t length = 0;
    if (capacity == 0 || FAILED(StringCchLengthW(text, capacity, &length))) {
        return 0;
    }
    return length;
}

// When `source` points into the block of `text` (capacity characters), gives its
// offset there and limits *count to the characters it holds before its terminator
// within the block. A string's own text is then read only from its block: a growth
// that moves the block would otherwise leave `source` pointing at the freed one.
bool SourceInBlock(LPCWSTR text, DWORD capacity, LPCWSTR source, size_t* offset, size_t* count) {
    const uintptr_t start = reinterpret_cast<uintptr_t>(text);
    const uintptr_t at = reinterpret_cast<uintptr_t>(source);
    if (text == nullptr || source == nullptr || at < start ||
        at >= start + static_cast<uintptr_t>(capacity) * sizeof(WCHAR)) {
        return false;
    }
    *offset = (at - start) / sizeof(WCHAR);
    const size_t held = BoundedLength(source, static_cast<DWORD>(capacity - *offset));
    if (*count == 0 || *count > held) {
        *count = held;
    }
    return true;
}

// Saturates a character count computed in 64 bits into the range BufResize checks,
// so a sum that does not fit 32 bits is refused as too large rather than wrapped.
DWORD ClampCount(unsigned long long count) {
    return count >= kMaxBufferCount ? kMaxBufferCount : static_cast<DWORD>(count);
}

// The safe-string formatter answers a full buffer and a format it cannot carry out
// (or an output beyond INT_MAX characters) alike; the C runtime's counting
// formatter tells them apart. Asked once, at the first truncation: the arguments
// are the same for every attempt.
bool FormatCannotBeCarriedOut(LPCWSTR format, va_list args) {
    va_list measure;
    va_copy(measure, args);
    const int needed = _vscwprintf(format, measure);
    va_end(measure);
    return needed < 0;
}

}  // namespace

LPVOID MemAlloc(SIZE_T bytes, BOOL zeroFill) {
    return HeapAlloc(GetProcessHeap(), zeroFill ? HEAP_ZERO_MEMORY : 0, bytes);
}

LPVOID MemReAlloc(LPVOID block, SIZE_T bytes, BOOL zeroFill) {
    return HeapReAlloc(GetProcessHeap(), zeroFill ? HEAP_ZERO_MEMORY : 0, block, bytes);
}

HRESULT MemFree(LPVOID block) {
    return HeapFree(GetProcessHeap(), 0, block) ? S_OK : E_FAIL;
}

DWORD MemSize(LPCVOID block) {
    const SIZE_T size = HeapSize(GetProcessHeap(), 0, block);
    if (size == static_cast<SIZE_T>(-1) || size >= kUnknownBlockSize) {
        return kUnknownBlockSize;
    }
    return static_cast<DWORD>(size);
}

HRESULT BufResize(void** buffer, DWORD count, DWORD elementSize) {
    if (count >= kMaxBufferCount) {
        return E_OUTOFMEMORY;
    }
    const unsigned long long bytes = static_cast<unsigned long long>(count) * elementSize;
    if (bytes >= kUnknownBlockSize) {
        return E_OUTOFMEMORY;
    }
    void* resized = (*buffer == nullptr) ? MemAlloc(static_cast<SIZE_T>(bytes), TRUE)
                                         : MemReAlloc(*buffer, static_cast<SIZE_T>(bytes), FALSE);
    if (resized == nullptr) {
        return E_OUTOFMEMORY;
    }
    *buffer = resized;
    return S_OK;
}

HRESULT WStrCapacity(LPCWSTR text, DWORD* capacity) {
    if (text == nullptr) {
        *capacity = 0;
        return S_OK;
    }
    const DWORD size = MemSize(text);
    if (size == kUnknownBlockSize) {
        *capacity = kUnknownBlockSize;
        return E_FAIL;
    }
    *capacity = CapacityOfSize(size);
    return S_OK;
}

HRESULT StrFree(LPVOID text) {
    return MemFree(text);
}

HRESULT WStrCopy(LPWSTR* text, LPCWSTR source, DWORD count) {
    DWORD capacity = 0;
    if (FAILED(WStrCapacity(*text, &capacity))) {
        return E_INVALIDARG;
    }
    DWORD toCopy = count;
    size_t offset = 0;
    size_t held = count;
    if (SourceInBlock(*text, capacity, source, &offset, &held)) {
        // Its own text always fits the block it already lives in: no growth, no move.
        toCopy = static_cast<DWORD>(held);
    } else if (count == 0) {
        toCopy = static_cast<DWORD>(lstrlenW(source));
    }
    const unsigned long long needed = static_cast<unsigned long long>(toCopy) + 1;
    if (capacity < needed) {
        const HRESULT hr = BufResize(text, ClampCount(needed), sizeof(WCHAR));
        if (FAILED(hr)) {
            return hr;
        }
        capacity = static_cast<DWORD>(needed);
    }
    // Copying a string's own first characters onto itself is safe: the block is not
    // moved (the capacity suffices) and the copy runs forward.
    return StringCchCopyNExW(*text, capacity, source != nullptr ? source : WSTR(""), toCopy,
                             nullptr, nullptr, STRSAFE_FILL_BEHIND_NULL);
}

HRESULT WStrAppend(LPWSTR* text, LPCWSTR source, DWORD count) {
    DWORD capacity = 0;
    if (FAILED(WStrCapacity(*text, &capacity))) {
        return E_INVALIDARG;
    }
    const size_t length = BoundedLength(*text, capacity);
    size_t toAppend = count;
    size_t offset = 0;
    const bool ownText = SourceInBlock(*text, capacity, source, &offset, &toAppend);
    if (!ownText && count == 0 &&
        (source == nullptr || FAILED(StringCchLengthW(source, STRSAFE_MAX_CCH, &toAppend)))) {
        toAppend = 0;
    }
    const unsigned long long needed = static_cast<unsigned long long>(length) + toAppend + 1;
    // The length was measured within the capacity, so the subtraction cannot wrap.
    if (capacity - length < toAppend + 1ULL) {
        const unsigned long long reserve = 2 * needed;
        const HRESULT hr = BufResize(text, ClampCount(reserve), sizeof(WCHAR));
        if (FAILED(hr)) {
            return hr;
        }
        capacity = static_cast<DWORD>(reserve);
        if (ownText) {
            source = *text + offset;  // the grown block kept the text, maybe elsewhere
        }
    }
    if (*text == nullptr) {
        return E_UNEXPECTED;
    }
    return StringCchCatNExW(*text, capacity, source != nullptr ? source : WSTR(""), toAppend,
                            nullptr, nullptr, STRSAFE_FILL_BEHIND_NULL);
}

HRESULT WStrPrintfV(LPWSTR* text, LPCWSTR format, va_list args) {
    DWORD capacity = 0;
    if (FAILED(WStrCapacity(*text, &capacity))) {
        return E_INVALIDARG;
    }
    const size_t entryLength = BoundedLength(*text, capacity);
    if (capacity == 0) {
        // No string yet, or a block too small for one character.
        const HRESULT hr = BufResize(text, kFirstPrintfCapacity, sizeof(WCHAR));
        if (FAILED(hr)) {
            return hr;
        }
        capacity = kFirstPrintfCapacity;
    }

    // The block held on entry is set aside at the first truncation and kept until the
    // end, so an argument pointing at the string's own text stays valid (and
    // terminated at its entry length) while the formatting is repeated.
    LPWSTR setAside = nullptr;
    HRESULT hr = S_OK;
    for (;;) {
        va_list attempt;
        va_copy(attempt, args);
        hr = StringCchVPrintfW(*text, capacity, format, attempt);
        va_end(attempt);
        if (hr != STRSAFE_E_INSUFFICIENT_BUFFER) {
            break;
        }
        if (setAside == nullptr && FormatCannotBeCarriedOut(format, args)) {
            // No block is big enough for it: fail at once, leaving no partial or
            // earlier text behind in the string.
            (*text)[0] = 0;
            hr = E_INVALIDARG;
            break;
        }
        if (setAside == nullptr) {
            setAside = *text;
            *text = nullptr;
            setAside[entryLength] = 0;
        }
        const unsigned long long doubled = 2ULL * capacity;
        if (doubled >= kMaxBufferCount ||
            FAILED(BufResize(text, ClampCount(doubled), sizeof(WCHAR)))) {
            hr = E_OUTOFMEMORY;
            break;
        }
        capacity = static_cast<DWORD>(doubled);
    }
    if (setAside != nullptr) {
        MemFree(setAside);
    }
    return hr;
}

HRESULT WStrPrintf(LPWSTR* text, LPCWSTR format, ...) {
    va_list args;
    va_start(args, format);
    const HRESULT hr = WStrPrintfV(text, format, args);
    va_end(args);
    return hr;
}

HRESULT WStrFromBytes(LPWSTR* text, LPCSTR bytes, DWORD count, UINT codePage) {
    DWORD capacity = 0;
    if (FAILED(WStrCapacity(*text, &capacity))) {
        return E_INVALIDARG;
    }
    unsigned long long length = 0;
    if (count == 0) {
        const int withTerminator = MultiByteToWideChar(codePage, 0, bytes, -1, nullptr, 0);
        if (withTerminator == 0) {
            return LastErrorStatus();
        }
        length = static_cast<unsigned long long>(withTerminator) - 1;
    } else {
        length = count;  // at most one UTF-16 unit per byte
    }
    const unsigned long long needed = length + 1;
    if (capacity < needed) {
        if (needed >= kMaxBufferCount) {
            return E_OUTOFMEMORY;
        }
        const SIZE_T bytesNeeded = static_cast<SIZE_T>(needed * sizeof(WCHAR));
        void* block =
            (*text == nullptr) ? MemAlloc(bytesNeeded, TRUE) : MemReAlloc(*text, bytesNeeded, TRUE);
        if (block == nullptr) {
            return E_OUTOFMEMORY;
        }
        *text = static_cast<LPWSTR>(block);
        capacity = static_cast<DWORD>(needed);
    }
    // The terminator needs the last character of the block, so at most capacity - 1
    // characters may be converted.
    const int sourceCount = (count == 0) ? -1 : static_cast<int>(count);
    const int converted =
        MultiByteToWideChar(codePage, 0, bytes, sourceCount, *text, static_cast<int>(capacity));
    if (converted == 0) {
        return LastErrorStatus();
    }
    (*text)[static_cast<DWORD>(converted) < capacity ? converted : capacity - 1] = 0;
    return S_OK;
}
