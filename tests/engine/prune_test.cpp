#include "engine/prune.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <ctime>
#include <string>

#include "engine_test_support.h"

namespace pixolune {
namespace {

class PruneTest : public ::testing::Test {
  protected:
    PruneTest() {
        settings_.ImgFolder = folder_.Path();
        settings_.OlderDays = 7;
        settings_.OlderHours = 0;
    }

    void AddFile(const std::string& name, int seen, int64_t secondsOld) {
        const std::string url = "http://h/" + name;
        files_[url] = CFileData{name, url, seen};
        test::WriteFile(folder_.File(name), "media");
        std::string sidecar = name.substr(0, name.rfind('.')) + ".kprop";
        test::WriteFile(folder_.File(sidecar), "side");
        test::SetAge(folder_.File(name), secondsOld);
    }
    bool Kept(const std::string& name) {
        return files_.count("http://h/" + name) == 1 && test::Exists(folder_.File(name));
    }
    bool Gone(const std::string& name) {
        const std::string sidecar = name.substr(0, name.rfind('.')) + ".kprop";
        return files_.count("http://h/" + name) == 0 && !test::Exists(folder_.File(name)) &&
               !test::Exists(folder_.File(sidecar));
    }

    test::TempDir folder_;
    PluginSettings settings_;
    LocalFileMap files_;
};

TEST_F(PruneTest, SynchronisingModeRemovesEveryUnseenFileAtOnce) {
    settings_.FeedsSynch = 0;
    AddFile("seen.jpg", 1, 365 * 86400);
    AddFile("young.jpg", 0, 10);
    EXPECT_EQ(PruneFiles(platform::RealFileSystem(), files_, settings_, std::time(nullptr)), 1u);
    EXPECT_TRUE(Kept("seen.jpg"));
    EXPECT_TRUE(test::Exists(folder_.File("seen.kprop")));
    EXPECT_TRUE(Gone("young.jpg"));
}

TEST_F(PruneTest, PruneKeepsYoungFilesInAgeMode) {
    settings_.FeedsSynch = 1;
    AddFile("almost.jpg", 0, 168 * 3600 + 59 * 60);
    AddFile("old.jpg", 0, 169 * 3600);
    AddFile("seen.jpg", 1, 1000 * 3600);
    PruneFiles(platform::RealFileSystem(), files_, settings_, std::time(nullptr));
    EXPECT_TRUE(Kept("almost.jpg"));
    EXPECT_TRUE(Gone("old.jpg"));
    EXPECT_TRUE(Kept("seen.jpg"));
}

// Files stored while the clock stood years ahead: once the clock is right
// they are not young until then, but age from when they were found so.
TEST_F(PruneTest, FileStampedAheadOfTheClockAgesFromNow) {
    settings_.FeedsSynch = 1;
    const int64_t now = std::time(nullptr);
    AddFile("ahead.jpg", 0, -3 * 365 * 86400);
    AddFile("skewed.jpg", 0, -10 * 60);
    size_t stamped = 0;
    EXPECT_EQ(PruneFiles(platform::RealFileSystem(), files_, settings_, now, {}, &stamped), 0u);
    EXPECT_EQ(stamped, 1u);
    EXPECT_TRUE(Kept("ahead.jpg"));
    EXPECT_EQ(PruneFiles(platform::RealFileSystem(), files_, settings_, now + 170 * 3600, {},
                         &stamped),
              2u);
    EXPECT_TRUE(Gone("ahead.jpg"));
    EXPECT_EQ(stamped, 0u);
}

TEST_F(PruneTest, ZeroLimitKeepsFilesYoungerThanAnHour) {
    settings_.FeedsSynch = -1;  // the dialog's "neither" also means age mode
    settings_.OlderDays = 0;
    AddFile("fresh.jpg", 0, 59 * 60);
    AddFile("hour.jpg", 0, 3600 + 5);
    PruneFiles(platform::RealFileSystem(), files_, settings_, std::time(nullptr));
    EXPECT_TRUE(Kept("fresh.jpg"));
    EXPECT_TRUE(Gone("hour.jpg"));
}

// The file and its sidecar stay when the file system cannot tell the file's age.
TEST_F(PruneTest, UnreadableAgeKeepsTheFileInAgeMode) {
    struct FailingLstat : platform::FileSystemWrapper {
        using FileSystemWrapper::FileSystemWrapper;
        int Lstat(const char*, struct stat*) override {
            errno = EIO;
            return -1;
        }
    } failingLstat(platform::RealFileSystem());
    settings_.FeedsSynch = 1;
    AddFile("young.jpg", 0, 10);
    EXPECT_EQ(PruneFiles(failingLstat, files_, settings_, std::time(nullptr)), 0u);
    EXPECT_TRUE(Kept("young.jpg"));
    EXPECT_TRUE(test::Exists(folder_.File("young.kprop")));
}

TEST_F(PruneTest, VanishedFileIsOldInAgeMode) {
    settings_.FeedsSynch = 1;
    files_["http://h/gone.jpg"] = CFileData{"gone.jpg", "http://h/gone.jpg", 0};
    EXPECT_EQ(PruneFiles(platform::RealFileSystem(), files_, settings_, std::time(nullptr)), 1u);
    EXPECT_TRUE(files_.empty());
}

TEST_F(PruneTest, RecordWithAForeignNameNeverDeletesOutsideTheFolder) {
    test::TempDir outside;
    test::WriteFile(outside.File("precious.jpg"), "keep");
    const std::string relative =
        "../" + outside.Path().substr(outside.Path().rfind('/') + 1) + "/precious.jpg";
    files_["http://h/x"] = CFileData{relative, "http://h/x", 0};
    PruneFiles(platform::RealFileSystem(), files_, settings_, std::time(nullptr));
    EXPECT_TRUE(files_.empty());
    EXPECT_EQ(test::ReadFile(outside.File("precious.jpg")), "keep");
}

}  // namespace
}  // namespace pixolune
