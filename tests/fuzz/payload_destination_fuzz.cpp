// The payload destination read out of arbitrary page bytes. A page holding
// action=" and a later double quote gives the bytes between them converted from
// UTF-8; every other page fails without a destination; no byte past the page is
// read (the page block has exactly the file's size), and nothing is left behind.
#include <string>

#include "actions/registration_files.h"
#include "platform/posix/shared/seams.h"
#include "platform/posix/shared/utf.h"
#include "runtime/heap_string.h"
#include "tests/fuzz/fuzz_input.h"
#include "tests/fuzz/scratch_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const ScratchFile file("register.htm");
    const std::string page(reinterpret_cast<const char*>(data), size);
    file.Write(page);
    const size_t blocks = SeamLiveHeapBlocks();

    LPWSTR destination = nullptr;
    const HRESULT hr = ReadPayloadDestination(file.path(), &destination);

    const size_t attribute = page.find("action=\"");
    const size_t end = attribute == std::string::npos ? std::string::npos
                                                      : page.find('"', attribute + 8);
    if (end == std::string::npos) {
        if (SUCCEEDED(hr)) {
            FuzzFail("a page without a complete action attribute succeeded");
        }
    } else {
        if (FAILED(hr) || destination == nullptr) {
            FuzzFail("a page with an action attribute failed", std::to_string(hr));
        }
        std::u16string wanted = Utf8ToUtf16(page.substr(attribute + 8, end - attribute - 8));
        wanted = wanted.substr(0, wanted.find(u'\0'));  // a zero byte ends the text
        if (std::u16string(destination) != wanted) {
            FuzzFail("the destination differs from the bytes between the quotes");
        }
    }
    StrFree(destination);
    if (SeamLiveHeapBlocks() != blocks) {
        FuzzFail("heap blocks left live");
    }
    return 0;
}
