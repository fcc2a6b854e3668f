// The page rewritten by FileWrite is still the same file to its users: its mode and
// owner kept, a symbolic link followed (and left a link), and the rewrite done in
// place, with a verbose line, where the folder lets no new file be made or the page
// may not be replaced by one. Permission cases run as an unprivileged user when the
// tests run as root, since root is not held to permissions.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "as_writer.h"
#include "installer_fixture.h"
#include "runtime/context_log.h"
#include "runtime/file_io.h"

namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

bool IsRoot() {
    return geteuid() == 0;
}

class FileReplace : public InstallerTest {
  protected:
    void SetUp() override {
        InstallerTest::SetUp();
        char pattern[] = "/tmp/ostrel-replace-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        dir_ = pattern;
        ASSERT_EQ(0, chmod(dir_.c_str(), 0755));
        SetProperty("LOGVERBOSE", "1");
        ASSERT_EQ(S_OK, ActionBegin(install_, "CAUpdateOfflineReg"));
    }
    void TearDown() override {
        ActionEnd(0);
        EXPECT_EQ(0u, SeamLiveFileHandles()) << "file handles left open";
        chmod(dir_.c_str(), 0755);
        fs::remove_all(dir_);
        InstallerTest::TearDown();
    }

    std::string PathOf(const std::string& name) const { return dir_ + "/" + name; }
    void Put(const std::string& name, const std::string& bytes, mode_t mode) const {
        std::ofstream(PathOf(name), std::ios::binary) << bytes;
        ASSERT_EQ(0, chmod(PathOf(name).c_str(), mode));
    }
    std::string Contents(const std::string& name) const {
        std::ifstream in(PathOf(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    struct stat Stat(const std::string& name) const {
        struct stat info {};
        EXPECT_EQ(0, lstat(PathOf(name).c_str(), &info));
        return info;
    }
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir_)) {
            names.push_back(entry.path().filename().string());
        }
        return names;
    }
    // Gives the file to the writer of the permission cases (when running as root).
    void GiveToWriter(const std::string& name) const {
        if (IsRoot()) {
            ASSERT_EQ(0, chown(PathOf(name).c_str(), kWriterId, kWriterId));
        }
    }

    HRESULT Write(const std::string& name, const std::string& bytes) {
        BYTE* buffer = reinterpret_cast<BYTE*>(const_cast<char*>(bytes.data()));
        DWORD size = static_cast<DWORD>(bytes.size());
        return FileWrite(Utf8ToUtf16(PathOf(name)).c_str(), &buffer, &size);
    }
    std::string InPlaceLine(const std::string& name, int error) const {
        return "CAUpdateOfflineReg:  File " + PathOf(name) + " cannot be replaced (error " +
               std::to_string(error) + "); writing it in place.";
    }

    std::string dir_;
};

TEST_F(FileReplace, ThePagesModeIsKept) {
    for (mode_t mode : {0600, 0640, 0604, 0755}) {
        Put("register.htm", "old", mode);
        ASSERT_EQ(S_OK, Write("register.htm", "new"));
        EXPECT_EQ("new", Contents("register.htm"));
        EXPECT_EQ(mode, Stat("register.htm").st_mode & 07777);
    }
    EXPECT_EQ(Lines{"register.htm"}, Names());
    EXPECT_TRUE(InfoLines().empty());  // replaced, not written in place
}

TEST_F(FileReplace, ThePagesOwnerAndGroupAreKept) {
    if (!IsRoot()) {
        GTEST_SKIP() << "only root can give a file to another user";
    }
    Put("register.htm", "old", 0640);
    ASSERT_EQ(0, chown(PathOf("register.htm").c_str(), kWriterId, kWriterId));
    ASSERT_EQ(S_OK, Write("register.htm", "new"));
    EXPECT_EQ("new", Contents("register.htm"));
    EXPECT_EQ(kWriterId, Stat("register.htm").st_uid);
    EXPECT_EQ(kWriterId, Stat("register.htm").st_gid);
    EXPECT_EQ(0640u, Stat("register.htm").st_mode & 07777);
}

TEST_F(FileReplace, ASymbolicLinkIsFollowedAndStaysALink) {
    ASSERT_TRUE(fs::create_directory(PathOf("pages")));
    Put("pages/register.htm", "old page", 0600);
    fs::create_symlink("pages/register.htm", PathOf("register.htm"));
    ASSERT_EQ(S_OK, Write("register.htm", "merged page"));
    EXPECT_TRUE(S_ISLNK(Stat("register.htm").st_mode));
    EXPECT_EQ("merged page", Contents("pages/register.htm"));
    EXPECT_EQ(0600u, Stat("pages/register.htm").st_mode & 07777);
    EXPECT_EQ(Lines{"register.htm"},
              Lines{fs::directory_iterator(PathOf("pages"))->path().filename().string()});
    EXPECT_EQ(2u, Names().size());  // the link and the folder, no temporary file
}

TEST_F(FileReplace, AFolderThatTakesNoNewFileGetsThePageWrittenInPlace) {
    Put("register.htm", "old contents, longer", 0644);
    GiveToWriter("register.htm");
    ASSERT_EQ(0, chmod(dir_.c_str(), 0555));
    const ino_t inode = Stat("register.htm").st_ino;
    {
        AsWriter writer;
        EXPECT_EQ(S_OK, Write("register.htm", "new"));
    }
    EXPECT_EQ("new", Contents("register.htm"));
    EXPECT_EQ(inode, Stat("register.htm").st_ino);
    EXPECT_EQ(Lines{"register.htm"}, Names());
    EXPECT_EQ(Lines{InPlaceLine("register.htm", 5)}, InfoLines());
}

TEST_F(FileReplace, APageWhoseOwnerCannotBeKeptIsWrittenInPlace) {
    if (!IsRoot()) {
        GTEST_SKIP() << "needs a page owned by another user";
    }
    // Root's page, writable by all, in a folder the writer may create files in: a
    // new file would belong to the writer, so the page is rewritten instead.
    Put("register.htm", "old", 0666);
    ASSERT_EQ(0, chmod(dir_.c_str(), 0777));
    {
        AsWriter writer;
        EXPECT_EQ(S_OK, Write("register.htm", "new"));
    }
    EXPECT_EQ("new", Contents("register.htm"));
    EXPECT_EQ(0u, Stat("register.htm").st_uid);
    EXPECT_EQ(Lines{"register.htm"}, Names());
    EXPECT_EQ(Lines{InPlaceLine("register.htm", 5)}, InfoLines());
}

TEST_F(FileReplace, AReadOnlyPageFailsAtTheOpen) {
    Put("register.htm", "old", 0444);
    GiveToWriter("register.htm");
    {
        AsWriter writer;
        EXPECT_EQ(static_cast<HRESULT>(0x80070005), Write("register.htm", "new"));
    }
    EXPECT_EQ("old", Contents("register.htm"));
    EXPECT_EQ(Lines{"CAUpdateOfflineReg:  Error 0x80070005: Failed to open file: " +
                    PathOf("register.htm")},
              InfoLines());
}

TEST_F(FileReplace, AReplaceRefusedForRightsFallsBackToTheWriteInPlace) {
    Put("register.htm", "old", 0644);
    SeamFailNthCall("ReplaceFileW", 1, ERROR_ACCESS_DENIED);
    EXPECT_EQ(S_OK, Write("register.htm", "new"));
    EXPECT_EQ("new", Contents("register.htm"));
    EXPECT_EQ(Lines{"register.htm"}, Names());
    EXPECT_EQ(Lines{InPlaceLine("register.htm", 5)}, InfoLines());
}

TEST_F(FileReplace, AWriteInPlaceThatFailsSaysWhere) {
    Put("register.htm", "old", 0644);
    SeamFailNthCall("ReplaceFileW", 1, ERROR_ACCESS_DENIED);
    SeamFailNthCall("WriteFile", 2, 112);  // the first wrote the temporary file
    EXPECT_EQ(static_cast<HRESULT>(0x80070070), Write("register.htm", "new"));
    EXPECT_EQ(Lines{"register.htm"}, Names());
    EXPECT_EQ((Lines{InPlaceLine("register.htm", 5),
                     "CAUpdateOfflineReg:  Error 0x80070070: Failed to write 3 bytes to file."}),
              InfoLines());
}

TEST_F(FileReplace, NewContentsAreNeverDeletedWhenTheSystemTookThePageAway) {
    // Without a backup name, a replace that cannot move the new file in has
    // already removed the page: the new file is moved into its place.
    Put("register.htm", "old", 0644);
    SeamFailNthCall("ReplaceFileW", 1, ERROR_UNABLE_TO_MOVE_REPLACEMENT);
    EXPECT_EQ(S_OK, Write("register.htm", "new"));
    EXPECT_EQ("new", Contents("register.htm"));
    EXPECT_EQ(Lines{"register.htm"}, Names());

    SeamFailNthCall("ReplaceFileW", 1, ERROR_UNABLE_TO_MOVE_REPLACEMENT);
    SeamFailNthCall("MoveFileExW", 1, 5);
    EXPECT_EQ(static_cast<HRESULT>(0x80070005), Write("register.htm", "newer"));
    // Kept, not deleted, under this process's first temporary name.
    EXPECT_EQ("newer", Contents("register.htm.new~" + std::to_string(getpid()) + "-0"));
    EXPECT_EQ(Lines{"CAUpdateOfflineReg:  Error 0x80070005: Failed to replace file: " +
                    PathOf("register.htm")},
              InfoLines());
}

}  // namespace
