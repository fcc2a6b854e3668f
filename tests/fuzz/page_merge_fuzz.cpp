// The merge of the offline registration page (FillRegistrationPage, and now and
// then the whole MergeOfflineRegistration over a file) against a plain model of
// it: the first "WXYZ" becomes the URN, one byte per character, and the first
// "TUVW" at or after the URN's first byte becomes the encoded tag; the merged
// page is s + u + e - 8 bytes long. A page without "WXYZ", a URN with a character
// beyond ASCII (0x8007007A) and no "TUVW" from the URN on each fail, and then the
// file is byte-for-byte what it was. The page, the URN and the tag each lie in a
// block of exactly their size (the URN and the tag without a terminator), so a
// read or a write past any of them is caught. Now and then an allocation fails:
// E_OUTOFMEMORY, the page block still live and unchanged. Nothing is left behind.
//
// Input: a control byte (bit 0: fail an allocation, bits 2-3 which one; bit 1:
// merge through the file), the URN's length and one byte per character, the
// tag's length (two bytes) and its bytes, then the page's bytes.
#include <cstdlib>
#include <cstring>
#include <string>

#include "actions/registration_files.h"
#include "platform/posix/shared/seams.h"
#include "runtime/heap_string.h"
#include "tests/fuzz/fuzz_input.h"
#include "tests/fuzz/scratch_file.h"

namespace {

constexpr HRESULT kNotAscii = static_cast<HRESULT>(0x8007007A);

enum class Outcome { Merged, NoUrnPlaceholder, UrnNotAscii, NoTagPlaceholder };

struct Merge {
    Outcome outcome = Outcome::Merged;
    std::string page;  // the merged page when Merged
};

// The merge as the page's format describes it, on whole strings.
Merge Model(const std::string& page, const std::u16string& urn, const std::string& tag) {
    Merge merge;
    const size_t urnAt = page.find("WXYZ");
    if (urnAt == std::string::npos) {
        merge.outcome = Outcome::NoUrnPlaceholder;
        return merge;
    }
    std::string urnBytes;
    for (const char16_t unit : urn) {
        if (unit > 0x7F) {
            merge.outcome = Outcome::UrnNotAscii;
            return merge;
        }
        urnBytes += static_cast<char>(unit);
    }
    const std::string withUrn = page.substr(0, urnAt) + urnBytes + page.substr(urnAt + 4);
    const size_t tagAt = withUrn.find("TUVW", urnAt);
    if (tagAt == std::string::npos) {
        merge.outcome = Outcome::NoTagPlaceholder;
        return merge;
    }
    merge.page = withUrn.substr(0, tagAt) + tag + withUrn.substr(tagAt + 4);
    return merge;
}

// Whether a failure status fits the model's outcome.
bool FailureFits(HRESULT hr, Outcome outcome) {
    switch (outcome) {
        case Outcome::Merged:
            return false;
        case Outcome::UrnNotAscii:
            return hr == kNotAscii;
        default:
            return FAILED(hr);
    }
}

// A URN character from one byte: mostly ASCII (the placeholders' letters, a zero
// unit too), sometimes a Latin-1 letter, a BMP character or half a surrogate pair.
char16_t UrnUnit(uint8_t b) {
    if (b < 0xF0) {
        return static_cast<char16_t>(b & 0x7F);
    }
    const char16_t beyond[] = {0x80,   0xE9,   0xFF,   0x100,  0x7FF,  0x800,  0xD800, 0xDC00,
                               0xFFFD, 0xFFFF, 0x20AC, 0x3042, 0xD83D, 0xDE00, 0x0101, 0xFEFF};
    return beyond[b - 0xF0];
}

void CheckFillInMemory(const std::string& page, const std::u16string& urn, const std::string& tag,
                       const Merge& merge, bool failAllocation) {
    // The URN and the tag without terminators, in blocks of their own size.
    char16_t* urnBlock = static_cast<char16_t*>(malloc(urn.empty() ? 1 : urn.size() * 2));
    memcpy(urnBlock, urn.data(), urn.size() * 2);
    char* tagBlock = static_cast<char*>(malloc(tag.empty() ? 1 : tag.size()));
    memcpy(tagBlock, tag.data(), tag.size());
    BYTE* block = static_cast<BYTE*>(MemAlloc(page.size(), FALSE));
    if (block == nullptr) {
        FuzzFail("the page block cannot be made");
    }
    memcpy(block, page.data(), page.size());

    if (failAllocation) {
        SeamFailNthAllocation(1);
    }
    DWORD size = static_cast<DWORD>(page.size());
    const HRESULT hr = FillRegistrationPage(u"register.htm", &block, &size, urnBlock,
                                            static_cast<DWORD>(urn.size()), tagBlock,
                                            static_cast<DWORD>(tag.size()));
    SeamClearFailures();

    if (failAllocation) {
        if (hr != E_OUTOFMEMORY) {
            FuzzFail("a refused reallocation answered", std::to_string(hr));
        }
        if (size != page.size() || memcmp(block, page.data(), page.size()) != 0) {
            FuzzFail("a refused reallocation changed the page");
        }
    } else if (merge.outcome == Outcome::Merged) {
        if (hr != S_OK) {
            FuzzFail("a merge the model makes failed with", std::to_string(hr));
        }
        const size_t expected = page.size() + urn.size() + tag.size() - 8;
        if (size != expected || merge.page.size() != expected) {
            FuzzFail("the merged size is not s + u + e - 8", std::to_string(size));
        }
        if (memcmp(block, merge.page.data(), size) != 0) {
            FuzzFail("the merged page differs from the model");
        }
        const DWORD capacity = MemSize(block);
        if (capacity == kUnknownBlockSize || capacity <= size || block[size] != 0) {
            FuzzFail("no zero byte behind the merged text inside the block");
        }
    } else if (!FailureFits(hr, merge.outcome)) {
        FuzzFail("a merge the model refuses answered", std::to_string(hr));
    }
    MemFree(block);
    free(tagBlock);
    free(urnBlock);
}

void CheckMergeOfFile(const std::string& page, const std::u16string& urn, const std::string& tag,
                      unsigned failingAllocation) {
    static const ScratchFile file("register.htm");
    // The directory argument is the file's path without "register.htm": the page
    // path is the two put together without a separator.
    static const std::u16string directory = [] {
        std::u16string path(file.path());
        return path.substr(0, path.size() - 12);
    }();
    file.Write(page);
    // The strings as the action hands them over: each ends at its first zero.
    const std::u16string urnText = urn.substr(0, urn.find(u'\0'));
    const std::string tagText = tag.substr(0, tag.find('\0'));
    const Merge merge = Model(page, urnText, tagText);

    if (failingAllocation != 0) {
        SeamFailNthAllocation(failingAllocation);
    }
    const HRESULT hr =
        MergeOfflineRegistration(directory.c_str(), urnText.c_str(), tagText.c_str());
    SeamClearFailures();

    const std::string written = file.Read();
    if (SUCCEEDED(hr)) {
        if (merge.outcome != Outcome::Merged || hr != S_OK) {
            FuzzFail("a merge the model refuses succeeded", std::to_string(hr));
        }
        if (written != merge.page) {
            FuzzFail("the written page differs from the model");
        }
        return;
    }
    const bool refusedAllocation = failingAllocation != 0 && hr == E_OUTOFMEMORY;
    if (!refusedAllocation && !FailureFits(hr, merge.outcome)) {
        FuzzFail("a merge of the file answered", std::to_string(hr));
    }
    if (written != page) {
        FuzzFail("a failed merge changed the file");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    const uint8_t control = in.Byte();
    std::u16string urn;
    for (size_t i = in.Below(64); i > 0; --i) {
        urn += UrnUnit(in.Byte());
    }
    const std::string tag = in.Bytes(in.U16() % 1024);
    const std::string page = in.Rest();
    const size_t blocks = SeamLiveHeapBlocks();

    const bool failAllocation = (control & 1) != 0;
    if ((control & 2) != 0) {
        CheckMergeOfFile(page, urn, tag, failAllocation ? 1 + ((control >> 2) & 3) : 0);
    } else {
        CheckFillInMemory(page, urn, tag, Model(page, urn, tag), failAllocation);
    }
    if (SeamLiveHeapBlocks() != blocks) {
        FuzzFail("heap blocks left live");
    }
    return 0;
}
