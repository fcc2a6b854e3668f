// Whole-file read and write: exact-size buffers, the read loop's end checks, the
// limits, and the all-or-nothing rewrite of a page with its failure lines. Each
// step of the rewrite is made to fail in turn; the target must come out byte for
// byte as it was, with no temporary file beside it and no handle left open.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "installer_fixture.h"
#include "runtime/context_log.h"
#include "runtime/file_io.h"
#include "runtime/heap_string.h"

namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

class FileIo : public InstallerTest {
  protected:
    void SetUp() override {
        InstallerTest::SetUp();
        char pattern[] = "/tmp/ostrel-file-io-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        dir_ = pattern;
        ASSERT_EQ(S_OK, ActionBegin(install_, "CAUpdateOfflineReg"));
    }
    void TearDown() override {
        ActionEnd(0);
        SeamClearFileSeams();
        EXPECT_EQ(0u, SeamLiveFileHandles()) << "file handles left open";
        fs::remove_all(dir_);
        InstallerTest::TearDown();
    }

    std::string PathOf(const char* name) const { return dir_ + "/" + name; }
    std::u16string WidePath(const char* name) const { return Utf8ToUtf16(PathOf(name)); }

    void Put(const char* name, const std::string& bytes) const {
        std::ofstream out(PathOf(name), std::ios::binary);
        out << bytes;
    }
    std::string Contents(const char* name) const {
        std::ifstream in(PathOf(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    // The names in the directory, for spotting a temporary file left behind.
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir_)) {
            names.push_back(entry.path().filename().string());
        }
        return names;
    }

    HRESULT Write(const char* name, const std::string& bytes) {
        BYTE* buffer =
            bytes.empty() ? nullptr : reinterpret_cast<BYTE*>(const_cast<char*>(bytes.data()));
        DWORD size = static_cast<DWORD>(bytes.size());
        BYTE* const before = buffer;
        const HRESULT hr = FileWrite(WidePath(name).c_str(), &buffer, &size);
        EXPECT_EQ(before, buffer);
        EXPECT_EQ(bytes.size(), size);
        return hr;
    }

    std::string Prefixed(const std::string& line) const { return "CAUpdateOfflineReg:  " + line; }
    // The temporary file this process writes beside `name` at its first attempt.
    std::string TempPathOf(const char* name) const {
        return PathOf(name) + ".new~" + std::to_string(getpid()) + "-0";
    }

    std::string dir_;
};

// ---------------------------------------------------------------- reading

TEST_F(FileIo, EmptyFileGivesANonNullBlockOfNoBytes) {
    Put("empty", "");
    BYTE* buffer = nullptr;
    DWORD size = 77;
    SeamBeforeNthFileCall("ReadFile", 2, [] { ADD_FAILURE() << "more than one read"; });
    ASSERT_EQ(S_OK, ReadWholeFile(&buffer, &size, WidePath("empty").c_str()));
    EXPECT_NE(nullptr, buffer);
    EXPECT_EQ(0u, size);
    EXPECT_EQ(0u, MemSize(buffer));
    MemFree(buffer);
}

TEST_F(FileIo, TenByteFileFillsABlockOfExactlyTenBytes) {
    Put("ten", std::string("0123\0"
                           "56789",
                           10));
    BYTE* buffer = nullptr;
    DWORD size = 0;
    ASSERT_EQ(S_OK, ReadWholeFile(&buffer, &size, WidePath("ten").c_str()));
    EXPECT_EQ(10u, size);
    EXPECT_EQ(10u, MemSize(buffer));  // no terminator added
    EXPECT_EQ(std::string("0123\0"
                          "56789",
                          10),
              std::string(reinterpret_cast<char*>(buffer), size));
    MemFree(buffer);
}

TEST_F(FileIo, ReadsAFileLargerThanOneReadInPlace) {
    std::string big(300000, 'x');
    for (size_t i = 0; i < big.size(); i += 7) {
        big[i] = static_cast<char>('a' + i % 26);
    }
    Put("big", big);
    BYTE* buffer = nullptr;
    DWORD size = 0;
    ASSERT_EQ(S_OK, ReadWholeFile(&buffer, &size, WidePath("big").c_str()));
    EXPECT_EQ(big, std::string(reinterpret_cast<char*>(buffer), size));
    MemFree(buffer);
}

TEST_F(FileIo, MissingFileGivesFileNotFoundAndAllocatesNothing) {
    const size_t blocks = SeamLiveHeapBlocks();
    BYTE* buffer = nullptr;
    DWORD size = 5;
    EXPECT_EQ(static_cast<HRESULT>(0x80070002),
              ReadWholeFile(&buffer, &size, WidePath("missing").c_str()));
    EXPECT_EQ(nullptr, buffer);
    EXPECT_EQ(5u, size);
    EXPECT_EQ(blocks, SeamLiveHeapBlocks());
    EXPECT_TRUE(InfoLines().empty());  // reading logs nothing
}

TEST_F(FileIo, MaximumIsInclusive) {
    Put("ten", "0123456789");
    const size_t blocks = SeamLiveHeapBlocks();
    BYTE* buffer = nullptr;
    DWORD size = 3;
    EXPECT_EQ(static_cast<HRESULT>(0x8007007A),
              ReadWholeFileEx(&buffer, &size, WidePath("ten").c_str(), 5));
    EXPECT_EQ(static_cast<HRESULT>(0x8007007A),
              ReadWholeFileEx(&buffer, &size, WidePath("ten").c_str(), 9));
    EXPECT_EQ(nullptr, buffer);
    EXPECT_EQ(3u, size);
    EXPECT_EQ(blocks, SeamLiveHeapBlocks());
    ASSERT_EQ(S_OK, ReadWholeFileEx(&buffer, &size, WidePath("ten").c_str(), 10));
    EXPECT_EQ(10u, size);
    MemFree(buffer);
}

TEST_F(FileIo, FileOfFourGibibytesIsRefusedBeforeAnyAllocation) {
    // A sparse file: its size is what counts, not its blocks on disk.
    Put("huge", "");
    ASSERT_EQ(0, truncate(PathOf("huge").c_str(), 0x100000000LL));
    const size_t blocks = SeamLiveHeapBlocks();
    BYTE* buffer = nullptr;
    DWORD size = 0;
    EXPECT_EQ(static_cast<HRESULT>(0x8007007A),
              ReadWholeFile(&buffer, &size, WidePath("huge").c_str()));
    EXPECT_EQ(nullptr, buffer);
    EXPECT_EQ(blocks, SeamLiveHeapBlocks());
}

TEST_F(FileIo, FileThatShrinksWhileReadGivesUnexpectedAndFreesTheBlock) {
    Put("page", "0123456789");
    const std::string path = PathOf("page");
    SeamBeforeNthFileCall("ReadFile", 1, [path] { ASSERT_EQ(0, truncate(path.c_str(), 4)); });
    const size_t blocks = SeamLiveHeapBlocks();
    BYTE* buffer = nullptr;
    DWORD size = 9;
    EXPECT_EQ(E_UNEXPECTED, ReadWholeFile(&buffer, &size, WidePath("page").c_str()));
    EXPECT_EQ(nullptr, buffer);
    EXPECT_EQ(9u, size);
    EXPECT_EQ(blocks, SeamLiveHeapBlocks());
}

TEST_F(FileIo, FileThatGrowsWhileReadGivesTheSizeFirstSeen) {
    Put("page", "0123456789");
    const std::string path = PathOf("page");
    SeamBeforeNthFileCall(
        "ReadFile", 2, [path] { std::ofstream(path, std::ios::binary | std::ios::app) << "more"; });
    BYTE* buffer = nullptr;
    DWORD size = 0;
    ASSERT_EQ(S_OK, ReadWholeFile(&buffer, &size, WidePath("page").c_str()));
    EXPECT_EQ(10u, size);
    EXPECT_EQ(10u, MemSize(buffer));
    MemFree(buffer);
}

TEST_F(FileIo, FailuresOfEachStepAreFoldedAndFreeEverything) {
    Put("page", "0123456789");
    struct Case {
        const char* api;
        uint32_t code;
        HRESULT expected;
    };
    for (const Case& c :
         {Case{"CreateFileW", 5, static_cast<HRESULT>(0x80070005)},
          Case{"GetFileSizeEx", 6, static_cast<HRESULT>(0x80070006)},
          Case{"ReadFile", 30, static_cast<HRESULT>(0x8007001E)}, Case{"ReadFile", 0, E_FAIL}}) {
        SCOPED_TRACE(c.api);
        const size_t blocks = SeamLiveHeapBlocks();
        SeamFailNthCall(c.api, 1, c.code);
        BYTE* buffer = nullptr;
        DWORD size = 1;
        EXPECT_EQ(c.expected, ReadWholeFile(&buffer, &size, WidePath("page").c_str()));
        EXPECT_EQ(nullptr, buffer);
        EXPECT_EQ(1u, size);
        EXPECT_EQ(blocks, SeamLiveHeapBlocks());
        EXPECT_EQ(0u, SeamLiveFileHandles());
    }
    SeamFailNthAllocation(1);
    BYTE* buffer = nullptr;
    DWORD size = 1;
    EXPECT_EQ(E_OUTOFMEMORY, ReadWholeFile(&buffer, &size, WidePath("page").c_str()));
    EXPECT_EQ(nullptr, buffer);
}

TEST_F(FileIo, ABlockGivenOnEntryIsResizedOrLeftNamingNoFreedMemory) {
    Put("page", "0123456789");
    BYTE* buffer = static_cast<BYTE*>(MemAlloc(3, TRUE));
    DWORD size = 3;
    ASSERT_EQ(S_OK, ReadWholeFile(&buffer, &size, WidePath("page").c_str()));
    EXPECT_EQ(10u, MemSize(buffer));
    // A failed read after the resize frees the block and clears the variable.
    SeamFailNthCall("ReadFile", 1, 30);
    EXPECT_EQ(static_cast<HRESULT>(0x8007001E),
              ReadWholeFile(&buffer, &size, WidePath("page").c_str()));
    EXPECT_EQ(nullptr, buffer);
    EXPECT_EQ(10u, size);
}

TEST_F(FileIo, ReadingFailsWhileAWriterHasTheFileOpenButNotWhileAReaderHas) {
    Put("page", "0123456789");
    const HANDLE writer = CreateFileW(WidePath("page").c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                      nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, writer);
    BYTE* buffer = nullptr;
    DWORD size = 0;
    EXPECT_EQ(static_cast<HRESULT>(0x80070020),
              ReadWholeFile(&buffer, &size, WidePath("page").c_str()));
    CloseHandle(writer);
    const HANDLE reader = CreateFileW(WidePath("page").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                      nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, reader);
    EXPECT_EQ(S_OK, ReadWholeFile(&buffer, &size, WidePath("page").c_str()));
    CloseHandle(reader);
    MemFree(buffer);
}

// ---------------------------------------------------------------- writing

TEST_F(FileIo, WriteToAMissingPathFailsLogsAndCreatesNothing) {
    EXPECT_EQ(static_cast<HRESULT>(0x80070002), Write("register.htm", "new"));
    EXPECT_TRUE(Names().empty());
    EXPECT_EQ(Lines{Prefixed("Error 0x80070002: Failed to open file: " + PathOf("register.htm"))},
              InfoLines());
}

TEST_F(FileIo, WriteReplacesTheWholeContents) {
    Put("register.htm", "old contents that are longer");
    EXPECT_EQ(S_OK, Write("register.htm", "short"));
    EXPECT_EQ("short", Contents("register.htm"));
    EXPECT_EQ(Lines{"register.htm"}, Names());
    EXPECT_TRUE(InfoLines().empty());

    EXPECT_EQ(S_OK, Write("register.htm", ""));
    EXPECT_EQ("", Contents("register.htm"));
    EXPECT_EQ(Lines{"register.htm"}, Names());
}

TEST_F(FileIo, WriteFailsWhileTheTargetIsOpenElsewhere) {
    Put("register.htm", "old");
    const HANDLE reader =
        CreateFileW(WidePath("register.htm").c_str(), GENERIC_READ,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, reader);
    EXPECT_EQ(static_cast<HRESULT>(0x80070020), Write("register.htm", "new"));
    CloseHandle(reader);
    EXPECT_EQ("old", Contents("register.htm"));
    EXPECT_EQ(Lines{"register.htm"}, Names());
    EXPECT_EQ(Lines{Prefixed("Error 0x80070020: Failed to open file: " + PathOf("register.htm"))},
              InfoLines());
}

TEST_F(FileIo, AFailureAtAnyStepLeavesTheTargetAsItWasAndNoTemporaryFile) {
    const std::string original = "<html>WXYZ TUVW</html>";
    const std::string path = PathOf("register.htm");
    const std::string temp = TempPathOf("register.htm");
    struct Case {
        const char* api;
        unsigned nth;
        uint32_t code;
        std::string line;
    };
    const std::vector<Case> cases = {
        {"CreateFileW", 2, 112, "Error 0x80070070: Failed to create temporary file: " + temp},
        {"WriteFile", 1, 112, "Error 0x80070070: Failed to write 9 bytes to file."},
        {"FlushFileBuffers", 1, 29, "Error 0x8007001d: Failed to flush file: " + temp},
        {"CloseHandle", 1, 29, "Error 0x8007001d: Failed to close file: " + temp},
        {"GetFinalPathNameByHandleW", 1, 6,
         "Error 0x80070006: Failed to find the file behind: " + path},
        {"GetFileAttributesW", 1, 2,
         "Error 0x80070002: Failed to read the attributes of file: " + path},
        {"ReplaceFileW", 1, 32, "Error 0x80070020: Failed to replace file: " + path},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.api);
        Put("register.htm", original);
        const size_t messages = InfoLines().size();
        SeamFailNthCall(c.api, c.nth, c.code);
        EXPECT_EQ(static_cast<HRESULT>(0x80070000u | c.code), Write("register.htm", "new page!"));
        EXPECT_EQ(original, Contents("register.htm"));
        EXPECT_EQ(Lines{"register.htm"}, Names());
        EXPECT_EQ(0u, SeamLiveFileHandles());
        const Lines lines = InfoLines();
        ASSERT_EQ(messages + 1, lines.size());
        EXPECT_EQ(Prefixed(c.line), lines.back());
        SeamClearFailures();
    }
}

TEST_F(FileIo, AShortWriteIsAFailureAndLeavesTheTargetAsItWas) {
    Put("register.htm", "original bytes");
    SeamLimitNthWrite(1, 4);
    EXPECT_EQ(static_cast<HRESULT>(0x8007001D), Write("register.htm", "replacement"));
    EXPECT_EQ("original bytes", Contents("register.htm"));
    EXPECT_EQ(Lines{"register.htm"}, Names());
    EXPECT_EQ(Lines{Prefixed("Error 0x8007001d: Failed to write 11 bytes to file.")}, InfoLines());
}

TEST_F(FileIo, NoRoomForATemporaryFileNameFailsAndLeavesTheTargetAsItWas) {
    Put("register.htm", "old");
    SeamFailNthAllocation(2);  // the first holds the page's final path
    EXPECT_EQ(E_OUTOFMEMORY, Write("register.htm", "new"));
    EXPECT_EQ("old", Contents("register.htm"));
    EXPECT_EQ(1u, Names().size());
    EXPECT_EQ((Lines{Prefixed("Error 0x8007000e: Failed to create temporary file for: " +
                              PathOf("register.htm"))}),
              InfoLines());
}

TEST_F(FileIo, LeftoverTemporaryFilesNeverBlockAWrite) {
    // Left by killed writers: the ten names of an earlier release, and forty on the
    // names this process tries first (kept as by a replace that took the page away
    // and could not move the new file in).
    Put("register.htm", "old");
    for (char digit = '0'; digit <= '9'; ++digit) {
        Put((std::string("register.htm.new~") + digit).c_str(), "someone else's");
    }
    for (int i = 0; i < 40; ++i) {
        SeamFailNthCall("ReplaceFileW", 1, ERROR_UNABLE_TO_MOVE_REPLACEMENT);
        SeamFailNthCall("MoveFileExW", 1, ERROR_ACCESS_DENIED);
        EXPECT_EQ(static_cast<HRESULT>(0x80070005), Write("register.htm", std::to_string(i)));
        SeamClearFailures();
    }
    const auto files = [this] {
        std::map<std::string, std::string> contents;
        for (const std::string& name : Names()) {
            contents[name] = Contents(name.c_str());
        }
        return contents;
    };
    std::map<std::string, std::string> expected = files();
    ASSERT_EQ(51u, expected.size());
    EXPECT_EQ(S_OK, Write("register.htm", "new"));
    expected["register.htm"] = "new";
    EXPECT_EQ(expected, files());
}

TEST_F(FileIo, AnotherWriterBetweenOpenAndReplaceMakesTheWriteFailWhole) {
    // Someone opens the page after FileWrite let it go and before the rename.
    Put("register.htm", "old");
    HANDLE intruder = INVALID_HANDLE_VALUE;
    const std::u16string target = WidePath("register.htm");
    SeamBeforeNthFileCall("ReplaceFileW", 1, [&] {
        intruder = CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    });
    EXPECT_EQ(static_cast<HRESULT>(0x80070020), Write("register.htm", "new"));
    ASSERT_NE(INVALID_HANDLE_VALUE, intruder);
    CloseHandle(intruder);
    EXPECT_EQ("old", Contents("register.htm"));
    EXPECT_EQ(Lines{"register.htm"}, Names());
}

TEST_F(FileIo, NullArgumentsAreRefusedWithoutALine) {
    Put("register.htm", "old");
    BYTE* buffer = nullptr;
    DWORD size = 4;
    EXPECT_EQ(E_INVALIDARG, FileWrite(WidePath("register.htm").c_str(), &buffer, &size));
    EXPECT_EQ(E_INVALIDARG, FileWrite(nullptr, &buffer, &size));
    EXPECT_EQ(E_INVALIDARG, ReadWholeFile(nullptr, &size, WidePath("register.htm").c_str()));
    EXPECT_EQ("old", Contents("register.htm"));
    EXPECT_TRUE(InfoLines().empty());
}

}  // namespace
