#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <string>

#include "engine/feed_engine.h"
#include "engine/list_file.h"
#include "engine_test_support.h"
#include "fake_host.h"
#include "platform/file_ops.h"
#include "plugin/host_link.h"

namespace pixolune {
namespace {

// Fails the n-th file operation of any kind (open, write, fsync, close,
// rename, mkstemp) with EIO and lets every other one through.
struct FaultPlan {
    static inline int failAt = 0;
    static inline int calls = 0;
    static inline bool fired = false;

    static bool Hit() {
        if (++calls != failAt) return false;
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
        platform::ReplaceFileOps({FaultPlan::Mkstemp, FaultPlan::Open, FaultPlan::Write,
                                  FaultPlan::Fsync, FaultPlan::Close, FaultPlan::Rename,
                                  platform::RealFileOps().read});
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

}  // namespace
}  // namespace pixolune
