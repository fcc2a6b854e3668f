// XML documents over libxml2 as the service tag is read: load a file, select
// //registration_data/registry, read its urn. Whatever the bytes, the load either
// fails with 0x8007006E or gives a document; the selection and the attribute read
// answer without crashing; and nothing is left behind: no COM object, no BSTR, no
// heap block. External entities are never fetched from the network.
#include "platform/posix/shared/seams.h"
#include "runtime/xml_doc.h"
#include "tests/fuzz/fuzz_input.h"
#include "tests/fuzz/scratch_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const ScratchFile file("svctag.xml");
    static const bool started = SUCCEEDED(XmlStartup());
    if (!started) {
        FuzzFail("the XML layer does not start");
    }
    file.Write(std::string(reinterpret_cast<const char*>(data), size));
    const size_t objects = SeamLiveComObjects();
    const size_t bstrs = SeamLiveBstrs();
    const size_t blocks = SeamLiveHeapBlocks();

    IXMLDOMDocument* document = nullptr;
    const HRESULT loaded = XmlLoadFile(file.path(), &document);
    if (FAILED(loaded)) {
        if (loaded != static_cast<HRESULT>(0x8007006E) || document != nullptr) {
            FuzzFail("a failed load answered", std::to_string(loaded));
        }
    } else {
        IXMLDOMNode* node = nullptr;
        const HRESULT found = XmlFindNode(document, u"//registration_data/registry", &node);
        if (found == S_OK && node != nullptr) {
            BSTR urn = nullptr;
            const HRESULT read = XmlReadAttribute(node, u"urn", &urn);
            if (read == S_OK && urn == nullptr) {
                FuzzFail("an attribute read as present has no value");
            }
            SysFreeString(urn);
            node->Release();
        } else if (node != nullptr) {
            FuzzFail("a node handed out with", std::to_string(found));
        }
        document->Release();
    }
    if (SeamLiveComObjects() != objects || SeamLiveBstrs() != bstrs ||
        SeamLiveHeapBlocks() != blocks) {
        FuzzFail("a COM object, BSTR or heap block was left behind");
    }
    return 0;
}
