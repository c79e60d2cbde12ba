#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

#include "engine/feed_engine.h"
#include "engine/list_file.h"
#include "engine/local_names.h"
#include "engine_test_support.h"
#include "fake_host.h"
#include "platform/file_ops.h"
#include "plugin/model/host_link.h"

namespace pixolune {
namespace {

// Fails the n-th file operation of any kind (open, write, fsync, close,
// rename, mkstemp, statvfs) with EIO and lets every other one through.
constexpr int kKilled = 77;

struct FaultPlan {
    static inline int failAt = 0;
    static inline int calls = 0;
    static inline bool fired = false;
    // Ends the process at the chosen call instead, as a SIGKILL there would:
    // nothing of ours runs after it.
    static inline bool killInstead = false;

    static bool Hit() {
        if (++calls != failAt) return false;
        if (killInstead) ::_exit(kKilled);
        fired = true;
        errno = EIO;
        return true;
    }
    static int Mkstemp(char* t) { return Hit() ? -1 : platform::RealFileOps().mkstemp(t); }
    static int Open(const char* p, int f, mode_t m) {
        return Hit() ? -1 : platform::RealFileOps().open(p, f, m);
    }
    static ssize_t Write(int fd, const void* d, size_t s) {
        return Hit() ? -1 : platform::RealFileOps().write(fd, d, s);
    }
    static int Fsync(int fd) { return Hit() ? -1 : platform::RealFileOps().fsync(fd); }
    static int Close(int fd) {
        if (!Hit()) return platform::RealFileOps().close(fd);
        platform::RealFileOps().close(fd);  // the descriptor is gone either way, as with EIO
        errno = EIO;
        return -1;
    }
    static int Rename(const char* a, const char* b) {
        return Hit() ? -1 : platform::RealFileOps().rename(a, b);
    }
    static int RenameNoReplace(const char* a, const char* b) {
        return Hit() ? -1 : platform::RealFileOps().renameNoReplace(a, b);
    }
    static ssize_t Read(int fd, void* d, size_t s) {
        return Hit() ? -1 : platform::RealFileOps().read(fd, d, s);
    }
    static int Statvfs(const char* p, struct statvfs* out) {
        return Hit() ? -1 : platform::RealFileOps().statvfs(p, out);
    }
    // Every file operation of the engine, each counted and failed in turn.
    static platform::FileOps All() {
        return {Mkstemp, Open, Write, Fsync, Close, Rename, RenameNoReplace, Read, Statvfs};
    }
};

bool IsTemporary(const std::string& name) {
    return name.find(".__t") != std::string::npos || name.find(".tmp") != std::string::npos;
}

TEST(FaultWalk, EveryFailingFileOperationLeavesTheOldListOrACompleteNewState) {
    SetHostCallback(&test::FakeHost::Callback);
    test::MediaServer server;
    server.ServeBytes("/new.jpg", 20000);
    const std::string oldUrl = server.Url("/old.jpg");
    const std::string oldList = "[Kaleidra Pixolune List]\r\n1\r\n" + oldUrl + "\r\nold.jpg\r\n";
    int points = 0;
    for (int failAt = 1;; ++failAt) {
        test::ScratchFolder folder;
        test::FakeHost host;
        test::WriteFile(folder.File("kal_pxln_files.lst"), oldList);
        test::WriteFile(folder.File("old.jpg"), "old");
        PluginSettings settings;
        settings.ImgFolder = folder.Path();
        settings.KpropTitle = 1;
        CFeedEngine engine(settings);
        engine.ReadLocalFileList();
        engine.DownloadQueue = {{"caption", server.Url("/new.jpg"), "o"}, {"", oldUrl, ""}};

        FaultPlan::failAt = failAt;
        FaultPlan::calls = 0;
        FaultPlan::fired = false;
        platform::ReplaceFileOps(FaultPlan::All());
        std::atomic<int32_t> stop{0};
        while (engine.DownloadNext(&stop) == 1) {
        }
        platform::RestoreFileOps();
        if (!FaultPlan::fired) break;
        ++points;

        for (const std::string& name : test::FolderNames(folder.Path()))
            EXPECT_FALSE(IsTemporary(name)) << "fault " << failAt << " left " << name;
        const std::string list = test::ReadFile(folder.File("kal_pxln_files.lst"));
        LocalFileMap listed;
        ASSERT_EQ(ReadListFile(folder.File("kal_pxln_files.lst"), listed).status,
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
            EXPECT_EQ(engine.LocalFiles.count(server.Url("/new.jpg")), 0u);
        }
    }
    SetHostCallback(nullptr);
    // open, write, fsync, close, rename of the media file; the sidecar's and
    // the list's mkstemp, write, fsync, close, rename and folder sync.
    EXPECT_GE(points, 15);
    RecordProperty("fault_points", points);
}

// A kill before any file operation of a batch that stores two files: what
// the next start knows (list and journal) never lacks its sidecar, and what
// it names is there.
TEST(FaultWalk, KillAtAnyFileOperationLeavesNoRecordedFileWithoutItsSidecar) {
    SetHostCallback(&test::FakeHost::Callback);
    test::MediaServer server;
    server.ServeBytes("/a.jpg", 20000);
    server.ServeBytes("/b.mp4", 30000);
    PluginSettings settings;
    settings.KpropTitle = 1;
    int kills = 0;
    for (int killAt = 1;; ++killAt) {
        test::ScratchFolder folder;
        settings.ImgFolder = folder.Path();
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            test::FakeHost host;
            CFeedEngine engine(settings);
            engine.ReadLocalFileList();
            engine.DownloadQueue = {{"a", server.Url("/a.jpg"), "o"},
                                    {"b", server.Url("/b.mp4"), "o"}};
            FaultPlan::failAt = killAt;
            FaultPlan::calls = 0;
            FaultPlan::killInstead = true;
            platform::ReplaceFileOps(FaultPlan::All());
            std::atomic<int32_t> stop{0};
            while (engine.DownloadNext(&stop) == 1) {
            }
            ::_exit(0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        if (WEXITSTATUS(status) != kKilled) break;
        ++kills;

        test::FakeHost host;
        CFeedEngine next(settings);
        next.ReadLocalFileList();
        for (const auto& [url, record] : next.LocalFiles) {
            const std::string media = folder.File(record.LocalName);
            std::string sidecar = media;
            ReplaceExtension(sidecar, kSidecarSuffix);
            EXPECT_TRUE(test::Exists(media)) << "kill " << killAt << ": " << record.LocalName;
            EXPECT_TRUE(test::Exists(sidecar)) << "kill " << killAt << ": " << record.LocalName;
        }
    }
    SetHostCallback(nullptr);
    // Each file: open, write, close, the sidecar's five calls, the rename; the list's five.
    EXPECT_GE(kills, 2 * 9 + 5);
    RecordProperty("kill_points", kills);
}

}  // namespace
}  // namespace pixolune
