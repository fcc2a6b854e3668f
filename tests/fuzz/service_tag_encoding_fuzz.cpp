// The service tag encoded for the offline registration page, against a reference
// built byte by byte: the tag's bytes up to its first zero byte (all of them when
// there is none), each double quote written as "%22", nothing else changed; a tag
// with anything but zero bytes behind its first zero byte is refused with
// 0x8007000D, since the encoding would lose that part. The
// block handed out is exactly the encoded text and its terminating zero; the tag is
// read from a block of exactly its size, so a byte read past it is caught. Now and
// then one of the two allocations is made to fail: the answer is then
// E_OUTOFMEMORY, and whatever block the caller's variable holds is freed by the
// caller with nothing left behind.
//
// Input: one control byte (bit 0: fail an allocation; bit 1: which one), then the
// service tag's bytes.
#include <cstdlib>
#include <cstring>
#include <string>

#include "actions/registration_files.h"
#include "platform/posix/shared/seams.h"
#include "runtime/heap_string.h"
#include "tests/fuzz/fuzz_input.h"

namespace {

constexpr HRESULT kTagCutByZero = static_cast<HRESULT>(0x8007000D);

// Whether a byte other than zero follows the tag's first zero byte.
bool CutByZero(const std::string& tag) {
    const size_t zero = tag.find('\0');
    return zero != std::string::npos && tag.find_first_not_of('\0', zero) != std::string::npos;
}

std::string Encoded(const std::string& tag) {
    std::string encoded;
    for (const char byte : tag) {
        if (byte == '\0') {
            break;
        }
        if (byte == '"') {
            encoded += "%22";
        } else {
            encoded += byte;
        }
    }
    return encoded;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    const uint8_t control = in.Byte();
    const std::string tag = in.Rest();
    // The tag in a block of its own size, without a terminator behind it.
    BYTE* bytes = static_cast<BYTE*>(malloc(tag.empty() ? 1 : tag.size()));
    memcpy(bytes, tag.data(), tag.size());
    const size_t blocks = SeamLiveHeapBlocks();

    const bool failAllocation = (control & 1) != 0;
    if (failAllocation) {
        SeamFailNthAllocation((control & 2) != 0 ? 2 : 1);
    }
    LPSTR encoded = nullptr;
    const HRESULT hr =
        EncodeServiceTag(&encoded, tag.empty() ? nullptr : bytes, static_cast<DWORD>(tag.size()));
    SeamClearFailures();

    const std::string wanted = Encoded(tag);
    if (SUCCEEDED(hr) && CutByZero(tag)) {
        FuzzFail("a tag that a zero byte cuts was encoded");
    }
    if (SUCCEEDED(hr)) {
        if (hr != S_OK || encoded == nullptr) {
            FuzzFail("a successful encoding answered", std::to_string(hr));
        }
        const DWORD blockSize = MemSize(encoded);
        if (blockSize != wanted.size() + 1) {
            FuzzFail("the encoded block is not exactly the text and its zero",
                     std::to_string(blockSize) + " for " + std::to_string(wanted.size()));
        }
        if (std::string(encoded, wanted.size()) != wanted || encoded[wanted.size()] != '\0') {
            FuzzFail("the encoded text differs from the reference");
        }
    } else if (hr == kTagCutByZero) {
        if (!CutByZero(tag)) {
            FuzzFail("a tag with nothing behind its zero bytes was refused");
        }
    } else if (hr != E_OUTOFMEMORY || !failAllocation) {
        FuzzFail("an encoding failed with", std::to_string(hr));
    }
    StrFree(encoded);
    free(bytes);
    if (SeamLiveHeapBlocks() != blocks) {
        FuzzFail("heap blocks left live");
    }
    return 0;
}
