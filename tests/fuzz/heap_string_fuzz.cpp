// Heap strings driven by a program of operations, checked against a plain model
// of their text: WStrCopy, WStrAppend (also of a string's own text), WStrPrintf,
// WStrFromBytes and BufResize on a few strings, with allocations made to fail at
// chosen points. After every operation the string's text is what the model says
// (or, after a failure, what the operation promises to leave), its capacity holds
// the text and its terminator, and at the end no heap block is left.
#include <string>

#include "platform/posix/shared/seams.h"
#include "platform/posix/shared/utf.h"
#include "runtime/heap_string.h"
#include "tests/fuzz/fuzz_input.h"

namespace {

constexpr int kStrings = 3;

std::u16string TextOf(LPCWSTR text) {
    return text == nullptr ? std::u16string() : std::u16string(text);
}

// The text's length must fit its block's capacity with the terminator.
void CheckFits(LPCWSTR text) {
    if (text == nullptr) {
        return;
    }
    DWORD capacity = 0;
    if (FAILED(WStrCapacity(text, &capacity))) {
        FuzzFail("capacity of a live string cannot be read");
    }
    size_t length = 0;
    while (length < capacity && text[length] != 0) {
        ++length;
    }
    if (length >= capacity) {
        FuzzFail("text without a terminator inside its block");
    }
}

std::u16string Source(FuzzInput& in) {
    std::u16string text;
    for (size_t i = in.Below(40); i > 0; --i) {
        const uint8_t b = in.Byte();
        // Mostly ASCII, some BMP characters and surrogate halves.
        text += b < 200 ? static_cast<char16_t>('a' + b % 26)
                        : static_cast<char16_t>(0xD700 + (b - 200) * 37);
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    const size_t blocksAtStart = SeamLiveHeapBlocks();
    LPWSTR strings[kStrings] = {};
    std::u16string model[kStrings];

    for (int step = 0; step < 32 && !in.empty(); ++step) {
        const int which = static_cast<int>(in.Below(kStrings));
        LPWSTR* text = &strings[which];
        std::u16string& expected = model[which];
        const bool failAllocation = in.Below(8) == 0;
        if (failAllocation) {
            SeamFailNthAllocation(1);
        }
        HRESULT hr = S_OK;
        std::u16string wanted;
        switch (in.Below(6)) {
            case 0: {  // copy of a piece of a source
                const std::u16string source = Source(in);
                const DWORD count = static_cast<DWORD>(in.Below(48));
                hr = WStrCopy(text, source.c_str(), count);
                wanted = count == 0 ? source : source.substr(0, count);
                break;
            }
            case 1: {  // append of a piece of a source
                const std::u16string source = Source(in);
                const DWORD count = static_cast<DWORD>(in.Below(48));
                hr = WStrAppend(text, source.c_str(), count);
                wanted = expected + (count == 0 ? source : source.substr(0, count));
                break;
            }
            case 2: {  // append of the string's own text (or the start of it)
                const DWORD count = static_cast<DWORD>(in.Below(8));
                // Appending the whole text doubles it: past a few thousand units
                // a program of 32 steps would only measure memcpy, slowly.
                if (*text == nullptr || expected.size() > 4096) {
                    continue;
                }
                hr = WStrAppend(text, *text, count);
                wanted = expected + (count == 0 ? expected : expected.substr(0, count));
                break;
            }
            case 3: {  // cut to its own first characters
                const DWORD count = static_cast<DWORD>(in.Below(8));
                if (*text == nullptr || count == 0) {
                    continue;
                }
                hr = WStrCopy(text, *text, count);
                wanted = expected.substr(0, count);
                break;
            }
            case 4: {  // formatted, through the growth loop
                const std::u16string source = Source(in);
                const int repeat = static_cast<int>(in.Below(40));
                std::u16string format;
                for (int i = 0; i < repeat; ++i) {
                    format += u"%s-";
                }
                // The format takes at most 40 arguments; the same one every time.
                hr = WStrPrintf(text, format.c_str(), source.c_str(), source.c_str(),
                                source.c_str(), source.c_str(), source.c_str(), source.c_str(),
                                source.c_str(), source.c_str(), source.c_str(), source.c_str(),
                                source.c_str(), source.c_str(), source.c_str(), source.c_str(),
                                source.c_str(), source.c_str(), source.c_str(), source.c_str(),
                                source.c_str(), source.c_str(), source.c_str(), source.c_str(),
                                source.c_str(), source.c_str(), source.c_str(), source.c_str(),
                                source.c_str(), source.c_str(), source.c_str(), source.c_str(),
                                source.c_str(), source.c_str(), source.c_str(), source.c_str(),
                                source.c_str(), source.c_str(), source.c_str(), source.c_str(),
                                source.c_str(), source.c_str());
                for (int i = 0; i < repeat; ++i) {
                    wanted += source + u"-";
                }
                break;
            }
            default: {  // UTF-8 bytes, counted or up to their terminator
                std::string bytes = in.Bytes(in.Below(40));
                const bool counted = in.Flag() && !bytes.empty();
                if (!counted) {
                    bytes = bytes.substr(0, bytes.find('\0'));
                }
                hr = WStrFromBytes(text, bytes.c_str(), counted ? static_cast<DWORD>(bytes.size()) : 0,
                                   CP_UTF8);
                wanted = Utf8ToUtf16(bytes);
                wanted = wanted.substr(0, wanted.find(u'\0'));  // a counted zero ends the text
                break;
            }
        }
        SeamFailNthAllocation(0);
        if (SUCCEEDED(hr)) {
            if (TextOf(*text) != wanted) {
                FuzzFail("text differs from the model after a successful operation");
            }
            expected = wanted;
        } else if (hr == E_OUTOFMEMORY || hr == STRSAFE_E_INSUFFICIENT_BUFFER) {
            // A refused growth leaves the old text (WStrPrintf leaves null or a cut
            // text): the model follows whatever is there now.
            expected = TextOf(*text);
        } else {
            FuzzFail("unexpected failure", std::to_string(hr));
        }
        CheckFits(*text);
    }
    for (LPWSTR text : strings) {
        StrFree(text);
    }
    SeamClearFailures();
    if (SeamLiveHeapBlocks() != blocksAtStart) {
        FuzzFail("heap blocks left live");
    }
    return 0;
}
