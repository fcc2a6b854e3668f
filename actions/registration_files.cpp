// The registration files: reading the payload destination out of the offline
// registration page.
//
// The page is searched as raw bytes within the length read: ReadWholeFile adds no
// terminator, so no search may rely on one.
#include "actions/registration_files.h"

#include "runtime/context_log.h"
#include "runtime/file_io.h"
#include "runtime/heap_string.h"
#include "runtime/status.h"

namespace {

// The attribute that opens the payload destination, its opening quote included.
constexpr char kActionAttribute[] = "action=\"";
constexpr DWORD kActionAttributeLength = sizeof(kActionAttribute) - 1;
constexpr BYTE kQuote = '"';

// Offset of the first occurrence of the `needleLength` bytes of `needle` in the
// `size` bytes of `data` at or after `from`, or `size` when there is none.
DWORD FindBytes(const BYTE* data, DWORD size, DWORD from, const char* needle, DWORD needleLength) {
    if (needleLength == 0 || from > size || size - from < needleLength) {
        return size;
    }
    const DWORD last = size - needleLength;  // the last offset a match can start at
    for (DWORD at = from; at <= last; ++at) {
        DWORD matched = 0;
        while (matched < needleLength && data[at + matched] == static_cast<BYTE>(needle[matched])) {
            ++matched;
        }
        if (matched == needleLength) {
            return at;
        }
    }
    return size;
}

}  // namespace

HRESULT ReadPayloadDestination(LPCWSTR pagePath, LPWSTR* destination) {
    if (destination == nullptr) {
        return E_INVALIDARG;
    }
    ByteBuffer page;
    DWORD size = 0;
    HRESULT hr = ReadWholeFile(page.address(), &size, pagePath);
    if (FAILED(hr)) {
        LogFailure(hr, "failed to read offline reg contents.");
        return hr;
    }

    const DWORD attribute =
        FindBytes(page.get(), size, 0, kActionAttribute, kActionAttributeLength);
    if (attribute == size) {
        hr = LastErrorStatus();
        LogFailure(hr, "didn't find action");
        return hr;
    }
    const DWORD first = attribute + kActionAttributeLength;
    const char quote[] = {static_cast<char>(kQuote)};
    const DWORD end = FindBytes(page.get(), size, first, quote, 1);
    if (end == size) {
        hr = LastErrorStatus();
        LogFailure(hr, "didn't find trailing quote");
        return hr;
    }

    // A count of 0 would ask for the bytes up to a terminator the page does not
    // have, so an empty attribute is made an empty string without reading on.
    const DWORD count = end - first;
    if (count == 0) {
        hr = WStrCopy(destination, nullptr, 0);
    } else {
        hr = WStrFromBytes(destination, reinterpret_cast<LPCSTR>(page.get() + first), count,
                           CP_UTF8);
    }
    if (FAILED(hr)) {
        LogFailure(hr, "failed to copy payload dest to global var.");
    }
    return hr;
}
