#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <deque>
#include <string>
#include <vector>

#include "engine/feed_engine.h"
#include "engine/list_file.h"
#include "engine/local_names.h"
#include "engine_test_support.h"
#include "fake_host.h"
#include "host_callback_guard.h"
#include "model/host_link.h"
#include "platform/file_system.h"

namespace pixolune {
namespace {

// Fails the n-th file operation of any kind with EIO and lets every other
// one through; counting starts when the plan is armed.
constexpr int kKilled = 77;

class FaultPlan : public platform::FileSystemWrapper {
  public:
    FaultPlan() : FileSystemWrapper(platform::RealFileSystem()) {}

    // Ends the process at the chosen call instead, as a SIGKILL there would:
    // nothing of ours runs after it.
    void Arm(int failAt, bool killInstead = false) {
        calls_ = 0;
        fired_ = false;
        killInstead_ = killInstead;
        failAt_ = failAt;
    }
    void Disarm() { failAt_ = 0; }
    bool Fired() const { return fired_; }

    int MakeTemporary(char* t) override { return Hit() ? -1 : Target().MakeTemporary(t); }
    int Open(const char* p, int f, mode_t m) override {
        return Hit() ? -1 : Target().Open(p, f, m);
    }
    ssize_t Read(int fd, void* d, size_t s) override {
        return Hit() ? -1 : Target().Read(fd, d, s);
    }
    ssize_t Write(int fd, const void* d, size_t s) override {
        return Hit() ? -1 : Target().Write(fd, d, s);
    }
    int Fsync(int fd) override { return Hit() ? -1 : Target().Fsync(fd); }
    int SyncFileSystem(int fd) override { return Hit() ? -1 : Target().SyncFileSystem(fd); }
    int Close(int fd) override {
        if (!Hit()) return Target().Close(fd);
        Target().Close(fd);  // the descriptor is gone either way, as with EIO
        errno = EIO;
        return -1;
    }
    int Fstat(int fd, struct stat* out) override { return Hit() ? -1 : Target().Fstat(fd, out); }
    int Ftruncate(int fd, off_t n) override { return Hit() ? -1 : Target().Ftruncate(fd, n); }
    int Fchmod(int fd, mode_t m) override { return Hit() ? -1 : Target().Fchmod(fd, m); }
    int Flock(int fd, int op) override { return Hit() ? -1 : Target().Flock(fd, op); }
    int Stat(const char* p, struct stat* out) override {
        return Hit() ? -1 : Target().Stat(p, out);
    }
    int Lstat(const char* p, struct stat* out) override {
        return Hit() ? -1 : Target().Lstat(p, out);
    }
    int Access(const char* p, int m) override { return Hit() ? -1 : Target().Access(p, m); }
    int Truncate(const char* p, off_t n) override { return Hit() ? -1 : Target().Truncate(p, n); }
    int Unlink(const char* p) override { return Hit() ? -1 : Target().Unlink(p); }
    int Rename(const char* a, const char* b) override { return Hit() ? -1 : Target().Rename(a, b); }
    int RenameNoReplace(const char* a, const char* b) override {
        return Hit() ? -1 : Target().RenameNoReplace(a, b);
    }
    int Link(const char* a, const char* b) override { return Hit() ? -1 : Target().Link(a, b); }
    int StatVfs(const char* p, struct statvfs* out) override {
        return Hit() ? -1 : Target().StatVfs(p, out);
    }
    int ListFolder(const char* p, std::vector<std::string>* names) override {
        return Hit() ? -1 : Target().ListFolder(p, names);
    }

  private:
    bool Hit() {
        if (failAt_ == 0 || ++calls_ != failAt_) return false;
        if (killInstead_) ::_exit(kKilled);
        fired_ = true;
        errno = EIO;
        return true;
    }

    std::atomic<int> failAt_{0};
    std::atomic<int> calls_{0};
    std::atomic<bool> fired_{false};
    bool killInstead_ = false;
};

// One batch as the worker runs it: each pass takes the folder (locked,
// leftovers removed, list read) and does nothing while it can't be used or
// its list can't be read; the folder is left at the end.
void RunBatchAsTheWorker(CFeedEngine& engine, std::deque<CPixoluneItem> items) {
    engine.TEST_DownloadQueue() = std::move(items);
    std::atomic<int32_t> stop{0};
    engine.BeginWork();
    while (engine.RunPass(&stop) == DownloadStep::ItemTaken) {
    }
    engine.EndWork();
}

bool IsTemporary(const std::string& name) {
    return name.find(".__t") != std::string::npos || name.find(".tmp") != std::string::npos;
}

TEST(FaultWalk, EveryFailingFileOperationLeavesTheOldListOrACompleteNewState) {
    test::ScopedHostCallback callback(&test::FakeHost::Callback);
    test::LoopbackServer server;
    server.ServeBytes("/new.jpg", 20000);
    const std::string oldUrl = server.Url("/old.jpg");
    const std::string oldList = "[Kaleidra Pixolune List]\r\n1\r\n" + oldUrl + "\r\nold.jpg\r\n";
    int points = 0;
    for (int failAt = 1;; ++failAt) {
        test::TempDir folder;
        test::FakeHost host;
        test::WriteFile(folder.File("kal_pxln_files.lst"), oldList);
        test::WriteFile(folder.File("old.jpg"), "old");
        PluginSettings settings;
        settings.ImgFolder = folder.Path();
        settings.KpropTitle = 1;
        FaultPlan plan;
        CFeedEngine engine(settings, plan);
        plan.Arm(failAt);
        RunBatchAsTheWorker(engine, {{"caption", server.Url("/new.jpg"), "o"}, {"", oldUrl, ""}});
        plan.Disarm();
        if (!plan.Fired()) break;
        ++points;

        for (const std::string& name : test::FolderNames(folder.Path()))
            EXPECT_FALSE(IsTemporary(name)) << "fault " << failAt << " left " << name;
        const std::string list = test::ReadFile(folder.File("kal_pxln_files.lst"));
        LocalFileMap listed;
        ASSERT_EQ(
            ReadListFile(platform::RealFileSystem(), folder.File("kal_pxln_files.lst"), listed)
                .status,
            ListReadStatus::Loaded)
            << "fault " << failAt;
        if (list != oldList) {
            // A new list is whole and everything in it is there in full.
            ASSERT_EQ(listed.size(), 2u) << "fault " << failAt;
            EXPECT_EQ(test::ReadFile(folder.File("new.jpg")), test::PatternBytes(20000));
        }
        if (test::Exists(folder.File("new.jpg"))) {
            EXPECT_EQ(test::ReadFile(folder.File("new.jpg")), test::PatternBytes(20000));
        } else {
            // A download that failed is not recorded.
            EXPECT_EQ(engine.TEST_Records().Map().count(server.Url("/new.jpg")), 0u);
        }
    }
    // open, write, fsync, close, rename of the media file; the sidecar's and
    // the list's mkstemp, write, fsync, close, rename and folder sync.
    EXPECT_GE(points, 15);
    RecordProperty("fault_points", points);
}

// A kill before any file operation of a batch that stores two files: what
// the next start knows (list and journal) never lacks its sidecar, and what
// it names is there.
TEST(FaultWalk, KillAtAnyFileOperationLeavesNoRecordedFileWithoutItsSidecar) {
    test::ScopedHostCallback callback(&test::FakeHost::Callback);
    test::LoopbackServer server;
    server.ServeBytes("/a.jpg", 20000);
    server.ServeBytes("/b.mp4", 30000);
    PluginSettings settings;
    settings.KpropTitle = 1;
    int kills = 0;
    for (int killAt = 1;; ++killAt) {
        test::TempDir folder;
        settings.ImgFolder = folder.Path();
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            test::FakeHost host;
            FaultPlan plan;
            CFeedEngine engine(settings, plan);
            plan.Arm(killAt, true);
            RunBatchAsTheWorker(
                engine, {{"a", server.Url("/a.jpg"), "o"}, {"b", server.Url("/b.mp4"), "o"}});
            ::_exit(0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        if (WEXITSTATUS(status) != kKilled) break;
        ++kills;

        test::FakeHost host;
        CFeedEngine next(settings);
        next.TEST_ReadLocalFileList();
        for (const auto& [url, record] : next.TEST_Records().Map()) {
            const std::string media = folder.File(record.LocalName);
            std::string sidecar = media;
            ReplaceExtension(sidecar, kSidecarSuffix);
            EXPECT_TRUE(test::Exists(media)) << "kill " << killAt << ": " << record.LocalName;
            EXPECT_TRUE(test::Exists(sidecar)) << "kill " << killAt << ": " << record.LocalName;
        }
    }
    // Each file: open, write, close, the sidecar's five calls, the rename; the list's five.
    EXPECT_GE(kills, 2 * 9 + 5);
    RecordProperty("kill_points", kills);
}

}  // namespace
}  // namespace pixolune
