// The posix file calls answer as Windows does: the Win32 errors for missing,
// denied and shared files, the dispositions, sharing between handles of this
// process, renames and deletes refused while a handle is in the way, attributes as
// Wine shows them, final paths with links resolved, and the replace of a file that
// keeps what the file is to its users.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/posix/shared/seams.h"
#include "platform/posix/shared/utf.h"
#include "platform/win32.h"

namespace {

namespace fs = std::filesystem;

class PosixFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/ostrel-posix-files-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        dir_ = pattern;
    }
    void TearDown() override {
        SeamClearFailures();
        SeamClearFileSeams();
        EXPECT_EQ(0u, SeamLiveFileHandles());
        fs::remove_all(dir_);
    }
    std::u16string Path(const char* name) const { return Utf8ToUtf16(dir_ + "/" + name); }
    void Put(const char* name, const std::string& bytes) const {
        std::ofstream(dir_ + "/" + name, std::ios::binary) << bytes;
    }
    std::string Contents(const char* name) const {
        std::ifstream in(dir_ + "/" + name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    bool Exists(const char* name) const { return fs::exists(dir_ + "/" + name); }

    // Opens and answers the last error on failure, or 0 after closing the handle.
    DWORD OpenError(const char* name, DWORD access, DWORD share, DWORD disposition) const {
        const HANDLE file =
            CreateFileW(Path(name).c_str(), access, share, nullptr, disposition, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            return GetLastError();
        }
        CloseHandle(file);
        return 0;
    }

    std::string dir_;
};

TEST_F(PosixFiles, MissingFilesAndDirectoriesGiveTheirOwnErrors) {
    EXPECT_EQ(2u, OpenError("missing", GENERIC_READ, 0, OPEN_EXISTING));
    EXPECT_EQ(2u, OpenError("missing", GENERIC_WRITE, 0, TRUNCATE_EXISTING));
    EXPECT_EQ(3u, OpenError("no-dir/missing", GENERIC_READ, 0, OPEN_EXISTING));
    EXPECT_FALSE(Exists("missing"));
}

TEST_F(PosixFiles, DeniedAccessGivesAccessDenied) {
    Put("locked", "x");
    ASSERT_EQ(0, chmod((dir_ + "/locked").c_str(), 0));
    if (access((dir_ + "/locked").c_str(), R_OK) == 0) {
        GTEST_SKIP() << "running with rights that ignore file modes";
    }
    EXPECT_EQ(5u, OpenError("locked", GENERIC_READ, 0, OPEN_EXISTING));
}

TEST_F(PosixFiles, DirectoriesAreNotOpenedAsFiles) {
    fs::create_directory(dir_ + "/sub");
    EXPECT_EQ(5u, OpenError("sub", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING));
    EXPECT_EQ(5u, OpenError("sub", GENERIC_WRITE, 0, OPEN_EXISTING));
}

TEST_F(PosixFiles, DispositionsCreateAndTruncateAsOnWindows) {
    EXPECT_EQ(0u, OpenError("new", GENERIC_WRITE, 0, CREATE_NEW));
    EXPECT_EQ(80u, OpenError("new", GENERIC_WRITE, 0, CREATE_NEW));
    Put("kept", "abc");
    const HANDLE file =
        CreateFileW(Path("kept").c_str(), GENERIC_READ, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
    CloseHandle(file);
    EXPECT_EQ("abc", Contents("kept"));
    EXPECT_EQ(0u, OpenError("kept", GENERIC_WRITE, 0, TRUNCATE_EXISTING));
    EXPECT_EQ("", Contents("kept"));
    EXPECT_EQ(87u, OpenError("kept", GENERIC_READ, 0, TRUNCATE_EXISTING));
}

TEST_F(PosixFiles, ConflictingHandlesGiveSharingViolationBeforeAnythingIsTruncated) {
    Put("page", "contents");
    const HANDLE reader = CreateFileW(Path("page").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, reader);
    EXPECT_EQ(32u, OpenError("page", GENERIC_WRITE, FILE_SHARE_READ, TRUNCATE_EXISTING));
    EXPECT_EQ("contents", Contents("page"));
    EXPECT_EQ(32u, OpenError("page", GENERIC_READ, 0, OPEN_EXISTING));  // would lock it out
    EXPECT_EQ(0u, OpenError("page", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING));
    CloseHandle(reader);
    EXPECT_EQ(0u, OpenError("page", GENERIC_WRITE, 0, OPEN_EXISTING));
}

TEST_F(PosixFiles, ReadWriteAndSizeFollowTheHandlesAccess) {
    const HANDLE file =
        CreateFileW(Path("data").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    DWORD count = 9;
    char byte = 0;
    EXPECT_FALSE(ReadFile(file, &byte, 1, &count, nullptr));
    EXPECT_EQ(5u, GetLastError());
    EXPECT_TRUE(WriteFile(file, "hello", 5, &count, nullptr));
    EXPECT_EQ(5u, count);
    LARGE_INTEGER size;
    size.QuadPart = 0;
    EXPECT_TRUE(GetFileSizeEx(file, &size));
    EXPECT_EQ(5, size.QuadPart);
    EXPECT_TRUE(FlushFileBuffers(file));
    EXPECT_TRUE(CloseHandle(file));
    EXPECT_FALSE(CloseHandle(file));  // no longer a handle
    EXPECT_EQ(6u, GetLastError());
}

TEST_F(PosixFiles, MoveReplacesOnlyWhenAskedAndNotOverAnOpenFile) {
    Put("from", "new");
    Put("to", "old");
    EXPECT_FALSE(MoveFileExW(Path("from").c_str(), Path("to").c_str(), 0));
    EXPECT_EQ(183u, GetLastError());
    const HANDLE reader =
        CreateFileW(Path("to").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, reader);
    EXPECT_FALSE(MoveFileExW(Path("from").c_str(), Path("to").c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(5u, GetLastError());
    CloseHandle(reader);
    EXPECT_TRUE(MoveFileExW(Path("from").c_str(), Path("to").c_str(),
                            MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
    EXPECT_EQ("new", Contents("to"));
    EXPECT_FALSE(Exists("from"));
}

TEST_F(PosixFiles, DeleteIsRefusedWhileAHandleDoesNotShareDelete) {
    Put("page", "x");
    const HANDLE reader = CreateFileW(Path("page").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, reader);
    EXPECT_FALSE(DeleteFileW(Path("page").c_str()));
    EXPECT_EQ(32u, GetLastError());
    CloseHandle(reader);
    EXPECT_TRUE(DeleteFileW(Path("page").c_str()));
    EXPECT_FALSE(DeleteFileW(Path("page").c_str()));
    EXPECT_EQ(2u, GetLastError());
}

TEST_F(PosixFiles, ArmedFailuresAndShortWritesAreReportedAsTheCallsOwn) {
    SeamFailNthCall("CreateFileW", 1, 112);
    EXPECT_EQ(112u, OpenError("new", GENERIC_WRITE, 0, CREATE_NEW));
    EXPECT_FALSE(Exists("new"));
    const HANDLE file =
        CreateFileW(Path("new").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    SeamLimitNthWrite(1, 2);
    DWORD count = 0;
    EXPECT_TRUE(WriteFile(file, "hello", 5, &count, nullptr));
    EXPECT_EQ(2u, count);
    CloseHandle(file);
    EXPECT_EQ("he", Contents("new"));
}

TEST_F(PosixFiles, AttributesAreThoseWineShows) {
    Put("page", "x");
    Put(".hidden", "x");
    Put("locked", "x");
    ASSERT_EQ(0, chmod((dir_ + "/locked").c_str(), 0444));
    fs::create_directory(dir_ + "/sub");
    EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE), GetFileAttributesW(Path("page").c_str()));
    EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN),
              GetFileAttributesW(Path(".hidden").c_str()));
    EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY),
              GetFileAttributesW(Path("locked").c_str()));
    EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY),
              GetFileAttributesW(Path("sub").c_str()));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(Path("missing").c_str()));
    EXPECT_EQ(2u, GetLastError());
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(Path("no-dir/missing").c_str()));
    EXPECT_EQ(3u, GetLastError());
}

TEST_F(PosixFiles, FinalPathIsTheFileALinkLeadsTo) {
    fs::create_directory(dir_ + "/real");
    Put("real/page", "x");
    fs::create_symlink("real/page", dir_ + "/link");
    const HANDLE file = CreateFileW(Path("link").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    const std::u16string expected = Utf8ToUtf16(fs::canonical(dir_ + "/real/page").string());
    // Too small a capacity asks for the room needed, terminator included.
    WCHAR small[4] = {u'?', u'?', u'?', u'?'};
    EXPECT_EQ(expected.size() + 1, GetFinalPathNameByHandleW(file, small, 4, 0));
    EXPECT_EQ(u'?', small[0]);
    EXPECT_EQ(expected.size() + 1, GetFinalPathNameByHandleW(file, nullptr, 0, 0));
    std::vector<WCHAR> path(expected.size() + 1, u'?');
    EXPECT_EQ(expected.size(),
              GetFinalPathNameByHandleW(file, path.data(), static_cast<DWORD>(path.size()), 0));
    EXPECT_EQ(expected, std::u16string(path.data()));
    EXPECT_EQ(0u, GetFinalPathNameByHandleW(file, path.data(), 10, 0x8));
    EXPECT_EQ(87u, GetLastError());
    CloseHandle(file);
    EXPECT_EQ(0u, GetFinalPathNameByHandleW(file, path.data(), 10, 0));
    EXPECT_EQ(6u, GetLastError());
}

TEST_F(PosixFiles, ReplaceKeepsTheReplacedFilesPlaceModeAndLink) {
    fs::create_directory(dir_ + "/real");
    Put("real/page", "old");
    ASSERT_EQ(0, chmod((dir_ + "/real/page").c_str(), 0600));
    fs::create_symlink("real/page", dir_ + "/link");
    Put("new", "new");
    ASSERT_TRUE(ReplaceFileW(Path("link").c_str(), Path("new").c_str(), nullptr,
                             REPLACEFILE_WRITE_THROUGH, nullptr, nullptr));
    EXPECT_TRUE(fs::is_symlink(dir_ + "/link"));
    EXPECT_EQ("new", Contents("real/page"));
    EXPECT_FALSE(Exists("new"));
    struct stat info {};
    ASSERT_EQ(0, stat((dir_ + "/real/page").c_str(), &info));
    EXPECT_EQ(0600u, info.st_mode & 07777);
}

TEST_F(PosixFiles, ReplaceIsRefusedAsWindowsRefusesIt) {
    Put("page", "old");
    Put("new", "new");
    EXPECT_FALSE(ReplaceFileW(Path("page").c_str(), Path("new").c_str(), Path("backup").c_str(), 0,
                              nullptr, nullptr));
    EXPECT_EQ(87u, GetLastError());
    EXPECT_FALSE(
        ReplaceFileW(Path("missing").c_str(), Path("new").c_str(), nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(2u, GetLastError());

    const HANDLE reader = CreateFileW(Path("page").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, reader);
    EXPECT_FALSE(
        ReplaceFileW(Path("page").c_str(), Path("new").c_str(), nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(32u, GetLastError());
    CloseHandle(reader);

    ASSERT_EQ(0, chmod((dir_ + "/page").c_str(), 0444));
    EXPECT_FALSE(
        ReplaceFileW(Path("page").c_str(), Path("new").c_str(), nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(5u, GetLastError());
    EXPECT_EQ("old", Contents("page"));
    EXPECT_EQ("new", Contents("new"));
}

}  // namespace
