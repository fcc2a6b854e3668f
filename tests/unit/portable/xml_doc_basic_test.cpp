// XML documents through the platform's DOM: loading the service tag (UTF-8 and
// UTF-16), the registry selection, attribute reading, and the results for missing
// and malformed files. Needs no test seam, so it also runs against MSXML.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "runtime/xml_doc.h"
#include "tests/unit/portable/scratch_directory.h"

namespace {

using WString = std::basic_string<WCHAR>;

constexpr HRESULT kOpenFailed = static_cast<HRESULT>(0x8007006E);

class XmlDocBasic : public ScratchDirectoryTest {
  protected:
    XmlDocBasic() : ScratchDirectoryTest("ostrel-xml-") {}

    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(ScratchDirectoryTest::SetUp());
        ASSERT_EQ(S_OK, XmlStartup());
    }
    void TearDown() override {
        XmlShutdown();
        ScratchDirectoryTest::TearDown();
    }

    WString Put(const char* name, const std::string& bytes) const {
        std::ofstream(dir_ / name, std::ios::binary) << bytes;
        return WidePath(dir_ / name);
    }

    // The "urn" of the node "//registration_data/registry" selects, or a note why
    // there is none.
    std::string Urn(const WString& path) const {
        IXMLDOMDocument* document = nullptr;
        HRESULT hr = XmlLoadFile(path.c_str(), &document);
        if (hr != S_OK) {
            return "load failed";
        }
        IXMLDOMNode* node = nullptr;
        hr = XmlFindNode(document, WSTR("//registration_data/registry"), &node);
        std::string result = "no node";
        if (hr == S_OK) {
            BSTR urn = nullptr;
            hr = XmlReadAttribute(node, WSTR("urn"), &urn);
            result = hr == S_OK ? std::string() : "no urn";
            for (UINT i = 0; hr == S_OK && i < SysStringLen(urn); ++i) {
                result.push_back(urn[i] < 0x80 ? static_cast<char>(urn[i]) : '?');
            }
            SysFreeString(urn);
            node->Release();
        }
        document->Release();
        return result;
    }
};

TEST_F(XmlDocBasic, SelectsTheFirstRegistryInDocumentOrderAtAnyDepth) {
    EXPECT_EQ("urn:st:first",
              Urn(Put("svctag.xml",
                      "<?xml version=\"1.0\"?><service_tag><registry urn=\"outside\"/>"
                      "<p><registration_data><registry urn=\"urn:st:first\"/></registration_data>"
                      "</p><registration_data><registry urn=\"second\"/></registration_data>"
                      "</service_tag>")));
    EXPECT_EQ("no node", Urn(Put("none.xml", "<a><registry urn=\"x\"/></a>")));
    EXPECT_EQ("no urn",
              Urn(Put("bare.xml", "<a><registration_data><registry/></registration_data></a>")));
}

TEST_F(XmlDocBasic, LoadsUtf16WithAByteOrderMark) {
    const std::string text =
        "<?xml version=\"1.0\" encoding=\"UTF-16\"?><s><registration_data>"
        "<registry urn=\"urn:st:16\"/></registration_data></s>";
    std::string bytes = "\xFF\xFE";
    for (char c : text) {
        bytes.push_back(c);
        bytes.push_back('\0');
    }
    EXPECT_EQ("urn:st:16", Urn(Put("utf16.xml", bytes)));
}

TEST_F(XmlDocBasic, MissingAndMalformedFilesGiveOpenFailed) {
    IXMLDOMDocument* document = nullptr;
    EXPECT_EQ(kOpenFailed, XmlLoadFile(WidePath(dir_ / "missing.xml").c_str(), &document));
    EXPECT_EQ(nullptr, document);
    EXPECT_EQ(kOpenFailed, XmlLoadFile(Put("bad.xml", "<a><b></a>").c_str(), &document));
    EXPECT_EQ(nullptr, document);
}

TEST_F(XmlDocBasic, AnAbsentAttributeLeavesTheVariableAlone) {
    IXMLDOMDocument* document = nullptr;
    ASSERT_EQ(S_OK, XmlLoadFile(Put("a.xml", "<a b=\"1\"/>").c_str(), &document));
    IXMLDOMNode* node = nullptr;
    ASSERT_EQ(S_OK, XmlFindNode(document, WSTR("/a"), &node));
    BSTR const untouched = reinterpret_cast<BSTR>(static_cast<uintptr_t>(0x1230));
    BSTR value = untouched;
    EXPECT_EQ(S_FALSE, XmlReadAttribute(node, WSTR("c"), &value));
    EXPECT_EQ(untouched, value);
    node->Release();
    document->Release();
}

TEST_F(XmlDocBasic, NestedStartUpsShareTheClass) {
    ASSERT_EQ(S_OK, XmlStartup());
    XmlShutdown();
    IXMLDOMDocument* document = nullptr;
    ASSERT_EQ(S_OK, XmlNewDocument(WSTR("root"), &document, nullptr));
    IXMLDOMNode* root = nullptr;
    EXPECT_EQ(S_OK, XmlFindNode(document, WSTR("/root"), &root));
    if (root != nullptr) {
        root->Release();
    }
    document->Release();
}

}  // namespace
