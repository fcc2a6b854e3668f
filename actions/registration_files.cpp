// The registration files: the registry URN out of the service tag, the payload
// destination out of the offline registration page, the service tag encoded for
// the page, and the merge that fills the page's two placeholders.
//
// The page is searched as raw bytes within the length read: ReadWholeFile adds no
// terminator, so no search may rely on one, and a zero byte inside the page is
// just another byte that the merge copies.
#include "actions/registration_files.h"

#include <string.h>

#include "runtime/com_owners.h"
#include "runtime/context_log.h"
#include "runtime/file_io.h"
#include "runtime/heap_string.h"
#include "runtime/status.h"
#include "runtime/xml_doc.h"

namespace {

// The attribute that opens the payload destination, its opening quote included.
constexpr char kActionAttribute[] = "action=\"";
constexpr DWORD kActionAttributeLength = sizeof(kActionAttribute) - 1;
// A double quote, as a one-byte needle for FindBytes.
constexpr char kQuote[] = "\"";

// The placeholders of the page, filled once by the merge.
constexpr char kUrnPlaceholder[] = "WXYZ";
constexpr char kTagPlaceholder[] = "TUVW";
constexpr DWORD kPlaceholderLength = 4;

constexpr BYTE kZero = 0;
// How a double quote of the service tag is written into the page.
constexpr char kEncodedQuote[] = "%22";
constexpr DWORD kEncodedQuoteLength = sizeof(kEncodedQuote) - 1;

// HRESULT_FROM_WIN32(ERROR_INVALID_DATA): a service tag that a zero byte would cut.
constexpr HRESULT kTagCutByZero = static_cast<HRESULT>(0x8007000D);
// HRESULT_FROM_WIN32(ERROR_ARITHMETIC_OVERFLOW): sizes whose sum does not fit.
constexpr HRESULT kSizeOverflow = static_cast<HRESULT>(0x80070216);
// No registry element, or no urn attribute on it: HRESULT_FROM_WIN32(ERROR_NOT_FOUND).
constexpr HRESULT kNotFound = static_cast<HRESULT>(0x80070490);

// Offset of the first occurrence of the `needleLength` bytes of `needle` in the
// `size` bytes of `data` at or after `from`, or `size` when there is none. The
// first byte is looked for with memchr, which the C runtime does many bytes at a
// time: the page and the service tag can be megabytes long.
DWORD FindBytes(const BYTE* data, DWORD size, DWORD from, const char* needle, DWORD needleLength) {
    if (needleLength == 0 || from > size || size - from < needleLength) {
        return size;
    }
    const DWORD last = size - needleLength;  // the last offset a match can start at
    DWORD at = from;
    while (at <= last) {
        const void* first = memchr(data + at, static_cast<BYTE>(needle[0]), last - at + 1);
        if (first == nullptr) {
            break;
        }
        at = static_cast<DWORD>(static_cast<const BYTE*>(first) - data);
        if (memcmp(data + at, needle, needleLength) == 0) {
            return at;
        }
        ++at;
    }
    return size;
}

// Offset of the first occurrence of the `needleLength` bytes of `needle` in the
// `headSize` bytes of `head` followed by the `tailSize` bytes of `tail`, read as
// one text, or headSize + tailSize when there is none: inside the head, across
// the join, then inside the tail. The caller makes sure the sum fits.
DWORD FindAcross(const BYTE* head, DWORD headSize, const BYTE* tail, DWORD tailSize,
                 const char* needle, DWORD needleLength) {
    const DWORD inHead = FindBytes(head, headSize, 0, needle, needleLength);
    if (inHead != headSize) {
        return inHead;
    }
    // A match across the join starts in the head's last needleLength - 1 bytes.
    const DWORD first = headSize >= needleLength ? headSize - needleLength + 1 : 0;
    for (DWORD at = first; at < headSize; ++at) {
        const DWORD headPart = headSize - at;
        const DWORD tailPart = needleLength - headPart;
        if (tailPart <= tailSize && memcmp(head + at, needle, headPart) == 0 &&
            memcmp(tail, needle + headPart, tailPart) == 0) {
            return at;
        }
    }
    return headSize + FindBytes(tail, tailSize, 0, needle, needleLength);
}

}  // namespace

HRESULT ReadRegistryUrn(LPCWSTR serviceTagPath, BSTR* urn) {
    if (urn == nullptr) {
        return E_INVALIDARG;
    }
    ScopedCom<IXMLDOMDocument> document;
    HRESULT hr = XmlLoadFile(serviceTagPath, document.address());
    if (FAILED(hr)) {
        LogFailure(hr, "failed to load Service Tag file: %S", serviceTagPath);
        return hr;
    }
    ScopedCom<IXMLDOMNode> registry;
    hr = XmlFindNode(document.get(), WSTR("//registration_data/registry"), registry.address());
    if (SUCCEEDED(hr) && registry.get() == nullptr) {
        hr = kNotFound;  // the selection succeeded and matched nothing
    }
    if (FAILED(hr)) {
        LogFailure(hr, "failed to find Registry info");
        return hr;
    }
    hr = XmlReadAttribute(registry.get(), WSTR("urn"), urn);
    if (hr == S_FALSE) {
        hr = kNotFound;  // the element carries no urn attribute
    }
    if (FAILED(hr)) {
        LogFailure(hr, "failed to find Registry urn");
    }
    return hr;
}

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
    const DWORD end = FindBytes(page.get(), size, first, kQuote, 1);
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

HRESULT EncodeServiceTag(LPSTR* encoded, const BYTE* data, DWORD count) {
    if (encoded == nullptr || (data == nullptr && count != 0)) {
        return E_INVALIDARG;
    }
    // The room for the copy and its terminator; a count that leaves no room for
    // the terminator in 32 bits is refused by BufResize as too large.
    const DWORD capacity = count < kMaxBufferCount ? count + 1 : kMaxBufferCount;
    // The block is resized through a variable of this scope and handed to the
    // caller's after each step (GCC's dangling-pointer check mistakes a block
    // resized through a shorter-lived variable for that variable).
    void* block = *encoded;
    HRESULT hr = BufResize(&block, capacity, 1);
    *encoded = static_cast<LPSTR>(block);
    if (FAILED(hr)) {
        LogFailure(hr, "failed to create base string.");
        return hr;
    }
    // A zero byte in the data ends the copy; with this capacity it is never cut.
    LPCSTR source = data != nullptr ? reinterpret_cast<LPCSTR>(data) : "";
    hr = StringCchCopyNA(*encoded, capacity, source, count);
    if (FAILED(hr)) {
        LogFailure(hr, "failed to create string copy.");
        return hr;
    }

    const BYTE* copy = static_cast<const BYTE*>(block);
    const DWORD length =
        static_cast<DWORD>(static_cast<const BYTE*>(memchr(copy, 0, capacity)) - copy);
    // The page can hold the tag only up to its first zero byte. Zero bytes that
    // merely pad the end lose nothing; anything behind a zero byte would be lost
    // (a tag saved as UTF-16 has one in nearly every character), so such a tag is
    // refused and the page keeps its placeholders for a tag that fits.
    for (DWORD at = length + 1; at < count; ++at) {
        if (data[at] != kZero) {
            LogFailure(kTagCutByZero,
                       "service tag has a zero byte at offset %u; save svctag.xml as UTF-8",
                       static_cast<unsigned>(length));
            return kTagCutByZero;
        }
    }
    DWORD quotes = 0;
    for (DWORD at = 0; at < length; ++at) {
        quotes += copy[at] == static_cast<BYTE>(kQuote[0]) ? 1 : 0;
    }

    // length + 2 * quotes + 1 is below 3 * 2^31: counted in 64 bits, it is refused
    // when it does not fit one block.
    const ULONGLONG grown = static_cast<ULONGLONG>(length) +
                            static_cast<ULONGLONG>(kEncodedQuoteLength - 1) * quotes + 1;
    if (quotes == 0) {
        // The copy is the encoded text; only a zero byte that ended it early leaves
        // room to give back.
        if (grown != capacity) {
            hr = BufResize(&block, static_cast<DWORD>(grown), 1);
            *encoded = static_cast<LPSTR>(block);
        }
        if (FAILED(hr)) {
            LogFailure(hr, "failed to make room..");
        }
        return hr;
    }
    // The grown buffer is a fresh block: the pass below reads the service tag
    // itself, whose first `length` bytes the copy holds unchanged, so nothing of
    // the copy has to be carried over (a resize would copy it only to overwrite
    // it). As with a resize, the caller's variable keeps the copy on failure.
    BYTE* text = grown < kMaxBufferCount
                     ? static_cast<BYTE*>(MemAlloc(static_cast<SIZE_T>(grown), FALSE))
                     : nullptr;
    if (text == nullptr) {
        hr = E_OUTOFMEMORY;
        LogFailure(hr, "failed to make room..");
        return hr;
    }
    MemFree(block);
    *encoded = reinterpret_cast<LPSTR>(text);

    // One pass from left to right into the grown buffer: each run of bytes
    // between two quotes is copied to its place, followed by "%22".
    DWORD read = 0;
    DWORD write = 0;
    while (read < length) {
        const DWORD quote = FindBytes(data, length, read, kQuote, 1);
        const DWORD run = quote - read;
        memcpy(text + write, data + read, run);
        write += run;
        read = quote;
        if (quote == length) {
            break;
        }
        memcpy(text + write, kEncodedQuote, kEncodedQuoteLength);
        write += kEncodedQuoteLength;
        ++read;
    }
    text[write] = kZero;
    return hr;
}

HRESULT FillRegistrationPage(LPCWSTR pagePath, BYTE** page, DWORD* size, LPCWSTR urn,
                             DWORD urnLength, LPCSTR encodedTag, DWORD tagLength) {
    if (page == nullptr || *page == nullptr || size == nullptr ||
        (urn == nullptr && urnLength != 0) || (encodedTag == nullptr && tagLength != 0)) {
        return E_INVALIDARG;
    }
    // The merged page is s + u + e - 8 bytes, with a zero byte behind it. The URN
    // goes straight to its place in the new block before the tag's placeholder is
    // found, so the block also holds the page up to the URN's end (at most
    // s + u - 4 bytes), which only a tag shorter than its placeholder makes the
    // longer. The URN is converted with an int count.
    const LONGLONG s = *size;
    const LONGLONG u = urnLength;
    const LONGLONG e = tagLength;
    const LONGLONG merged = s + u + e - 2 * kPlaceholderLength;
    LONGLONG longest = merged;
    if (s + u - kPlaceholderLength > longest) {
        longest = s + u - kPlaceholderLength;
    }
    if (longest < 0) {
        longest = 0;  // too short to hold the placeholders: the searches fail
    }
    if (longest + 1 > 0xFFFFFFFFll || u > 0x7FFFFFFFll) {
        LogFailure(kSizeOverflow, "failed to reallocate additional buffer");
        return kSizeOverflow;
    }
    // No zero fill: every byte of the merged text is written once, and the zero
    // byte where the text ends.
    ByteBuffer block;
    *block.address() = static_cast<BYTE*>(MemAlloc(static_cast<SIZE_T>(longest + 1), FALSE));
    BYTE* const text = block.get();
    if (text == nullptr) {
        LogFailure(E_OUTOFMEMORY, "failed to reallocate additional buffer");
        return E_OUTOFMEMORY;
    }
    LogLine(LogTrace, "alloced mem");

    HRESULT hr = S_OK;
    const BYTE* const source = *page;
    const DWORD pageSize = *size;
    const DWORD urnAt = FindBytes(source, pageSize, 0, kUrnPlaceholder, kPlaceholderLength);
    if (urnAt == pageSize) {
        hr = LastErrorStatus();
        LogFailure(hr, "%wS is an invalid registration template 1.", pagePath);
        return hr;
    }
    LogLine(LogTrace, "first search");
    memcpy(text, source, urnAt);
    LogLine(LogTrace, "moved remaining text");

    // Every UTF-16 unit that is not ASCII takes more than one byte in UTF-8, so
    // the conversion fits the placeholder's room exactly when the URN is ASCII. An
    // empty URN converts to nothing, and the system refuses a count of 0.
    BYTE* const urnBytes = text + urnAt;
    if (urnLength != 0) {
        const int converted = WideCharToMultiByte(CP_UTF8, 0, urn, static_cast<int>(urnLength),
                                                  reinterpret_cast<LPSTR>(urnBytes),
                                                  static_cast<int>(urnLength), nullptr, nullptr);
        if (converted != static_cast<int>(urnLength)) {
            hr = LastErrorStatus();
            LogFailure(hr, "failed to convert registry from wchar to char.");
            return hr;
        }
    }
    LogLine(LogTrace, "inserted regurn");

    // The tag's placeholder is the first one from the URN's first byte on, in the
    // page as it reads with the URN in place: inside the URN, across its end into
    // the page bytes behind the URN's placeholder, or in those bytes alone.
    const BYTE* const after = source + urnAt + kPlaceholderLength;
    const DWORD afterSize = pageSize - urnAt - kPlaceholderLength;
    const DWORD tagAt =
        FindAcross(urnBytes, urnLength, after, afterSize, kTagPlaceholder, kPlaceholderLength);
    if (tagAt == urnLength + afterSize) {
        hr = LastErrorStatus();
        LogFailure(hr, "%wS is an invalid registration template 2.", pagePath);
        return hr;
    }
    LogLine(LogTrace, "second search");

    // The tag takes its placeholder's place; behind it come the URN's bytes behind
    // the placeholder, if it started inside the URN, then the rest of the page.
    DWORD urnKept = 0;    // URN bytes behind the tag's placeholder
    DWORD afterUsed = 0;  // page bytes behind the URN that precede the tag or are its placeholder
    if (tagAt < urnLength) {
        const DWORD placeholderEnd = tagAt + kPlaceholderLength;
        if (placeholderEnd < urnLength) {
            urnKept = urnLength - placeholderEnd;
            memmove(urnBytes + tagAt + tagLength, urnBytes + placeholderEnd, urnKept);
        } else {
            afterUsed = placeholderEnd - urnLength;
        }
    } else {
        memcpy(urnBytes + urnLength, after, tagAt - urnLength);
        afterUsed = tagAt - urnLength + kPlaceholderLength;
    }
    LogLine(LogTrace, "second move");
    if (tagLength != 0) {
        memcpy(urnBytes + tagAt, encodedTag, tagLength);
    }
    const DWORD restAt = urnAt + tagAt + tagLength + urnKept;
    memcpy(text + restAt, after + afterUsed, afterSize - afterUsed);
    const DWORD length = restAt + afterSize - afterUsed;
    text[length] = kZero;
    LogLine(LogTrace, "merged offline registration.");

    // The merged block takes the page's place; the page's block goes with the owner.
    *block.address() = *page;
    *page = text;
    *size = length;
    return hr;
}

HRESULT MergeOfflineRegistration(LPCWSTR installPath, LPCWSTR urn, LPCSTR encodedTag) {
    const DWORD urnLength = static_cast<DWORD>(lstrlenW(urn));
    const DWORD tagLength = static_cast<DWORD>(lstrlenA(encodedTag));
    LogLine(LogTrace, "regURNLen %d", urnLength);
    LogLine(LogTrace, "serviceTagEncdLen %d", tagLength);

    HeapString pagePath;
    HRESULT hr = WStrPrintf(pagePath.address(), WSTR("%wS%wS"), installPath, OFFREGFNAME);
    if (FAILED(hr)) {
        LogFailure(hr, "failed to create offline registration path");
        return hr;
    }
    LogLine(LogTrace, "regPath = %wS.", pagePath.get());

    ByteBuffer page;
    DWORD size = 0;
    hr = ReadWholeFile(page.address(), &size, pagePath.get());
    if (FAILED(hr)) {
        LogFailure(hr, "failed to read offline reg contents.");
        return hr;
    }
    LogLine(LogTrace, "read offline reg file");

    hr = FillRegistrationPage(pagePath.get(), page.address(), &size, urn, urnLength, encodedTag,
                              tagLength);
    if (FAILED(hr)) {
        return hr;
    }
    hr = FileWrite(pagePath.get(), page.address(), &size);
    if (FAILED(hr)) {
        LogFailure(hr, "failed to write offline registration file");
    }
    return hr;
}
