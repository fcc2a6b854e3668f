// CAUpdateOfflineReg end to end against an in-process installer, on a copy of the
// sample installation directory: the merged page, immediate and deferred input,
// the progress it reports, the exact lines of each failure, a second run against
// the merged page, and the XML layer's start-up balanced on every path.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "tests/unit/posix/build_paths.h"
#include "installer_fixture.h"
#include "module/exports.h"

namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

const char kSampleUrn[] = "urn:st:0f6a9c2e-4b1d-4e8a-9c3f-7d2b5e8a1c40";

std::string Read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The page as the merge must leave it: the first "WXYZ" replaced by the URN, the
// first "TUVW" after it by the service tag with its double quotes as "%22".
std::string Merged(std::string page, const std::string& urn, const std::string& tag) {
    std::string encoded;
    for (char c : tag) {
        encoded += c == '"' ? std::string("%22") : std::string(1, c);
    }
    const size_t urnAt = page.find("WXYZ");
    page.replace(urnAt, 4, urn);
    page.replace(page.find("TUVW", urnAt), 4, encoded);
    return page;
}

class UpdateOfflineReg : public InstallerTest {
  protected:
    void SetUp() override {
        InstallerTest::SetUp();
        char pattern[] = "/tmp/ostrel-offline-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        dir_ = pattern;
        fs::copy(fs::path(OSTREL_SOURCE_DIR) / "examples/install", dir_);
        page_ = Read(PagePath());
        tag_ = Read(dir_ / "svctag.xml");
        comObjects_ = SeamLiveComObjects();
        bstrs_ = SeamLiveBstrs();
    }
    void TearDown() override {
        EXPECT_EQ(0, SeamComInitDepth()) << "COM left initialised";
        EXPECT_EQ(comObjects_, SeamLiveComObjects()) << "COM objects left alive";
        EXPECT_EQ(bstrs_, SeamLiveBstrs()) << "BSTRs left allocated";
        EXPECT_EQ(0u, SeamLiveFileHandles()) << "file handles left open";
        fs::remove_all(dir_);
        InstallerTest::TearDown();
    }

    fs::path PagePath() const { return dir_ / "register.htm"; }
    std::string InstallPath() const { return dir_.string() + "/"; }
    void RunImmediately() { SetProperty("UpdateRegistration", InstallPath().c_str()); }
    void RunDeferred() {
        InstallerSetRunMode(install_, MSIRUNMODE_SCHEDULED, true);
        SetProperty("CustomActionData", InstallPath().c_str());
    }
    std::string Line(const std::string& text) const { return "CAUpdateOfflineReg:  " + text; }

    fs::path dir_;
    std::string page_;
    std::string tag_;
    size_t comObjects_ = 0;
    size_t bstrs_ = 0;
};

TEST_F(UpdateOfflineReg, ImmediateRunMergesTheSampleAndAddsItsTicks) {
    RunImmediately();
    EXPECT_EQ(0u, CAUpdateOfflineReg(install_));
    const std::string merged = Read(PagePath());
    EXPECT_EQ(Merged(page_, kSampleUrn, tag_), merged);
    // s + u + e - 8 bytes: the sample's service tag holds 16 double quotes.
    EXPECT_EQ(page_.size() + 43 + tag_.size() + 2 * 16 - 8, merged.size());
    EXPECT_NE(std::string::npos, merged.find("Ostrel %22Workplace%22 Suite"));
    EXPECT_EQ(std::string::npos, merged.find("WXYZ"));
    EXPECT_TRUE(InfoLines().empty());
    EXPECT_EQ((std::vector<std::vector<int>>{{3, 3000, 0}}), ProgressRecords());
    EXPECT_FALSE(InstallerHasProperty(install_, u"UpdateRegistration"));  // consumed
}

TEST_F(UpdateOfflineReg, DeferredRunTakesCustomActionDataAndAdvancesTheBar) {
    RunDeferred();
    SetProperty("UpdateRegistration", "/nowhere/");  // not looked at when deferred
    EXPECT_EQ(0u, CAUpdateOfflineReg(install_));
    EXPECT_EQ(Merged(page_, kSampleUrn, tag_), Read(PagePath()));
    EXPECT_TRUE(InfoLines().empty());
    EXPECT_EQ((std::vector<std::vector<int>>{{1, 1, 0}, {2, 3000, 0}}), ProgressRecords());
}

TEST_F(UpdateOfflineReg, SecondRunFailsAndLeavesThePageAsTheFirstWroteIt) {
    RunImmediately();
    ASSERT_EQ(0u, CAUpdateOfflineReg(install_));
    const std::string first = Read(PagePath());
    RunImmediately();
    EXPECT_EQ(1603u, CAUpdateOfflineReg(install_));
    EXPECT_EQ(first, Read(PagePath()));
    EXPECT_EQ((Lines{Line("Error 0x80004005: " + PagePath().string() +
                          " is an invalid registration template 1."),
                     Line("Error 0x80004005: failed to write offline registration file.")}),
              InfoLines());
    EXPECT_EQ(1u, ProgressRecords().size());  // the first run's only
}

TEST_F(UpdateOfflineReg, CancelAnsweredToTheProgressMessageGives1602WithThePageMerged) {
    RunImmediately();
    InstallerScriptAnswer(install_, INSTALLMESSAGE_PROGRESS, 1, IDCANCEL);
    EXPECT_EQ(1602u, CAUpdateOfflineReg(install_));
    EXPECT_EQ(Merged(page_, kSampleUrn, tag_), Read(PagePath()));
    EXPECT_TRUE(InfoLines().empty());
}

TEST_F(UpdateOfflineReg, UnexpectedAnswerToTheProgressMessageFails) {
    RunImmediately();
    InstallerScriptAnswer(install_, INSTALLMESSAGE_PROGRESS, 1, -1);
    EXPECT_EQ(1603u, CAUpdateOfflineReg(install_));
    EXPECT_EQ(Merged(page_, kSampleUrn, tag_), Read(PagePath()));
    EXPECT_EQ(Lines{Line("Error 0x8000ffff: failed to send progress message")}, InfoLines());
}

TEST_F(UpdateOfflineReg, ServiceTagsThatGiveNoUrnLeaveThePage) {
    const std::string tagPath = (dir_ / "svctag.xml").string();
    struct Row {
        const char* xml;
        std::string status;
        std::string line;
    } rows[] = {
        {"<registration_data><registry urn=\"x\"></registration_data", "0x8007006e",
         "failed to load Service Tag file: " + tagPath},
        {"<svc><registry urn=\"x\"/></svc>", "0x80070490", "failed to find Registry info"},
        {"<registration_data><registry/></registration_data>", "0x80070490",
         "failed to find Registry urn"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.xml);
        const MSIHANDLE install = InstallerOpenSession();
        std::ofstream(dir_ / "svctag.xml", std::ios::binary) << row.xml;
        InstallerSetProperty(install, u"UpdateRegistration", Utf8ToUtf16(InstallPath()));
        EXPECT_EQ(1603u, CAUpdateOfflineReg(install));
        EXPECT_EQ(page_, Read(PagePath()));
        Lines lines;
        for (const InstallerMessage& message : InstallerMessages(install)) {
            lines.push_back(Utf16ToUtf8(message.fields[0].text));
        }
        EXPECT_EQ((Lines{Line("Error " + row.status + ": " + row.line),
                         Line("Error " + row.status + ": failed to get registryUrn")}),
                  lines);
        InstallerCloseSession(install);
    }
}

TEST_F(UpdateOfflineReg, MissingInputIsNamedInTheLog) {
    EXPECT_EQ(1603u, CAUpdateOfflineReg(install_));
    EXPECT_EQ((Lines{Line("Error 0x80070057: failed to get PROPERTY value for UpdateRegistration"),
                     Line("Error 0x80070057: failed to get install path")}),
              InfoLines());
    EXPECT_EQ(page_, Read(PagePath()));
}

TEST_F(UpdateOfflineReg, PageWithoutPlaceholdersFailsWithBothLines) {
    std::ofstream(PagePath(), std::ios::binary) << "<html>TUVW WXYZ</html>";
    RunImmediately();
    EXPECT_EQ(1603u, CAUpdateOfflineReg(install_));
    EXPECT_EQ("<html>TUVW WXYZ</html>", Read(PagePath()));
    EXPECT_EQ((Lines{Line("Error 0x80004005: " + PagePath().string() +
                          " is an invalid registration template 2."),
                     Line("Error 0x80004005: failed to write offline registration file.")}),
              InfoLines());
    EXPECT_TRUE(ProgressRecords().empty());
}

TEST_F(UpdateOfflineReg, UrnThatIsNotAsciiFailsTheConversion) {
    std::ofstream(dir_ / "svctag.xml", std::ios::binary)
        << "<registration_data><registry urn=\"urn:st:\xC3\xA9t\xC3\xA9\"/></registration_data>";
    RunImmediately();
    EXPECT_EQ(1603u, CAUpdateOfflineReg(install_));
    EXPECT_EQ(page_, Read(PagePath()));
    EXPECT_EQ((Lines{Line("Error 0x8007007a: failed to convert registry from wchar to char."),
                     Line("Error 0x8007007a: failed to write offline registration file.")}),
              InfoLines());
}

TEST_F(UpdateOfflineReg, EmptyUrnRemovesTheUrnPlaceholder) {
    const std::string tag = "<registration_data><registry urn=\"\"/></registration_data>";
    std::ofstream(dir_ / "svctag.xml", std::ios::binary) << tag;
    RunImmediately();
    EXPECT_EQ(0u, CAUpdateOfflineReg(install_));
    EXPECT_EQ(Merged(page_, "", tag), Read(PagePath()));
    EXPECT_TRUE(InfoLines().empty());
}

TEST_F(UpdateOfflineReg, EachStepThatCannotGetMemorySaysSoAndFreesEverything) {
    // Allocations in order: the install path (the raw value, then the expanded
    // one), the service tag path, the service tag bytes, the encoded tag (made,
    // then grown), the page path, the page and the grown page.
    struct Row {
        unsigned allocation;
        Lines lines;
    } rows[] = {
        {3, {"Error 0x8007000e: failed to create service tag path"}},
        {4, {"Error 0x8007000e: failed to read Service Tag Contents."}},
        {5,
         {"Error 0x8007000e: failed to create base string.",
          "Error 0x8007000e: failed to encode service tag."}},
        {6,
         {"Error 0x8007000e: failed to make room..",
          "Error 0x8007000e: failed to encode service tag."}},
        {7,
         {"Error 0x8007000e: failed to create offline registration path",
          "Error 0x8007000e: failed to write offline registration file."}},
        {8,
         {"Error 0x8007000e: failed to read offline reg contents.",
          "Error 0x8007000e: failed to write offline registration file."}},
        {9,
         {"Error 0x8007000e: failed to reallocate additional buffer",
          "Error 0x8007000e: failed to write offline registration file."}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.allocation);
        const MSIHANDLE install = InstallerOpenSession();
        InstallerSetProperty(install, u"UpdateRegistration", Utf8ToUtf16(InstallPath()));
        SeamFailNthAllocation(row.allocation);
        EXPECT_EQ(1603u, CAUpdateOfflineReg(install));
        SeamClearFailures();
        EXPECT_EQ(page_, Read(PagePath()));
        Lines lines;
        for (const InstallerMessage& message : InstallerMessages(install)) {
            lines.push_back(Utf16ToUtf8(message.fields[0].text).substr(21));
        }
        EXPECT_EQ(row.lines, lines);
        EXPECT_EQ(0, SeamComInitDepth());
        InstallerCloseSession(install);
    }
}

TEST_F(UpdateOfflineReg, ServiceTagThatCannotBeReadAsBytes) {
    RunImmediately();
    // The XML layer reads the file itself; the library's own read is the first
    // CreateFileW call.
    SeamFailNthCall("CreateFileW", 1, 5);
    EXPECT_EQ(1603u, CAUpdateOfflineReg(install_));
    EXPECT_EQ(Lines{Line("Error 0x80070005: failed to read Service Tag Contents.")}, InfoLines());
    EXPECT_EQ(page_, Read(PagePath()));
}

TEST_F(UpdateOfflineReg, XmlStartUpThatFailsIsBalancedOnEveryPath) {
    // No document class: COM was initialised and must be uninitialised again.
    SeamUnregisterProgId(u"Msxml2.DOMDocument");
    SeamUnregisterProgId(u"MSXML.DOMDocument");
    RunImmediately();
    EXPECT_EQ(1603u, CAUpdateOfflineReg(install_));
    EXPECT_EQ(0, SeamComInitDepth());
    SeamRegisterProgId(u"Msxml2.DOMDocument");
    SeamRegisterProgId(u"MSXML.DOMDocument");
    // COM cannot be initialised at all: nothing to balance.
    SeamFailNthCall("CoInitialize", 1, 0x8001010E);
    EXPECT_EQ(1603u, CAUpdateOfflineReg(install_));
    EXPECT_EQ(0, SeamComInitDepth());
    EXPECT_EQ((Lines{Line("Error 0x800401f3: failed to initialize xml utilities"),
                     Line("Error 0x8001010e: failed to initialize xml utilities")}),
              InfoLines());
    EXPECT_EQ(page_, Read(PagePath()));
    // The layer starts cleanly afterwards.
    EXPECT_EQ(0u, CAUpdateOfflineReg(install_));
}

TEST_F(UpdateOfflineReg, AServiceTagCannotBringInAnotherFile) {
    // The registry element would come from another file through an external
    // entity; the document class resolves those by default, the action does not.
    std::ofstream(dir_ / "elsewhere.xml", std::ios::binary)
        << "<registry urn=\"urn:st:from-another-file\"/>";
    std::ofstream(dir_ / "svctag.xml", std::ios::binary)
        << "<?xml version=\"1.0\"?>\n<!DOCTYPE registration_data [\n"
           "  <!ENTITY registry SYSTEM \"elsewhere.xml\">\n]>\n"
           "<registration_data>&registry;</registration_data>\n";
    RunImmediately();
    EXPECT_EQ(1603u, CAUpdateOfflineReg(install_));
    EXPECT_EQ(page_, Read(PagePath()));
    EXPECT_EQ((Lines{Line("Error 0x80070490: failed to find Registry info"),
                     Line("Error 0x80070490: failed to get registryUrn")}),
              InfoLines());
}

}  // namespace
