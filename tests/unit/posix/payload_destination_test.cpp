// The payload destination read out of the offline registration page: the first
// action=" up to the next double quote, byte for byte, and the failure line of each
// way a page can lack it. Runs inside an open action so that failure lines reach the
// installer; no heap block or handle may be left on any path.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "tests/unit/posix/build_paths.h"
#include "actions/registration_files.h"
#include "runtime/context_log.h"
#include "runtime/heap_string.h"
#include "tests/unit/posix/installer_fixture.h"

namespace {

class PayloadDestination : public InstallerTest {
  protected:
    void SetUp() override {
        InstallerTest::SetUp();
        char pattern[] = "/tmp/ostrel-dest-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        dir_ = pattern;
        ASSERT_EQ(S_OK, ActionBegin(install_, "CASendServiceTag"));
    }
    void TearDown() override {
        ActionEnd(0);
        EXPECT_EQ(0u, SeamLiveFileHandles()) << "file handles left open";
        std::filesystem::remove_all(dir_);
        InstallerTest::TearDown();
    }

    // Writes a page holding `bytes` and reads its destination; the result, the text
    // read (or "(none)") and the lines logged are kept for the checks.
    HRESULT Read(const std::string& bytes) {
        const std::string path = dir_ + "/register.htm";
        std::ofstream(path, std::ios::binary) << bytes;
        return ReadFrom(Utf8ToUtf16(path));
    }
    HRESULT ReadFrom(const std::u16string& path) {
        LPWSTR destination = nullptr;
        const HRESULT hr = ReadPayloadDestination(path.c_str(), &destination);
        text_ = destination != nullptr ? Utf16ToUtf8(std::u16string(destination)) : "(none)";
        StrFree(destination);
        return hr;
    }

    std::string dir_;
    std::string text_;
};

TEST_F(PayloadDestination, IsTheFirstActionAttributeWithItsQuery) {
    EXPECT_EQ(S_OK, Read("<form action=\"https://reg.example.com/a/b?x=1&y=%22\">"
                         "<form action=\"https://second.example.com/\">"));
    EXPECT_EQ("https://reg.example.com/a/b?x=1&y=%22", text_);
    EXPECT_TRUE(InfoLines().empty());
}

TEST_F(PayloadDestination, KeepsBlanksEntitiesAndUtf8AsTheyStand) {
    EXPECT_EQ(S_OK, Read("action=\" https://h\xC3\xA9.example/?a=1&amp;b=2 \""));
    EXPECT_EQ(" https://h\xC3\xA9.example/?a=1&amp;b=2 ", text_);
}

TEST_F(PayloadDestination, OfTheSamplePage) {
    const std::filesystem::path sample =
        std::filesystem::path(OSTREL_SOURCE_DIR) / "examples/install/register.htm";
    EXPECT_EQ(S_OK, ReadFrom(sample.u16string()));
    EXPECT_EQ("https://register.example.com/reg/svctag?product=ostrel-desk&v=4.2", text_);
}

TEST_F(PayloadDestination, EmptyAttributeGivesAnEmptyDestination) {
    // The page ends right after the closing quote: nothing behind it may be read.
    EXPECT_EQ(S_OK, Read("action=\"\""));
    EXPECT_EQ("", text_);
    EXPECT_TRUE(InfoLines().empty());
}

TEST_F(PayloadDestination, PagesWithoutTheAttributeFail) {
    struct Row {
        const char* page;
        const char* line;
    } rows[] = {
        {"<form ACTION=\"https://x/\">", "didn't find action"},
        {"<form action = \"https://x/\">", "didn't find action"},
        {"<form action='https://x/'>", "didn't find action"},
        {"action=", "didn't find action"},
        {"", "didn't find action"},
        {"<form action=\"https://x/", "didn't find trailing quote"},
        {"action=\"", "didn't find trailing quote"},
    };
    // A search that finds nothing has no status of its own: it is the last error,
    // here 0 after the successful read, so E_FAIL.
    for (const Row& row : rows) {
        EXPECT_EQ(E_FAIL, Read(row.page)) << row.page;
        EXPECT_EQ("(none)", text_) << row.page;
    }
    const std::vector<std::string> lines = InfoLines();
    ASSERT_EQ(std::size(rows), lines.size());
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(std::string("CASendServiceTag:  Error 0x80004005: ") + rows[i].line, lines[i]);
    }
}

TEST_F(PayloadDestination, MissingPageFailsAtTheRead) {
    EXPECT_EQ(static_cast<HRESULT>(0x80070002), ReadFrom(Utf8ToUtf16(dir_ + "/none.htm")));
    EXPECT_EQ(
        std::vector<std::string>{
            "CASendServiceTag:  Error 0x80070002: failed to read offline reg contents."},
        InfoLines());
}

TEST_F(PayloadDestination, ConversionThatCannotGetMemoryIsLogged) {
    const std::string path = dir_ + "/register.htm";
    std::ofstream(path, std::ios::binary) << "action=\"https://x/\"";
    // The page's block is the first allocation, the destination's the second.
    SeamFailNthAllocation(2);
    EXPECT_EQ(E_OUTOFMEMORY, ReadFrom(Utf8ToUtf16(path)));
    EXPECT_EQ(
        std::vector<std::string>{
            "CASendServiceTag:  Error 0x8007000e: failed to copy payload dest to global var."},
        InfoLines());
}

}  // namespace
