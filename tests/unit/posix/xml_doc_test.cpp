// XML documents: the document class chosen once with its fallback, balanced COM
// start-up and shut-down, loading (missing, malformed, UTF-16), the registry
// selection, attribute reading, and no reference, BSTR or heap block left behind on
// any path, including each COM call made to fail in turn.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/posix/shared/seams.h"
#include "platform/posix/shared/utf.h"
#include "runtime/xml_doc.h"

namespace {

namespace fs = std::filesystem;

constexpr HRESULT kOpenFailed = static_cast<HRESULT>(0x8007006E);

const char kServiceTag[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<service_tag>\n"
    "  <registry urn=\"decoy-outside\"/>\n"
    "  <product><registration_data>\n"
    "    <registry urn=\"urn:st:first\" version=\"1.0\"/>\n"
    "  </registration_data></product>\n"
    "  <registration_data><registry urn=\"urn:st:second\"/></registration_data>\n"
    "</service_tag>\n";

class XmlDoc : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/ostrel-xml-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        dir_ = pattern;
        comObjects_ = SeamLiveComObjects();
        bstrs_ = SeamLiveBstrs();
        heapBlocks_ = SeamLiveHeapBlocks();
    }
    void TearDown() override {
        SeamClearFailures();
        SeamRegisterProgId(u"Msxml2.DOMDocument");
        SeamRegisterProgId(u"MSXML.DOMDocument");
        EXPECT_EQ(comObjects_, SeamLiveComObjects()) << "COM objects left alive";
        EXPECT_EQ(bstrs_, SeamLiveBstrs()) << "BSTRs left allocated";
        EXPECT_EQ(heapBlocks_, SeamLiveHeapBlocks()) << "heap blocks left live";
        EXPECT_EQ(0, SeamComInitDepth()) << "COM left initialised";
        fs::remove_all(dir_);
    }

    std::u16string Put(const char* name, const std::string& bytes) const {
        const std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        return Utf8ToUtf16(path);
    }
    std::u16string PathOf(const char* name) const { return Utf8ToUtf16(dir_ + "/" + name); }

    // The urn of the node that "//registration_data/registry" selects.
    std::string RegistryUrn(IXMLDOMDocument* document) {
        IXMLDOMNode* node = nullptr;
        EXPECT_EQ(S_OK, XmlFindNode(document, u"//registration_data/registry", &node));
        if (node == nullptr) {
            return "(no node)";
        }
        BSTR urn = nullptr;
        EXPECT_EQ(S_OK, XmlReadAttribute(node, u"urn", &urn));
        node->Release();
        const std::string text = urn != nullptr ? Utf16ToUtf8(urn, SysStringLen(urn)) : "(null)";
        SysFreeString(urn);
        return text;
    }

    std::string dir_;
    size_t comObjects_ = 0;
    size_t bstrs_ = 0;
    size_t heapBlocks_ = 0;
};

// ---------------------------------------------------------------- start and stop

TEST_F(XmlDoc, FallsBackToTheOlderClassWhenTheFirstIsNotRegistered) {
    SeamUnregisterProgId(u"Msxml2.DOMDocument");
    ASSERT_EQ(S_OK, XmlStartup());
    // The first class is gone altogether, so the document comes from the second.
    IXMLDOMDocument* document = nullptr;
    ASSERT_EQ(S_OK, XmlNewDocument(nullptr, &document, nullptr));
    document->Release();
    XmlShutdown();
}

TEST_F(XmlDoc, NeitherClassRegisteredFailsButKeepsTheStartUpToBalance) {
    SeamUnregisterProgId(u"Msxml2.DOMDocument");
    SeamUnregisterProgId(u"MSXML.DOMDocument");
    EXPECT_EQ(CO_E_CLASSSTRING, XmlStartup());
    EXPECT_EQ(1, SeamComInitDepth());
    XmlShutdown();
    EXPECT_EQ(0, SeamComInitDepth());
    XmlShutdown();  // nothing open any more: no effect
    EXPECT_EQ(0, SeamComInitDepth());
}

TEST_F(XmlDoc, NestedStartUpsLookTheClassUpOnceAndTheLastShutDownForgetsIt) {
    const unsigned lookups = SeamProgIdLookups();
    ASSERT_EQ(S_OK, XmlStartup());
    ASSERT_EQ(S_OK, XmlStartup());
    EXPECT_EQ(lookups + 1, SeamProgIdLookups());
    EXPECT_EQ(2, SeamComInitDepth());

    XmlShutdown();
    EXPECT_EQ(1, SeamComInitDepth());
    IXMLDOMDocument* document = nullptr;
    ASSERT_EQ(S_OK, XmlNewDocument(nullptr, &document, nullptr));  // class still set
    document->Release();

    XmlShutdown();
    EXPECT_EQ(0, SeamComInitDepth());
    // With COM up by other means, the forgotten class creates nothing.
    ASSERT_EQ(S_OK, CoInitialize(nullptr));
    document = nullptr;
    EXPECT_EQ(REGDB_E_CLASSNOTREG, XmlNewDocument(nullptr, &document, nullptr));
    EXPECT_EQ(nullptr, document);
    CoUninitialize();
}

TEST_F(XmlDoc, ShutDownWithoutStartUpTouchesNothing) {
    ASSERT_EQ(S_OK, CoInitialize(nullptr));  // someone else's COM on this thread
    XmlShutdown();
    EXPECT_EQ(1, SeamComInitDepth());
    CoUninitialize();

    const unsigned lookups = SeamProgIdLookups();
    ASSERT_EQ(S_OK, XmlStartup());
    EXPECT_EQ(lookups + 1, SeamProgIdLookups());
    XmlShutdown();
}

TEST_F(XmlDoc, FailedCoInitializeChangesNothing) {
    SeamFailNthCall("CoInitialize", 1, 0x8001010E);
    const unsigned lookups = SeamProgIdLookups();
    EXPECT_EQ(static_cast<HRESULT>(0x8001010E), XmlStartup());
    EXPECT_EQ(lookups, SeamProgIdLookups());
    XmlShutdown();  // the caller's clean-up: must not uninitialise anything
    EXPECT_EQ(0, SeamComInitDepth());
    ASSERT_EQ(S_OK, XmlStartup());
    EXPECT_EQ(lookups + 1, SeamProgIdLookups());
    XmlShutdown();
}

TEST_F(XmlDoc, AlreadyInitialisedComCountsAsSuccessAndStaysBalanced) {
    ASSERT_EQ(S_OK, CoInitialize(nullptr));
    ASSERT_EQ(S_OK, XmlStartup());  // CoInitialize answered S_FALSE inside
    EXPECT_EQ(2, SeamComInitDepth());
    XmlShutdown();
    EXPECT_EQ(1, SeamComInitDepth());
    CoUninitialize();
}

// ---------------------------------------------------------------- documents

class XmlStarted : public XmlDoc {
  protected:
    void SetUp() override {
        XmlDoc::SetUp();
        ASSERT_EQ(S_OK, XmlStartup());
    }
    void TearDown() override {
        XmlShutdown();
        XmlDoc::TearDown();
    }
};

TEST_F(XmlStarted, NewDocumentWithARootAttachesItAndKeepsNoExtraReference) {
    const size_t before = SeamLiveComObjects();
    IXMLDOMDocument* document = nullptr;
    ASSERT_EQ(S_OK, XmlNewDocument(u"registration_data", &document, nullptr));
    EXPECT_EQ(before + 1, SeamLiveComObjects());  // the element object is gone
    IXMLDOMNode* root = nullptr;
    ASSERT_EQ(S_OK, XmlFindNode(document, u"/registration_data", &root));
    root->Release();
    document->Release();
    EXPECT_EQ(before, SeamLiveComObjects());

    IXMLDOMElement* element = nullptr;
    ASSERT_EQ(S_OK, XmlNewDocument(u"root", &document, &element));
    ASSERT_NE(nullptr, element);
    BSTR name = nullptr;
    ASSERT_EQ(S_OK, element->get_nodeName(&name));
    EXPECT_EQ(u"root", std::u16string(name, SysStringLen(name)));
    SysFreeString(name);
    element->Release();
    document->Release();
}

TEST_F(XmlStarted, NewDocumentHandsOutNothingWhenAStepFails) {
    for (const char* api : {"CoCreateInstance", "IXMLDOMDocument::createElement",
                            "IXMLDOMNode::appendChild", "SysAllocString"}) {
        SCOPED_TRACE(api);
        SeamFailNthCall(api, 1, 0x80004005);
        IXMLDOMDocument* document = nullptr;
        IXMLDOMElement* element = nullptr;
        const HRESULT hr = XmlNewDocument(u"root", &document, &element);
        EXPECT_TRUE(FAILED(hr));
        EXPECT_EQ(nullptr, document);
        EXPECT_EQ(nullptr, element);
        EXPECT_EQ(comObjects_, SeamLiveComObjects());
        SeamClearFailures();
    }
}

TEST_F(XmlStarted, CreateElementChecksItsArguments) {
    IXMLDOMDocument* document = nullptr;
    ASSERT_EQ(S_OK, XmlNewDocument(nullptr, &document, nullptr));
    IXMLDOMElement* element = nullptr;
    EXPECT_EQ(E_INVALIDARG, XmlCreateElement(nullptr, u"a", &element));
    EXPECT_EQ(E_INVALIDARG, XmlCreateElement(document, u"a", nullptr));
    EXPECT_EQ(E_OUTOFMEMORY, XmlCreateElement(document, nullptr, &element));
    EXPECT_EQ(nullptr, element);
    document->Release();
}

TEST_F(XmlStarted, MissingAndMalformedFilesGiveOpenFailedAndNoDocument) {
    const std::u16string malformed = Put("bad.xml", "<service_tag><registry></service_tag>");
    const std::u16string empty = Put("empty.xml", "");
    for (const std::u16string& path : {PathOf("missing.xml"), malformed, empty}) {
        IXMLDOMDocument* document = nullptr;
        EXPECT_EQ(kOpenFailed, XmlLoadFile(path.c_str(), &document));
        EXPECT_EQ(nullptr, document);
    }
    EXPECT_EQ(kOpenFailed, XmlLoadFile(PathOf("missing.xml").c_str(), nullptr));
}

TEST_F(XmlStarted, SelectsTheFirstRegistryUnderRegistrationDataAtAnyDepth) {
    const std::u16string path = Put("svctag.xml", kServiceTag);
    IXMLDOMDocument* document = nullptr;
    ASSERT_EQ(S_OK, XmlLoadFile(path.c_str(), &document));
    EXPECT_EQ("urn:st:first", RegistryUrn(document));
    document->Release();
}

TEST_F(XmlStarted, LoadsUtf16WithAByteOrderMark) {
    const std::u16string text =
        u"<?xml version=\"1.0\" encoding=\"UTF-16\"?>"
        u"<svc><registration_data><registry "
        u"urn=\"urn:st:\u00e9t\u00e9\"/></registration_data></svc>";
    std::string bytes = "\xFF\xFE";
    for (char16_t unit : text) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>(unit >> 8));
    }
    IXMLDOMDocument* document = nullptr;
    ASSERT_EQ(S_OK, XmlLoadFile(Put("utf16.xml", bytes).c_str(), &document));
    EXPECT_EQ("urn:st:\xC3\xA9t\xC3\xA9", RegistryUrn(document));
    document->Release();
}

TEST_F(XmlStarted, NoMatchGivesSFalseAndANullNode) {
    IXMLDOMDocument* document = nullptr;
    ASSERT_EQ(S_OK,
              XmlLoadFile(Put("other.xml", "<a><registry urn=\"x\"/></a>").c_str(), &document));
    IXMLDOMNode* node = reinterpret_cast<IXMLDOMNode*>(0x1);
    EXPECT_EQ(S_FALSE, XmlFindNode(document, u"//registration_data/registry", &node));
    EXPECT_EQ(nullptr, node);
    document->Release();
}

TEST_F(XmlStarted, FindNodeTakesANullExpressionAsEmptyAndRefusesNullNodes) {
    IXMLDOMDocument* document = nullptr;
    ASSERT_EQ(S_OK, XmlLoadFile(Put("svctag.xml", kServiceTag).c_str(), &document));
    IXMLDOMNode* node = nullptr;
    const HRESULT forEmpty = XmlFindNode(document, u"", &node);
    EXPECT_EQ(nullptr, node);
    EXPECT_EQ(forEmpty, XmlFindNode(document, nullptr, &node));
    EXPECT_EQ(nullptr, node);
    EXPECT_EQ(E_UNEXPECTED, XmlFindNode(nullptr, u"//registry", &node));
    EXPECT_EQ(E_UNEXPECTED, XmlFindNode(document, u"//registry", nullptr));
    document->Release();
}

TEST_F(XmlStarted, AbsentAttributeLeavesTheCallersVariableAlone) {
    IXMLDOMDocument* document = nullptr;
    ASSERT_EQ(S_OK, XmlLoadFile(Put("svctag.xml", kServiceTag).c_str(), &document));
    IXMLDOMNode* node = nullptr;
    ASSERT_EQ(S_OK, XmlFindNode(document, u"//registration_data/registry", &node));
    BSTR value = reinterpret_cast<BSTR>(0x1234);
    EXPECT_EQ(S_FALSE, XmlReadAttribute(node, u"missing", &value));
    EXPECT_EQ(reinterpret_cast<BSTR>(0x1234), value);

    BSTR version = nullptr;
    ASSERT_EQ(S_OK, XmlReadAttribute(node, u"version", &version));
    EXPECT_EQ(u"1.0", std::u16string(version, SysStringLen(version)));
    SysFreeString(version);
    EXPECT_EQ(S_OK, XmlReadAttribute(node, u"urn", nullptr));  // read, nothing handed out

    // The document has no attributes at all: that is a failure, not "absent".
    EXPECT_TRUE(FAILED(XmlReadAttribute(document, u"urn", &value)));
    EXPECT_EQ(reinterpret_cast<BSTR>(0x1234), value);
    EXPECT_EQ(E_INVALIDARG, XmlReadAttribute(nullptr, u"urn", &value));
    node->Release();
    document->Release();
}

TEST_F(XmlStarted, GetNamedItemChecksItsArguments) {
    IXMLDOMNode* item = nullptr;
    EXPECT_EQ(E_INVALIDARG, XmlGetNamedItem(nullptr, u"urn", &item));
    IXMLDOMDocument* document = nullptr;
    ASSERT_EQ(S_OK, XmlNewDocument(u"root", &document, nullptr));
    IXMLDOMNode* root = nullptr;
    ASSERT_EQ(S_OK, XmlFindNode(document, u"/root", &root));
    IXMLDOMNamedNodeMap* map = nullptr;
    ASSERT_EQ(S_OK, root->get_attributes(&map));
    EXPECT_EQ(E_INVALIDARG, XmlGetNamedItem(map, u"urn", nullptr));
    EXPECT_EQ(E_OUTOFMEMORY, XmlGetNamedItem(map, nullptr, &item));
    EXPECT_EQ(S_FALSE, XmlGetNamedItem(map, u"urn", &item));
    EXPECT_EQ(nullptr, item);
    map->Release();
    root->Release();
    document->Release();
}

TEST_F(XmlStarted, EveryFailingCallOfALoadAndReadReleasesEverything) {
    const std::u16string path = Put("svctag.xml", kServiceTag);
    struct Case {
        const char* api;
        HRESULT expected;
    };
    const HRESULT failure = static_cast<HRESULT>(0x80004005);
    for (const Case& c :
         {Case{"CoCreateInstance", failure}, Case{"IXMLDOMDocument::put_resolveExternals", failure},
          Case{"IXMLDOMDocument::load", failure}, Case{"SysAllocString", E_OUTOFMEMORY}}) {
        SCOPED_TRACE(c.api);
        SeamFailNthCall(c.api, 1, static_cast<uint32_t>(failure));
        IXMLDOMDocument* document = nullptr;
        EXPECT_EQ(c.expected, XmlLoadFile(path.c_str(), &document));
        EXPECT_EQ(nullptr, document);
        EXPECT_EQ(comObjects_, SeamLiveComObjects());
        EXPECT_EQ(bstrs_, SeamLiveBstrs());
        SeamClearFailures();
    }

    IXMLDOMDocument* document = nullptr;
    ASSERT_EQ(S_OK, XmlLoadFile(path.c_str(), &document));
    IXMLDOMNode* node = nullptr;
    ASSERT_EQ(S_OK, XmlFindNode(document, u"//registration_data/registry", &node));
    const size_t objects = SeamLiveComObjects();
    const size_t bstrs = SeamLiveBstrs();
    for (const Case& c :
         {Case{"IXMLDOMNode::get_attributes", failure},
          Case{"IXMLDOMNamedNodeMap::getNamedItem", failure},
          Case{"IXMLDOMNode::get_nodeValue", failure}, Case{"SysAllocString", E_OUTOFMEMORY},
          Case{"SysAllocStringLen", E_OUTOFMEMORY}}) {
        SCOPED_TRACE(c.api);
        SeamFailNthCall(c.api, 1, static_cast<uint32_t>(failure));
        BSTR value = nullptr;
        EXPECT_EQ(c.expected, XmlReadAttribute(node, u"urn", &value));
        EXPECT_EQ(nullptr, value);
        EXPECT_EQ(objects, SeamLiveComObjects());
        EXPECT_EQ(bstrs, SeamLiveBstrs());
        SeamClearFailures();
    }
    SeamFailNthCall("SysAllocString", 1, 0);
    EXPECT_EQ(E_OUTOFMEMORY, XmlFindNode(document, u"//registry", &node));
    node->Release();
    document->Release();
}

TEST_F(XmlStarted, ExternalEntitiesAndDtdsAreNotLoaded) {
    const std::string secret = dir_ + "/secret.txt";
    std::ofstream(secret) << "SECRET";
    const std::string xml =
        "<?xml version=\"1.0\"?>\n"
        "<!DOCTYPE r SYSTEM \"" +
        dir_ +
        "/missing.dtd\" [\n"
        "  <!ENTITY leak SYSTEM \"file://" +
        secret +
        "\">\n"
        "]>\n"
        "<r><registration_data><registry urn=\"u\">&leak;</registry>"
        "</registration_data></r>\n";
    IXMLDOMDocument* document = nullptr;
    const HRESULT hr = XmlLoadFile(Put("xxe.xml", xml).c_str(), &document);
    if (hr == S_OK) {
        IXMLDOMNode* node = nullptr;
        EXPECT_EQ(S_FALSE, XmlFindNode(document, u"//*[contains(., 'SECRET')]", &node));
        EXPECT_EQ(nullptr, node);
        EXPECT_EQ("u", RegistryUrn(document));
        document->Release();
    } else {
        EXPECT_EQ(kOpenFailed, hr);
    }
}

}  // namespace
