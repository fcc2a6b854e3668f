// Whole-file read and write against the platform's own file system: exact sizes,
// limits, missing files, sharing, and the rewrite that keeps no temporary file.
// Needs no test seam, so it also runs against the real Windows file calls.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "runtime/file_io.h"
#include "runtime/heap_string.h"
#include "tests/unit/portable/scratch_directory.h"

namespace {

namespace fs = std::filesystem;
using WString = std::basic_string<WCHAR>;

class FileIoBasic : public ScratchDirectoryTest {
  protected:
    FileIoBasic() : ScratchDirectoryTest("ostrel-file-io-") {}

    void Put(const char* name, const std::string& bytes) const {
        std::ofstream(dir_ / name, std::ios::binary) << bytes;
    }
    std::string Contents(const char* name) const {
        std::ifstream in(dir_ / name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    size_t EntryCount() const {
        return static_cast<size_t>(
            std::distance(fs::directory_iterator(dir_), fs::directory_iterator()));
    }
    HRESULT Read(const char* name, std::string* bytes, DWORD maximum = 0xFFFFFFFF) const {
        BYTE* buffer = nullptr;
        DWORD size = 0;
        const HRESULT hr = ReadWholeFileEx(&buffer, &size, WidePath(dir_ / name).c_str(), maximum);
        if (SUCCEEDED(hr)) {
            EXPECT_NE(nullptr, buffer);
            EXPECT_EQ(size, MemSize(buffer));  // exactly the file, no terminator
            bytes->assign(reinterpret_cast<char*>(buffer), size);
            MemFree(buffer);
        } else {
            EXPECT_EQ(nullptr, buffer);
            EXPECT_EQ(0u, size);
        }
        return hr;
    }
    HRESULT Write(const char* name, std::string bytes) const {
        BYTE* buffer = bytes.empty() ? nullptr : reinterpret_cast<BYTE*>(&bytes[0]);
        DWORD size = static_cast<DWORD>(bytes.size());
        return FileWrite(WidePath(dir_ / name).c_str(), &buffer, &size);
    }
};

TEST_F(FileIoBasic, ReadsEmptyAndTenByteFilesIntoExactBlocks) {
    std::string bytes = "x";
    Put("empty", "");
    EXPECT_EQ(S_OK, Read("empty", &bytes));
    EXPECT_EQ("", bytes);
    Put("ten", std::string("01234\0"
                           "6789",
                           10));
    EXPECT_EQ(S_OK, Read("ten", &bytes));
    EXPECT_EQ(std::string("01234\0"
                          "6789",
                          10),
              bytes);
}

TEST_F(FileIoBasic, MissingFilesAndFilesAboveTheMaximumAreRefused) {
    std::string bytes;
    EXPECT_EQ(static_cast<HRESULT>(0x80070002), Read("missing", &bytes));
    Put("ten", "0123456789");
    EXPECT_EQ(static_cast<HRESULT>(0x8007007A), Read("ten", &bytes, 5));
    EXPECT_EQ(static_cast<HRESULT>(0x8007007A), Read("ten", &bytes, 9));
    EXPECT_EQ(S_OK, Read("ten", &bytes, 10));
}

TEST_F(FileIoBasic, WriteReplacesContentsWholeAndLeavesNoOtherFile) {
    Put("register.htm", "the old page, longer than the new one");
    EXPECT_EQ(S_OK, Write("register.htm", "new page"));
    EXPECT_EQ("new page", Contents("register.htm"));
    EXPECT_EQ(S_OK, Write("register.htm", ""));
    EXPECT_EQ("", Contents("register.htm"));
    EXPECT_EQ(1u, EntryCount());
}

TEST_F(FileIoBasic, WriteToAMissingFileCreatesNothing) {
    EXPECT_EQ(static_cast<HRESULT>(0x80070002), Write("register.htm", "new"));
    EXPECT_EQ(0u, EntryCount());
}

TEST_F(FileIoBasic, FilesHeldByAnotherHandleAreNotRewrittenOrReadWhileWritten) {
    Put("register.htm", "old");
    const WString path = WidePath(dir_ / "register.htm");
    HANDLE reader = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, reader);
    EXPECT_EQ(static_cast<HRESULT>(0x80070020), Write("register.htm", "new"));
    CloseHandle(reader);
    EXPECT_EQ("old", Contents("register.htm"));

    HANDLE writer = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, writer);
    std::string bytes;
    EXPECT_EQ(static_cast<HRESULT>(0x80070020), Read("register.htm", &bytes));
    CloseHandle(writer);
    EXPECT_EQ(1u, EntryCount());
}

}  // namespace
