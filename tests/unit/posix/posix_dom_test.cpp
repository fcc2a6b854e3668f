// The posix COM layer and DOM document: BSTRs with their length, variants that free
// what they hold, apartments per thread, the document's tree rules (one root, no
// cycles, valid names, nodes that outlive a reload), and its externals: resolved
// from local files by default, as MSXML 3.0 does, never from the network, and not
// at all once resolveExternals is off.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform/posix/shared/seams.h"
#include "platform/posix/shared/utf.h"
#include "platform/win32.h"

namespace {

const IID kIidDocument = {
    0x2933BF81, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};

TEST(PosixOleAut, BstrsCarryTheirLengthAndAreCounted) {
    const size_t live = SeamLiveBstrs();
    BSTR text = SysAllocStringLen(u"a\0b", 3);
    ASSERT_NE(nullptr, text);
    EXPECT_EQ(3u, SysStringLen(text));
    EXPECT_EQ(0, text[3]);
    BSTR copy = SysAllocString(text);  // stops at the first NUL
    EXPECT_EQ(1u, SysStringLen(copy));
    EXPECT_EQ(live + 2, SeamLiveBstrs());
    EXPECT_EQ(nullptr, SysAllocString(nullptr));
    EXPECT_EQ(0u, SysStringLen(nullptr));

    VARIANT value;
    VariantInit(&value);
    V_VT(&value) = VT_BSTR;
    V_BSTR(&value) = copy;
    EXPECT_EQ(S_OK, VariantClear(&value));
    EXPECT_EQ(VT_EMPTY, V_VT(&value));
    SysFreeString(text);
    SysFreeString(nullptr);
    EXPECT_EQ(live, SeamLiveBstrs());
}

TEST(PosixCom, ApartmentsAreCountedPerThreadAndNeededForCreation) {
    CLSID clsid{};
    ASSERT_EQ(S_OK, CLSIDFromProgID(u"msxml2.domdocument", &clsid));  // any case
    void* object = nullptr;
    EXPECT_EQ(CO_E_NOTINITIALIZED,
              CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, kIidDocument, &object));
    ASSERT_EQ(S_OK, CoInitialize(nullptr));
    EXPECT_EQ(S_FALSE, CoInitialize(nullptr));
    std::thread([] { EXPECT_EQ(0, SeamComInitDepth()); }).join();
    EXPECT_EQ(E_NOINTERFACE, CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER,
                                              IID_IXMLDOMNamedNodeMap, &object));
    EXPECT_EQ(nullptr, object);
    EXPECT_EQ(0u, SeamLiveComObjects());
    CoUninitialize();
    CoUninitialize();
    EXPECT_EQ(0, SeamComInitDepth());
    EXPECT_EQ(CO_E_CLASSSTRING, CLSIDFromProgID(u"Msxml2.DOMDocument.9", &clsid));
}

class PosixDom : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(S_OK, CoInitialize(nullptr));
        CLSID clsid{};
        ASSERT_EQ(S_OK, CLSIDFromProgID(u"Msxml2.DOMDocument", &clsid));
        ASSERT_EQ(S_OK, CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, kIidDocument,
                                         reinterpret_cast<void**>(&document_)));
    }
    void TearDown() override {
        document_->Release();
        EXPECT_EQ(0u, SeamLiveComObjects());
        EXPECT_EQ(0u, SeamLiveBstrs());
        CoUninitialize();
        SeamClearFailures();
    }

    IXMLDOMElement* Create(const char16_t* name) {
        BSTR tag = SysAllocString(name);
        IXMLDOMElement* element = nullptr;
        EXPECT_EQ(S_OK, document_->createElement(tag, &element));
        SysFreeString(tag);
        return element;
    }

    IXMLDOMDocument* document_ = nullptr;
};

TEST_F(PosixDom, OneRootNoCyclesAndNoInvalidNames) {
    IXMLDOMElement* root = Create(u"root");
    IXMLDOMElement* child = Create(u"child");
    IXMLDOMElement* other = Create(u"other");
    IXMLDOMNode* appended = nullptr;
    EXPECT_EQ(S_OK, document_->appendChild(root, &appended));
    EXPECT_EQ(static_cast<IXMLDOMNode*>(root), appended);
    appended->Release();
    EXPECT_EQ(E_FAIL, document_->appendChild(other, nullptr));  // a second root
    EXPECT_EQ(S_OK, root->appendChild(child, nullptr));
    EXPECT_EQ(E_INVALIDARG, child->appendChild(root, nullptr));  // its own ancestor
    EXPECT_EQ(E_INVALIDARG, child->appendChild(nullptr, nullptr));

    BSTR bad = SysAllocString(u"1st");
    IXMLDOMElement* element = nullptr;
    EXPECT_EQ(E_FAIL, document_->createElement(bad, &element));
    EXPECT_EQ(nullptr, element);
    SysFreeString(bad);

    IXMLDOMNode* found = nullptr;
    BSTR query = SysAllocString(u"/root/child");
    EXPECT_EQ(S_OK, document_->selectSingleNode(query, &found));
    SysFreeString(query);
    found->Release();
    // "other" was never attached: the document frees it with its tree.
    other->Release();
    child->Release();
    root->Release();
}

TEST_F(PosixDom, NodesStayValidAfterTheirDocumentLoadsAnotherFile) {
    char pattern[] = "/tmp/ostrel-dom-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    const std::string path = std::string(pattern) + "/a.xml";
    std::ofstream(path) << "<a x=\"1\"><b/></a>";

    IXMLDOMElement* root = Create(u"root");
    ASSERT_EQ(S_OK, document_->appendChild(root, nullptr));
    VARIANT source;
    VariantInit(&source);
    V_VT(&source) = VT_BSTR;
    V_BSTR(&source) = SysAllocString(Utf8ToUtf16(path).c_str());
    VARIANT_BOOL loaded = VARIANT_FALSE;
    EXPECT_EQ(S_OK, document_->load(source, &loaded));
    EXPECT_EQ(VARIANT_TRUE, loaded);
    BSTR name = nullptr;
    ASSERT_EQ(S_OK, root->get_nodeName(&name));  // the old tree is still alive
    EXPECT_EQ(u"root", std::u16string(name, SysStringLen(name)));
    SysFreeString(name);
    root->Release();

    // A failed load leaves an empty document.
    SysFreeString(V_BSTR(&source));
    V_BSTR(&source) = SysAllocString(Utf8ToUtf16(std::string(pattern) + "/none.xml").c_str());
    EXPECT_EQ(S_FALSE, document_->load(source, &loaded));
    EXPECT_EQ(VARIANT_FALSE, loaded);
    IXMLDOMElement* element = nullptr;
    EXPECT_EQ(S_FALSE, document_->get_documentElement(&element));
    EXPECT_EQ(nullptr, element);
    VariantClear(&source);
    std::filesystem::remove_all(pattern);
}

TEST_F(PosixDom, ValuesOfElementsAreNullAndOfAttributesText) {
    IXMLDOMElement* root = Create(u"root");
    VARIANT value;
    EXPECT_EQ(S_FALSE, root->get_nodeValue(&value));
    EXPECT_EQ(VT_NULL, V_VT(&value));
    IXMLDOMNamedNodeMap* map = nullptr;
    ASSERT_EQ(S_OK, root->get_attributes(&map));
    LONG length = -1;
    EXPECT_EQ(S_OK, map->get_length(&length));
    EXPECT_EQ(0, length);
    map->Release();
    IXMLDOMNamedNodeMap* none = reinterpret_cast<IXMLDOMNamedNodeMap*>(0x1);
    EXPECT_EQ(S_FALSE, document_->get_attributes(&none));
    EXPECT_EQ(nullptr, none);
    BSTR bad = SysAllocString(u"//[");
    IXMLDOMNode* found = nullptr;
    EXPECT_EQ(E_FAIL, document_->selectSingleNode(bad, &found));  // not an expression
    SysFreeString(bad);
    root->Release();
}

class PosixDomExternals : public PosixDom {
  protected:
    void SetUp() override {
        PosixDom::SetUp();
        char pattern[] = "/tmp/ostrel-dom-ext-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        dir_ = pattern;
        std::ofstream(dir_ + "/other.xml") << "<registry urn=\"urn:st:from-other-file\"/>";
        std::ofstream(dir_ + "/defaults.dtd") << "<!ATTLIST registry urn CDATA \"urn:st:default\">";
    }
    void TearDown() override {
        std::filesystem::remove_all(dir_);
        PosixDom::TearDown();
    }

    // Loads `xml` from a file and answers the urn of //registration_data/registry,
    // "(no node)" or "(no urn)".
    std::string LoadedUrn(const std::string& xml) {
        const std::string path = dir_ + "/svctag.xml";
        std::ofstream(path) << xml;
        VARIANT source;
        VariantInit(&source);
        V_VT(&source) = VT_BSTR;
        V_BSTR(&source) = SysAllocString(Utf8ToUtf16(path).c_str());
        VARIANT_BOOL loaded = VARIANT_FALSE;
        const HRESULT hr = document_->load(source, &loaded);
        VariantClear(&source);
        if (hr != S_OK) {
            return "(not loaded)";
        }
        BSTR query = SysAllocString(u"//registration_data/registry");
        IXMLDOMNode* node = nullptr;
        document_->selectSingleNode(query, &node);
        SysFreeString(query);
        if (node == nullptr) {
            return "(no node)";
        }
        std::string urn = "(no urn)";
        IXMLDOMNamedNodeMap* map = nullptr;
        IXMLDOMNode* attribute = nullptr;
        BSTR name = SysAllocString(u"urn");
        if (node->get_attributes(&map) == S_OK && map->getNamedItem(name, &attribute) == S_OK) {
            VARIANT value;
            VariantInit(&value);
            attribute->get_nodeValue(&value);
            urn = Utf16ToUtf8(V_BSTR(&value), SysStringLen(V_BSTR(&value)));
            VariantClear(&value);
            attribute->Release();
        }
        SysFreeString(name);
        if (map != nullptr) {
            map->Release();
        }
        node->Release();
        return urn;
    }

    std::string EntityFrom(const std::string& systemId) const {
        return "<!DOCTYPE registration_data [<!ENTITY reg SYSTEM \"" + systemId +
               "\">]><registration_data>&reg;</registration_data>";
    }

    std::string dir_;
};

TEST_F(PosixDomExternals, ANewDocumentResolvesLocalExternalsAsMsxmlDoes) {
    EXPECT_EQ("urn:st:from-other-file", LoadedUrn(EntityFrom("other.xml")));
    EXPECT_EQ("urn:st:from-other-file", LoadedUrn(EntityFrom("file://" + dir_ + "/other.xml")));
    EXPECT_EQ("urn:st:default", LoadedUrn("<!DOCTYPE registration_data SYSTEM \"defaults.dtd\">"
                                          "<registration_data><registry/></registration_data>"));
}

TEST_F(PosixDomExternals, TheNetworkIsNeverAsked) {
    // A listener of the test's own on the loopback address: the entity and the DTD
    // name it, and no connection may reach it.
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)));
    ASSERT_EQ(0, listen(listener, 4));
    ASSERT_EQ(0, getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length));
    const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port));

    const std::string urn = LoadedUrn("<!DOCTYPE registration_data SYSTEM \"" + url +
                                      "/d.dtd\" [<!ENTITY reg SYSTEM \"" + url +
                                      "/other.xml\">]><registration_data>"
                                      "<registry urn=\"u\"/>&reg;</registration_data>");
    EXPECT_TRUE(urn == "u" || urn == "(not loaded)") << urn;
    EXPECT_EQ(-1, accept(listener, nullptr, nullptr));
    EXPECT_EQ(EAGAIN, errno);
    close(listener);
}

TEST_F(PosixDomExternals, ResolveExternalsOffReadsNothingButTheFile) {
    ASSERT_EQ(S_OK, document_->put_resolveExternals(VARIANT_FALSE));
    EXPECT_EQ("(no node)", LoadedUrn(EntityFrom("other.xml")));
    EXPECT_EQ("(no node)", LoadedUrn(EntityFrom("file://" + dir_ + "/other.xml")));
    EXPECT_EQ("(no urn)", LoadedUrn("<!DOCTYPE registration_data SYSTEM \"defaults.dtd\">"
                                    "<registration_data><registry/></registration_data>"));
    ASSERT_EQ(S_OK, document_->put_resolveExternals(VARIANT_TRUE));
    EXPECT_EQ("urn:st:from-other-file", LoadedUrn(EntityFrom("other.xml")));
}

}  // namespace
