#include "platform/atomic_file.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "fake_host.h"
#include "platform/file_ops.h"

namespace pixolune::platform {
namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

std::vector<std::string> FolderEntries(const std::string& folder) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(folder.c_str());
    while (dirent* entry = dir ? ::readdir(dir) : nullptr) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    if (dir) ::closedir(dir);
    return names;
}

class AtomicFileTest : public ::testing::Test {
  protected:
    test::ScopedConfigHome temp;
    std::string Target() const { return temp.Path() + "/list.lst"; }
};

TEST_F(AtomicFileTest, ReplacesTheWholeFileWithTheRequestedMode) {
    ASSERT_TRUE(WriteFileAtomically(Target(), "old contents that are longer", 0644));
    const mode_t oldMask = ::umask(0);
    ASSERT_TRUE(WriteFileAtomically(Target(), "new", 0600));
    ::umask(oldMask);
    EXPECT_EQ(ReadAll(Target()), "new");
    struct stat info {};
    ASSERT_EQ(::stat(Target().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(FolderEntries(temp.Path()), std::vector<std::string>{"list.lst"});
}

TEST_F(AtomicFileTest, MissingFolderFailsWithAReason) {
    std::string error;
    EXPECT_FALSE(WriteFileAtomically(temp.Path() + "/no/such/list.lst", "x", 0644, &error));
    EXPECT_NE(error.find("temporary file"), std::string::npos) << error;
}

// Each system call of the write fails in turn; the old file must stay byte for
// byte and no temporary file may be left behind.
enum class FailAt { Mkstemp, Write, ShortWriteThenFail, Fsync, Close, Rename };

int g_writeCalls = 0;
FailAt g_failAt;

FileOps FailingOps() {
    FileOps ops = RealFileOps();
    switch (g_failAt) {
        case FailAt::Mkstemp:
            ops.mkstemp = [](char*) {
                errno = EMFILE;
                return -1;
            };
            break;
        case FailAt::Write:
            ops.write = [](int, const void*, size_t) -> ssize_t {
                errno = ENOSPC;
                return -1;
            };
            break;
        case FailAt::ShortWriteThenFail:
            ops.write = [](int fd, const void* data, size_t size) -> ssize_t {
                if (g_writeCalls++ == 0) return RealFileOps().write(fd, data, size / 2);
                errno = EIO;
                return -1;
            };
            break;
        case FailAt::Fsync:
            ops.fsync = [](int) {
                errno = EIO;
                return -1;
            };
            break;
        case FailAt::Close:
            ops.close = [](int fd) {
                RealFileOps().close(fd);
                errno = EIO;
                return -1;
            };
            break;
        case FailAt::Rename:
            ops.rename = [](const char*, const char*) {
                errno = EXDEV;
                return -1;
            };
            break;
    }
    return ops;
}

class AtomicFileFaultTest : public AtomicFileTest, public ::testing::WithParamInterface<FailAt> {
  protected:
    void TearDown() override { RestoreFileOps(); }
};

TEST_P(AtomicFileFaultTest, FailureLeavesTheOldFileAndNoTemporary) {
    const std::string old = "[Kaleidra Pixolune List]\r\n0\r\n";
    ASSERT_TRUE(WriteFileAtomically(Target(), old, 0644));
    g_failAt = GetParam();
    g_writeCalls = 0;
    ReplaceFileOps(FailingOps());
    std::string error;
    EXPECT_FALSE(WriteFileAtomically(Target(), std::string(10000, 'n'), 0644, &error));
    RestoreFileOps();
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(ReadAll(Target()), old);
    EXPECT_EQ(FolderEntries(temp.Path()), std::vector<std::string>{"list.lst"});
}

INSTANTIATE_TEST_SUITE_P(EveryStep, AtomicFileFaultTest,
                         ::testing::Values(FailAt::Mkstemp, FailAt::Write,
                                           FailAt::ShortWriteThenFail, FailAt::Fsync, FailAt::Close,
                                           FailAt::Rename));

TEST(AtomicWriteLeftoverTest, RecognisesOnlyItsOwnTemporaryNames) {
    EXPECT_TRUE(IsAtomicWriteLeftover(".list.lst.tmpA1b2C3", "list.lst"));
    EXPECT_FALSE(IsAtomicWriteLeftover(".list.lst.tmpA1b2C", "list.lst"));
    EXPECT_FALSE(IsAtomicWriteLeftover("list.lst", "list.lst"));
    EXPECT_FALSE(IsAtomicWriteLeftover(".other.lst.tmpA1b2C3", "list.lst"));
}

}  // namespace
}  // namespace pixolune::platform
