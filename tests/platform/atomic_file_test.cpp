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
#include "platform/file_system.h"

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
    ASSERT_TRUE(
        WriteFileAtomically(RealFileSystem(), Target(), "old contents that are longer", 0644));
    const mode_t oldMask = ::umask(0);
    ASSERT_TRUE(WriteFileAtomically(RealFileSystem(), Target(), "new", 0600));
    ::umask(oldMask);
    EXPECT_EQ(ReadAll(Target()), "new");
    struct stat info {};
    ASSERT_EQ(::stat(Target().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(FolderEntries(temp.Path()), std::vector<std::string>{"list.lst"});
}

TEST_F(AtomicFileTest, MissingFolderFailsWithAReason) {
    const Outcome written =
        WriteFileAtomically(RealFileSystem(), temp.Path() + "/no/such/list.lst", "x", 0644);
    EXPECT_FALSE(written);
    EXPECT_NE(written.Error().find("temporary file"), std::string::npos) << written.Error();
}

// Each system call of the write fails in turn; the old file must stay byte for
// byte and no temporary file may be left behind.
enum class FailAt { Mkstemp, Write, ShortWriteThenFail, Fsync, Close, Rename };

// Fails the one step it is built for and lets every other call through.
class FailingFileSystem : public FileSystemWrapper {
  public:
    explicit FailingFileSystem(FailAt failAt)
        : FileSystemWrapper(RealFileSystem()), failAt_(failAt) {}

    int MakeTemporary(char* pathTemplate) override {
        if (failAt_ != FailAt::Mkstemp) return Target().MakeTemporary(pathTemplate);
        errno = EMFILE;
        return -1;
    }
    ssize_t Write(int fd, const void* data, size_t size) override {
        if (failAt_ == FailAt::Write) {
            errno = ENOSPC;
            return -1;
        }
        if (failAt_ == FailAt::ShortWriteThenFail) {
            if (writeCalls_++ == 0) return Target().Write(fd, data, size / 2);
            errno = EIO;
            return -1;
        }
        return Target().Write(fd, data, size);
    }
    int Fsync(int fd) override {
        if (failAt_ != FailAt::Fsync) return Target().Fsync(fd);
        errno = EIO;
        return -1;
    }
    int Close(int fd) override {
        if (failAt_ != FailAt::Close) return Target().Close(fd);
        Target().Close(fd);
        errno = EIO;
        return -1;
    }
    int Rename(const char* from, const char* to) override {
        if (failAt_ != FailAt::Rename) return Target().Rename(from, to);
        errno = EXDEV;
        return -1;
    }

  private:
    FailAt failAt_;
    int writeCalls_ = 0;
};

class AtomicFileFaultTest : public AtomicFileTest, public ::testing::WithParamInterface<FailAt> {};

TEST_P(AtomicFileFaultTest, FailureLeavesTheOldFileAndNoTemporary) {
    const std::string old = "[Kaleidra Pixolune List]\r\n0\r\n";
    ASSERT_TRUE(WriteFileAtomically(RealFileSystem(), Target(), old, 0644));
    FailingFileSystem failing(GetParam());
    const Outcome written = WriteFileAtomically(failing, Target(), std::string(10000, 'n'), 0644);
    EXPECT_FALSE(written);
    EXPECT_FALSE(written.Error().empty());
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
