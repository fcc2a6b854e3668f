// The registration files: the registry URN read out of a service tag, the service
// tag encoded for the page, and the merge that fills the page's placeholders, byte
// for byte, with the exact line of each failure. Runs inside an open action so
// that failure lines reach the installer; no heap block, BSTR, COM object or file
// handle may be left on any path, and a failed merge leaves the page as it was.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/unit/posix/build_paths.h"
#include "actions/registration_files.h"
#include "runtime/context_log.h"
#include "runtime/heap_string.h"
#include "runtime/xml_doc.h"
#include "tests/unit/posix/installer_fixture.h"

namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

const HRESULT kNotFound = static_cast<HRESULT>(0x80070490);
const HRESULT kSizeOverflow = static_cast<HRESULT>(0x80070216);

class RegistrationFiles : public InstallerTest {
  protected:
    void SetUp() override {
        InstallerTest::SetUp();
        char pattern[] = "/tmp/ostrel-regfiles-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        dir_ = pattern;
        comObjects_ = SeamLiveComObjects();
        bstrs_ = SeamLiveBstrs();
        ASSERT_EQ(S_OK, XmlStartup());
        ASSERT_EQ(S_OK, ActionBegin(install_, "CAUpdateOfflineReg"));
    }
    void TearDown() override {
        ActionEnd(0);
        XmlShutdown();
        EXPECT_EQ(comObjects_, SeamLiveComObjects()) << "COM objects left alive";
        EXPECT_EQ(bstrs_, SeamLiveBstrs()) << "BSTRs left allocated";
        EXPECT_EQ(0u, SeamLiveFileHandles()) << "file handles left open";
        fs::remove_all(dir_);
        InstallerTest::TearDown();
    }

    std::string PathOf(const char* name) const { return dir_ + "/" + name; }
    void Put(const char* name, const std::string& bytes) const {
        std::ofstream(PathOf(name), std::ios::binary) << bytes;
    }
    std::string Contents(const char* name) const {
        std::ifstream in(PathOf(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::string Line(const std::string& text) const { return "CAUpdateOfflineReg:  " + text; }

    // ReadRegistryUrn of a service tag holding `xml`: the result and the URN read
    // (or "(none)").
    HRESULT Urn(const std::string& xml, std::string* urn) {
        Put("svctag.xml", xml);
        BSTR value = nullptr;
        const HRESULT hr = ReadRegistryUrn(Utf8ToUtf16(PathOf("svctag.xml")).c_str(), &value);
        *urn = value != nullptr ? Utf16ToUtf8(value, SysStringLen(value)) : "(none)";
        SysFreeString(value);
        return hr;
    }

    // EncodeServiceTag of `bytes`; the encoded text with its terminator checked.
    HRESULT Encode(const std::string& bytes, std::string* encoded) {
        LPSTR text = nullptr;
        const HRESULT hr = EncodeServiceTag(&text, reinterpret_cast<const BYTE*>(bytes.data()),
                                            static_cast<DWORD>(bytes.size()));
        *encoded = "(none)";
        if (text != nullptr && SUCCEEDED(hr)) {
            *encoded = text;
            // The buffer is exactly the text and its terminator.
            EXPECT_EQ(encoded->size() + 1, MemSize(text));
        }
        StrFree(text);
        return hr;
    }

    // MergeOfflineRegistration of `urn` and `tag` into a page holding `page`.
    HRESULT Merge(const std::string& page, const std::u16string& urn, const std::string& tag) {
        Put("register.htm", page);
        const std::u16string installPath = Utf8ToUtf16(dir_ + "/");
        return MergeOfflineRegistration(installPath.c_str(), urn.c_str(), tag.c_str());
    }

    std::string dir_;
    size_t comObjects_ = 0;
    size_t bstrs_ = 0;
};

// ---------------------------------------------------------------- registry URN

TEST_F(RegistrationFiles, UrnIsTheFirstRegistryDirectlyInsideRegistrationData) {
    std::string urn;
    EXPECT_EQ(S_OK, Urn("<svc><registry urn=\"outside\"/>"
                        "<p><registration_data><x><registry urn=\"nested\"/></x>"
                        "<registry urn=\"urn:st:first\"/></registration_data></p>"
                        "<registration_data><registry urn=\"urn:st:second\"/></registration_data>"
                        "</svc>",
                        &urn));
    EXPECT_EQ("urn:st:first", urn);
    EXPECT_TRUE(InfoLines().empty());
}

TEST_F(RegistrationFiles, UrnOfTheSampleServiceTag) {
    BSTR value = nullptr;
    const fs::path sample = fs::path(OSTREL_SOURCE_DIR) / "examples/install/svctag.xml";
    ASSERT_EQ(S_OK, ReadRegistryUrn(sample.u16string().c_str(), &value));
    EXPECT_EQ(u"urn:st:0f6a9c2e-4b1d-4e8a-9c3f-7d2b5e8a1c40",
              std::u16string(value, SysStringLen(value)));
    SysFreeString(value);
}

TEST_F(RegistrationFiles, UrnFailuresLogOneLineEach) {
    struct Row {
        const char* xml;
        HRESULT status;
        std::string line;
    } rows[] = {
        {"<registration_data><registry urn=\"x\"></registration_data>",
         static_cast<HRESULT>(0x8007006E),
         "Error 0x8007006e: failed to load Service Tag file: " + PathOf("svctag.xml")},
        {"<svc><registry urn=\"x\"/><registration_data/></svc>", kNotFound,
         "Error 0x80070490: failed to find Registry info"},
        {"<registration_data><registry version=\"1.0\"/></registration_data>", kNotFound,
         "Error 0x80070490: failed to find Registry urn"},
    };
    for (const Row& row : rows) {
        std::string urn;
        EXPECT_EQ(row.status, Urn(row.xml, &urn)) << row.xml;
        EXPECT_EQ("(none)", urn);
    }
    const Lines lines = InfoLines();
    ASSERT_EQ(std::size(rows), lines.size());
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(Line(rows[i].line), lines[i]);
    }
}

TEST_F(RegistrationFiles, MissingServiceTagFailsAtTheLoad) {
    BSTR value = nullptr;
    EXPECT_EQ(static_cast<HRESULT>(0x8007006E),
              ReadRegistryUrn(Utf8ToUtf16(PathOf("none.xml")).c_str(), &value));
    EXPECT_EQ(nullptr, value);
    EXPECT_EQ(
        Lines{Line("Error 0x8007006e: failed to load Service Tag file: " + PathOf("none.xml"))},
        InfoLines());
}

TEST_F(RegistrationFiles, UrnReadingReleasesEverythingWhenACallFails) {
    Put("svctag.xml", "<registration_data><registry urn=\"u\"/></registration_data>");
    const std::u16string path = Utf8ToUtf16(PathOf("svctag.xml"));
    for (const char* api : {"CoCreateInstance", "IXMLDOMNode::selectSingleNode",
                            "IXMLDOMNode::get_attributes", "IXMLDOMNode::get_nodeValue"}) {
        SCOPED_TRACE(api);
        SeamFailNthCall(api, 1, 0x80004005);
        BSTR value = nullptr;
        EXPECT_EQ(E_FAIL, ReadRegistryUrn(path.c_str(), &value));
        EXPECT_EQ(nullptr, value);
        EXPECT_EQ(comObjects_, SeamLiveComObjects());
        EXPECT_EQ(bstrs_, SeamLiveBstrs());
        SeamClearFailures();
    }
}

// ---------------------------------------------------------------- encoding

TEST_F(RegistrationFiles, QuotesBecomePercentTwentyTwoAndNothingElseChanges) {
    struct Row {
        std::string tag;
        std::string encoded;
    } rows[] = {
        {"a\"b\"\"c", "a%22b%22%22c"},
        {"<r v=\"1\">\r\n%22 'x' &amp;</r>", "<r v=%221%22>\r\n%22 'x' &amp;</r>"},
        {"\"", "%22"},
        {"\"\"\"", "%22%22%22"},
        {"x", "x"},
        {"", ""},
        {"\xC3\xA9\"\xFF", "\xC3\xA9%22\xFF"},
    };
    for (const Row& row : rows) {
        std::string encoded;
        EXPECT_EQ(S_OK, Encode(row.tag, &encoded)) << row.tag;
        EXPECT_EQ(row.encoded, encoded);
    }
    EXPECT_TRUE(InfoLines().empty());
}

TEST_F(RegistrationFiles, ZeroBytesThatOnlyPadTheEndAreDroppedAndAnyOtherIsRefused) {
    struct Row {
        std::string tag;
        std::string encoded;  // or, when refused, the offset of the first zero byte
    } rows[] = {
        {std::string("a\"b\0", 4), "a%22b"},
        {std::string("<r/>\0\0\0", 7), "<r/>"},
        {std::string("\0\0", 2), ""},
        {std::string("\xFF\xFE<\0r\0>\0", 8), "3"},  // UTF-16 with its byte order mark
        {std::string("a\"b\0c\"d", 7), "3"},
        {std::string("\0\"", 2), "0"},
        {std::string("abc\0\0\0\0x\0", 9), "3"},
    };
    Lines refused;
    for (const Row& row : rows) {
        std::string encoded;
        const HRESULT hr = Encode(row.tag, &encoded);
        const bool padded =
            row.tag.find_first_not_of('\0', row.tag.find('\0')) == std::string::npos;
        EXPECT_EQ(padded ? S_OK : static_cast<HRESULT>(0x8007000D), hr) << row.encoded;
        if (padded) {
            EXPECT_EQ(row.encoded, encoded);
        } else {
            refused.push_back(Line("Error 0x8007000d: service tag has a zero byte at offset " +
                                   row.encoded + "; save svctag.xml as UTF-8"));
        }
    }
    EXPECT_EQ(refused, InfoLines());
}

TEST_F(RegistrationFiles, ALongTagWithManyQuotesEncodesInOnePass) {
    std::string tag;
    std::string expected;
    for (int i = 0; i < 100000; ++i) {
        const char c = (i % 7 == 0 || i % 11 == 0) ? '"' : static_cast<char>('a' + i % 26);
        tag.push_back(c);
        expected += c == '"' ? "%22" : std::string(1, c);
    }
    std::string encoded;
    EXPECT_EQ(S_OK, Encode(tag, &encoded));
    EXPECT_EQ(expected, encoded);
}

TEST_F(RegistrationFiles, EncodingFailuresFreeTheBufferAndSayWhichStep) {
    struct Row {
        unsigned allocation;
        const char* api;
        std::string line;
    } rows[] = {
        {1, nullptr, "Error 0x8007000e: failed to create base string."},
        {2, nullptr, "Error 0x8007000e: failed to make room.."},
    };
    for (const Row& row : rows) {
        SeamFailNthAllocation(row.allocation);
        LPSTR text = nullptr;
        const std::string tag = "a\"b";
        EXPECT_EQ(E_OUTOFMEMORY,
                  EncodeServiceTag(&text, reinterpret_cast<const BYTE*>(tag.data()), 3));
        StrFree(text);  // the caller's clean-up, whatever the variable holds
        SeamClearFailures();
    }
    const Lines lines = InfoLines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(Line(rows[0].line), lines[0]);
    EXPECT_EQ(Line(rows[1].line), lines[1]);
}

TEST_F(RegistrationFiles, ATagWithNoRoomForItsTerminatorIsRefusedBeforeAnyAllocation) {
    const size_t blocks = SeamLiveHeapBlocks();
    const BYTE byte = 'x';
    for (DWORD count : {0xFFFFFFFFu, 0x7FFFFFFFu, 0x7FFFFFFEu}) {
        LPSTR text = nullptr;
        EXPECT_EQ(E_OUTOFMEMORY, EncodeServiceTag(&text, &byte, count)) << count;
        EXPECT_EQ(nullptr, text);
        EXPECT_EQ(blocks, SeamLiveHeapBlocks());
    }
    EXPECT_EQ(3u, InfoLines().size());
    EXPECT_EQ(Line("Error 0x8007000e: failed to create base string."), InfoLines()[0]);
}

// ---------------------------------------------------------------- merge

TEST_F(RegistrationFiles, MergeFillsTheFirstOfEachPlaceholderAndWritesNoTrailingZero) {
    const std::string page = "<p>WXYZ WXYZ</p><i value=\"TUVW\"><i value=\"TUVW\">";
    ASSERT_EQ(S_OK, Merge(page, u"urn:st:42", "a%22b"));
    const std::string merged = Contents("register.htm");
    EXPECT_EQ("<p>urn:st:42 WXYZ</p><i value=\"a%22b\"><i value=\"TUVW\">", merged);
    EXPECT_EQ(page.size() + 9 + 5 - 8, merged.size());
    EXPECT_TRUE(InfoLines().empty());
}

TEST_F(RegistrationFiles, ShortestPagesUrnsAndTags) {
    struct Row {
        std::string page;
        std::u16string urn;
        std::string tag;
        std::string merged;
    } rows[] = {
        {"WXYZTUVW", u"u", "t", "ut"},
        {"WXYZTUVW", u"", "", ""},
        {"WXYZTUVW", u"", "t", "t"},
        {"WXYZTUVW", u"urn:long", "", "urn:long"},
        {"WXYZ-TUVW", u"", "", "-"},
        {"aWXYZbTUVWc", u"", "", "abc"},
        {"aWXYZbTUVWc", u"1", "", "a1bc"},
        {"aWXYZbTUVWc", u"", "%22", "ab%22c"},
        {"WXYZTUVW", u"urn:st:x", "tag of some length", "urn:st:xtag of some length"},
        // "TUVW" inside the URN, or begun by it and ended by the page, is the one filled.
        {"<WXYZ>TUVW", u"aTUVWb", "a longer tag", "<aa longer tagb>TUVW"},
        {"WXYZVW TUVW", u"urn:TU", "tag", "urn:tag TUVW"},
        {"WXYZW TUVW", u"TUV", "", " TUVW"},
        {"WXYZUVW", u"T", "tag", "tag"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.page + " / " + row.merged);
        EXPECT_EQ(S_OK, Merge(row.page, row.urn, row.tag));
        EXPECT_EQ(row.merged, Contents("register.htm"));
    }
    EXPECT_TRUE(InfoLines().empty());
}

TEST_F(RegistrationFiles, APlaceholderInTheInsertedUrnCounts) {
    // The second search starts at the URN's first byte: a URN holding the tag's
    // placeholder takes the tag, and the page's own stays.
    EXPECT_EQ(S_OK, Merge("WXYZ TUVW", u"urn:TUVW", "T"));
    EXPECT_EQ("urn:T TUVW", Contents("register.htm"));
}

TEST_F(RegistrationFiles, ZeroBytesInThePageAreMovedLikeAnyOther) {
    const std::string page("\0WXYZ\0TUVW\0end", 14);
    EXPECT_EQ(S_OK, Merge(page, u"u", "tag"));
    EXPECT_EQ(std::string("\0u\0tag\0end", 10), Contents("register.htm"));
}

TEST_F(RegistrationFiles, PagesThatAreNotTemplatesStayAsTheyAre) {
    struct Row {
        std::string page;
        std::u16string urn;
        std::string line;
    } rows[] = {
        {"no placeholders", u"u", "is an invalid registration template 1."},
        {"", u"u", "is an invalid registration template 1."},
        {"wxyz TUVW", u"u", "is an invalid registration template 1."},
        {"WXY", u"u", "is an invalid registration template 1."},
        {"TUVW then WXYZ", u"u", "is an invalid registration template 2."},
        {"WXYZ only", u"u", "is an invalid registration template 2."},
        {"WXYZTUV", u"", "is an invalid registration template 2."},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(E_FAIL, Merge(row.page, row.urn, "tag")) << row.page;
        EXPECT_EQ(row.page, Contents("register.htm"));
    }
    const Lines lines = InfoLines();
    ASSERT_EQ(std::size(rows), lines.size());
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(Line("Error 0x80004005: " + PathOf("register.htm") + " " + rows[i].line),
                  lines[i]);
    }
}

TEST_F(RegistrationFiles, UrnsThatAreNotAsciiDoNotFitAndLeaveThePage) {
    for (const std::u16string& urn : {std::u16string(u"urn:st:\u00e9"), std::u16string(u"\u4e2d"),
                                      std::u16string(u"a\xD800")}) {
        EXPECT_EQ(static_cast<HRESULT>(0x8007007A), Merge("<WXYZ|TUVW>", urn, "t"));
        EXPECT_EQ("<WXYZ|TUVW>", Contents("register.htm"));
    }
    EXPECT_EQ(Lines(3, Line("Error 0x8007007a: failed to convert registry from wchar to char.")),
              InfoLines());
}

TEST_F(RegistrationFiles, MergeFailuresBeforeTheWriteSayWhichStep) {
    // The page's path cannot be made, the page cannot be read, the buffer cannot
    // grow, the page cannot be written.
    Put("register.htm", "WXYZTUVW");
    const std::u16string installPath = Utf8ToUtf16(dir_ + "/");
    SeamFailNthAllocation(1);
    EXPECT_EQ(E_OUTOFMEMORY, MergeOfflineRegistration(installPath.c_str(), u"u", "t"));
    SeamFailNthAllocation(3);  // path, page, then the merged page
    EXPECT_EQ(E_OUTOFMEMORY, MergeOfflineRegistration(installPath.c_str(), u"u", "t"));
    const std::u16string elsewhere = Utf8ToUtf16(dir_ + "/none/");
    EXPECT_EQ(static_cast<HRESULT>(0x80070003),
              MergeOfflineRegistration(elsewhere.c_str(), u"u", "t"));
    SeamFailNthCall("WriteFile", 1, 112);
    EXPECT_EQ(static_cast<HRESULT>(0x80070070),
              MergeOfflineRegistration(installPath.c_str(), u"u", "t"));
    EXPECT_EQ("WXYZTUVW", Contents("register.htm"));
    EXPECT_EQ((Lines{Line("Error 0x8007000e: failed to create offline registration path"),
                     Line("Error 0x8007000e: failed to reallocate additional buffer"),
                     Line("Error 0x80070003: failed to read offline reg contents."),
                     Line("Error 0x80070070: Failed to write 2 bytes to file."),
                     Line("Error 0x80070070: failed to write offline registration file")}),
              InfoLines());
}

TEST_F(RegistrationFiles, SizesThatDoNotFitThirtyTwoBitsFailBeforeTheBufferGrows) {
    struct Row {
        DWORD page;
        DWORD urn;
        DWORD tag;
    } rows[] = {
        {0xFFFFFFFFu, 4, 4},     // the merged page and its zero byte
        {0xFFFFFFF0u, 100, 0},   // the page up to the URN's end
        {0xFFFFFFF0u, 4, 0x20},  // the merged page
        {0x10, 0, 0xFFFFFFFFu},  // a tag of 4 GiB
        {0x10, 0x80000000u, 0},  // a URN longer than a conversion can count
        {0x80000000u, 0x7FFFFFFFu, 0x7FFFFFFFu},
    };
    for (const Row& row : rows) {
        // The block is tiny: a size check that let any of these through would read
        // far past its end.
        BYTE* page = static_cast<BYTE*>(MemAlloc(8, TRUE));
        DWORD size = row.page;
        EXPECT_EQ(kSizeOverflow,
                  FillRegistrationPage(u"p", &page, &size, u"", row.urn, "", row.tag));
        EXPECT_EQ(8u, MemSize(page));
        EXPECT_EQ(row.page, size);
        MemFree(page);
    }
    EXPECT_EQ(
        Lines(std::size(rows), Line("Error 0x80070216: failed to reallocate additional buffer")),
        InfoLines());
}

TEST_F(RegistrationFiles, TheMergedPageIsOneBlockOfItsLengthAndAZero) {
    // The merged page and a zero byte, or, where the tag is shorter than its
    // placeholder, the page up to the URN's end (s + u - 4) and a zero byte: the
    // URN is written to its place before the tag's placeholder is found.
    struct Row {
        std::string page;
        std::u16string urn;
        std::string tag;
        DWORD block;
    } rows[] = {
        {"aWXYZbTUVWc", u"u", "tag!", 9},  // merged 11 + 1 + 4 - 8 = 8, not the page's 11
        {"WXYZTUVW", u"uu", "tagtag", 9},  // merged 8 + 2 + 6 - 8 = 8
        {"WXYZTUVW", u"urnurn", "tagtag", 13},
        {"WXYZTUVW", u"", "", 5},           // up to the URN's end: 8 + 0 - 4
        {"WXYZTUVW", u"urn:st:1", "", 13},  // 8 + 8 - 4
        {"WXYZTUVW", u"u", "tag", 6},       // 8 + 1 - 4
    };
    for (const Row& row : rows) {
        BYTE* page = static_cast<BYTE*>(MemAlloc(row.page.size(), FALSE));
        std::copy(row.page.begin(), row.page.end(), page);
        DWORD size = static_cast<DWORD>(row.page.size());
        ASSERT_EQ(S_OK, FillRegistrationPage(u"p", &page, &size, row.urn.c_str(),
                                             static_cast<DWORD>(row.urn.size()), row.tag.c_str(),
                                             static_cast<DWORD>(row.tag.size())));
        EXPECT_EQ(row.block, MemSize(page)) << row.page.size() << "+" << row.urn.size();
        EXPECT_EQ(row.page.size() + row.urn.size() + row.tag.size() - 8, size);
        EXPECT_EQ(0, page[size]);
        MemFree(page);
    }
}

}  // namespace
