#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "engine/feed_engine.h"
#include "engine/list_file.h"
#include "engine/local_names.h"
#include "engine/pixolune_thread.h"
#include "engine_test_support.h"
#include "fake_host.h"
#include "host_callback_guard.h"
#include "model/host_link.h"
#include "platform/file_system.h"

namespace pixolune {
namespace {

using test::EditFeeds;
using test::FeedsOf;
using test::SetFeeds;

using namespace std::chrono_literals;

// Answers every feed with the same items; a hook may throw or delay.
class ItemsQuery : public FeedQuery {
  public:
    ItemsQuery(std::vector<CPixoluneItem> items,
               std::function<QueryResult(const CPixoluneFeed&)> hook)
        : items_(std::move(items)), hook_(std::move(hook)) {}
    FeedQueryOutcome Query(CPixoluneFeed& feed) override {
        const QueryResult result = hook_ ? hook_(feed) : QueryResult::Ok;
        if (result == QueryResult::Ok) feed.Items = items_;
        return {result, 0};
    }

  private:
    std::vector<CPixoluneItem> items_;
    std::function<QueryResult(const CPixoluneFeed&)> hook_;
};

// Refuses to open the list while set, as a changed permission would.
class ListRefusingFileSystem : public platform::FileSystemWrapper {
  public:
    ListRefusingFileSystem() : FileSystemWrapper(platform::RealFileSystem()) {}
    int Open(const char* path, int flags, mode_t mode) override {
        if (listRefused.load() && std::string(path).find(kListFileName) != std::string::npos) {
            errno = EACCES;
            return -1;
        }
        return Target().Open(path, flags, mode);
    }
    std::atomic<bool> listRefused{false};
};

class WorkerTest : public ::testing::Test {
  protected:
    WorkerTest() {
        settings_.ImgFolder = folder_.Path();
        settings_.tmUpdate = 0;
        settings_.RestartKal = 1;
        engine_->Options().idleInterval = 20ms;
        engine_->SetToken("tok");
        CPixoluneFeed feed;
        SetFeeds(*engine_, {feed});
    }
    ~WorkerTest() override {
        engine_.reset();  // stops and joins a worker before the host goes
    }

    void AnswerWith(std::vector<CPixoluneItem> items,
                    std::function<QueryResult(const CPixoluneFeed&)> hook = nullptr) {
        engine_->Options().queryFactory = [items, hook](const std::string&, const PluginSettings&,
                                                        const std::atomic<int32_t>*) {
            return std::make_unique<ItemsQuery>(items, hook);
        };
    }

    test::TempDir folder_;
    test::FakeHost host_;
    test::ScopedHostCallback callback_{&test::FakeHost::Callback};
    test::LoopbackServer server_;
    PluginSettings settings_;
    ListRefusingFileSystem files_;
    std::unique_ptr<CFeedEngine> engine_ = std::make_unique<CFeedEngine>(settings_, files_);
};

TEST_F(WorkerTest, IdleWorkerStopsAtOnceAndAStartAfterTheStopRunsOneAgain) {
    AnswerWith({});
    engine_->StartWorker();
    engine_->StartWorker();  // one is running: no second beside it
    ASSERT_GE(host_.WaitForLog("Download complete", 5s), 0);
    const auto start = std::chrono::steady_clock::now();
    engine_->StopWorker();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_TRUE(host_.HasLogContaining("CPixoluneThread Stopping thread"));
    EXPECT_TRUE(host_.HasLogContaining("CPixoluneThread::Stop(), result: 0"));
    EXPECT_FALSE(engine_->WorkerRunning());
    // A host that disables and enables the plug-in gets its downloads back.
    const size_t stopped = host_.LogLines().size();
    engine_->StartWorker();
    EXPECT_TRUE(engine_->WorkerRunning());
    EXPECT_GE(host_.WaitForLog("Download complete", 5s, stopped), 0);
    int starts = 0;
    for (const auto& line : host_.LogLines()) starts += line == "CPixoluneThread::Start()";
    EXPECT_EQ(starts, 2);
}

TEST_F(WorkerTest, WithoutFeedsNoWorkerStarts) {
    SetFeeds(*engine_, {});
    engine_->StartWorker();
    EXPECT_FALSE(engine_->WorkerRunning());
}

TEST_F(WorkerTest, BatchFillsTheFolderAndAsksForOneRestart) {
    server_.ServeBytes("/a.jpg", 3000);
    server_.ServeBytes("/b.jpg", 4000);
    AnswerWith({{"", server_.Url("/a.jpg"), ""}, {"", server_.Url("/b.jpg"), ""}});
    engine_->StartWorker();
    ASSERT_GE(host_.WaitForLog("Download complete", 10s), 0);
    engine_->StopWorker();
    EXPECT_EQ(test::FolderNames(folder_.Path()),
              (std::vector<std::string>{"a.jpg", "b.jpg", "kal_pxln_files.lst"}));
    EXPECT_EQ(test::ReadFile(folder_.File("b.jpg")), test::PatternBytes(4000));
    EXPECT_EQ(host_.RestartRequests(), 1);
}

TEST_F(WorkerTest, StopDuringALargeDownloadReturnsWithinASecondAndLeavesNoPart) {
    server_.Http().Get("/big.jpg", [](const httplib::Request&, httplib::Response& response) {
        response.set_content_provider(size_t{1} << 30, "image/jpeg",
                                      [](size_t, size_t, httplib::DataSink& sink) {
                                          static const std::string piece(65536, 'x');
                                          std::this_thread::sleep_for(1ms);
                                          return sink.write(piece.data(), piece.size());
                                      });
    });
    AnswerWith({{"", server_.Url("/big.jpg"), ""}});
    engine_->StartWorker();
    ASSERT_GE(host_.WaitForLog("DownloadImage(), ", 10s), 0);
    std::this_thread::sleep_for(200ms);
    const auto start = std::chrono::steady_clock::now();
    engine_->StopWorker();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_TRUE(test::FolderNames(folder_.Path()).empty());
}

TEST_F(WorkerTest, AfterAnExceptionTheStoredFilesAreWrittenBeforeTheListIsRead) {
    server_.Http().Get("/slow.jpg", [](const httplib::Request&, httplib::Response& response) {
        std::this_thread::sleep_for(150ms);
        response.set_content("slow", "image/jpeg");
    });
    server_.ServeBytes("/next.jpg", 10);
    // Feed 0 answers once; feed 1 fails until both files are stored, then throws once.
    CPixoluneFeed second;
    second.Type = 2;
    EditFeeds(*engine_, [&](FeedArray& feeds) { feeds.push_back(second); });
    auto thrown = std::make_shared<std::atomic<bool>>(false);
    const std::string slow = folder_.File("slow.jpg"), next = folder_.File("next.jpg");
    AnswerWith({{"", server_.Url("/slow.jpg"), ""}, {"", server_.Url("/next.jpg"), ""}},
               [thrown, slow, next](const CPixoluneFeed& feed) {
                   if (feed.Type != 2) return QueryResult::Ok;
                   if (test::Exists(slow) && test::Exists(next) && !thrown->exchange(true))
                       throw std::runtime_error("boom");
                   return QueryResult::Failed;
               });
    engine_->StartWorker();
    const int exception = host_.WaitForLog("CException (boom) in CPixoluneThread::RunComms()", 10s);
    ASSERT_GE(exception, 0);
    // Both files were stored, and so noted, before the throw.
    const int reread = host_.WaitForLog("ReadLocalFileList: file list loaded (2 entries)", 10s,
                                        static_cast<size_t>(exception));
    EXPECT_GT(reread, exception);
    engine_->StopWorker();
}

TEST_F(WorkerTest, SettingsFeedsAndTokenMayBeReplacedWhileTheWorkerRuns) {
    server_.ServeBytes("/a.jpg", 100);
    AnswerWith({{"", server_.Url("/a.jpg"), ""}});
    settings_.tmUpdate = 1;
    engine_->StartWorker();
    for (int round = 0; round < 200; ++round) {
        FeedArray feeds(1 + round % 3);
        for (size_t i = 0; i < feeds.size(); ++i) feeds[i].Type = 1 + static_cast<int>(i);
        engine_->Configuration().Change([&](EngineConfiguration::Live& live) {
            CopyFeedArray(live.Feeds, feeds);
            live.Settings.KpropTitle = round % 2;
            live.Settings.tmUpdate = round % 2;
            live.Settings.Enabled = 1;
        });
        engine_->SetToken("token-" + std::to_string(round));
    }
    ASSERT_GE(host_.WaitForLog("Download complete", 10s), 0);
    engine_->StopWorker();
    EXPECT_TRUE(test::Exists(folder_.File("a.jpg")));
}

TEST_F(WorkerTest, UnreadableListIsNeitherReplacedNorUsedAndIsReadOnALaterPass) {
    const std::string list = folder_.File(kListFileName);
    const std::string listBytes =
        "[Kaleidra Pixolune List]\r\n1\r\nhttp://h/old.jpg\r\nold.jpg\r\n";
    test::WriteFile(list, listBytes);
    test::WriteFile(folder_.File("old.jpg"), "old");
    server_.ServeBytes("/a.jpg", 100);
    AnswerWith({{"", server_.Url("/a.jpg"), ""}});
    files_.listRefused = true;

    engine_->StartWorker();
    const std::string refused = "ReadLocalFileList: can't read " + list + " (Permission denied)";
    const int first = host_.WaitForLog(refused, 5s);
    ASSERT_GE(first, 0);
    ASSERT_GT(host_.WaitForLog(refused, 5s, static_cast<size_t>(first) + 1), first);
    // Nothing was queried, stored, pruned or written while the list was unknown.
    EXPECT_EQ(test::ReadFile(list), listBytes);
    EXPECT_EQ(test::FolderNames(folder_.Path()),
              (std::vector<std::string>{"kal_pxln_files.lock", "kal_pxln_files.lst", "old.jpg"}));
    EXPECT_FALSE(host_.HasLogContaining("Refresh 0:"));

    files_.listRefused = false;
    const int loaded = host_.WaitForLog("ReadLocalFileList: file list loaded (1 entries)", 5s);
    ASSERT_GE(loaded, 0);
    ASSERT_GE(host_.WaitForLog("Download complete", 10s, static_cast<size_t>(loaded)), 0);
    engine_->StopWorker();
    // Read at last, the list took part in the batch: the new file added, the unseen one pruned.
    LocalFileMap listed;
    ASSERT_EQ(ReadListFile(platform::RealFileSystem(), list, listed).status,
              ListReadStatus::Loaded);
    EXPECT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed.count(server_.Url("/a.jpg")), 1u);
    EXPECT_FALSE(test::Exists(folder_.File("old.jpg")));
}

TEST_F(WorkerTest, FolderChangeWritesTheOldListAndFillsTheNewFolderWithItsOwnRecords) {
    settings_.FeedsSynch = 1;  // the old folder's unseen young file stays
    const LocalFileMap listed{{"http://h/old.jpg", CFileData{"old.jpg", "http://h/old.jpg", 0}}};
    ASSERT_TRUE(
        WriteListFile(platform::RealFileSystem(), folder_.File("kal_pxln_files.lst"), listed));
    test::WriteFile(folder_.File("old.jpg"), "old");
    test::TempDir next;
    test::WriteFile(next.File("old.jpg"), "the user's");
    test::SetAge(next.File("old.jpg"), 1000 * 3600);
    server_.ServeBytes("/a.jpg", 100);
    server_.Http().Get("/slow.jpg", [this](const httplib::Request&, httplib::Response& response) {
        server_.Stall(10s);
        response.set_content("slow", "image/jpeg");
    });
    // a.jpg, complete while slow.jpg stalls, is stored in the old folder at
    // once; the stalled transfer is cancelled with the folder and its item
    // fetched again for the new one.
    AnswerWith({{"", server_.Url("/slow.jpg"), ""}, {"", server_.Url("/a.jpg"), ""}});
    engine_->StartWorker();
    ASSERT_GE(host_.WaitForLog("DownloadImage(), " + server_.Url("/slow.jpg"), 10s), 0);
    engine_->Configuration().Change(
        [&](EngineConfiguration::Live& live) { live.Settings.ImgFolder = next.Path(); });
    ASSERT_GE(host_.WaitForLog("DownloadImage(), " + server_.Url("/a.jpg"), 10s), 0);
    const int changed = host_.WaitForLog("DownloadNext(): the media folder changed from ", 10s);
    ASSERT_GE(changed, 0);
    server_.Release();
    ASSERT_GE(host_.WaitForLog("Download complete", 10s, static_cast<size_t>(changed)), 0);
    engine_->StopWorker();

    LocalFileMap old = test::ListedIn(folder_.Path());
    EXPECT_EQ(old.size(), 2u);
    EXPECT_EQ(test::FolderNames(folder_.Path()),
              (std::vector<std::string>{"a.jpg", "kal_pxln_files.lst", "old.jpg"}));
    EXPECT_EQ(test::FolderNames(next.Path()),
              (std::vector<std::string>{"a.jpg", "kal_pxln_files.lst", "old.jpg", "slow.jpg"}));
    EXPECT_EQ(test::ReadFile(next.File("old.jpg")), "the user's");
    LocalFileMap fresh = test::ListedIn(next.Path());
    EXPECT_EQ(fresh.size(), 2u);
    EXPECT_EQ(fresh.count("http://h/old.jpg"), 0u);
}

TEST_F(WorkerTest, SecondWorkerOnTheFolderTouchesNothingAndTakesOverAfterTheFirst) {
    server_.ServeBytes("/a.jpg", 100);
    server_.ServeBytes("/b.jpg", 200);
    AnswerWith({{"", server_.Url("/a.jpg"), ""}});
    engine_->StartWorker();
    const int first = host_.WaitForLog("Download complete", 10s);
    ASSERT_GE(first, 0);
    const std::vector<std::string> names = test::FolderNames(folder_.Path());
    const std::string list = test::ReadFile(folder_.File("kal_pxln_files.lst"));

    PluginSettings otherSettings;
    otherSettings.ImgFolder = folder_.Path();
    otherSettings.tmUpdate = 0;
    CFeedEngine other(otherSettings);
    other.Options().idleInterval = 20ms;
    SetFeeds(other, {CPixoluneFeed{}});
    auto queries = std::make_shared<std::atomic<int>>(0);
    const std::vector<CPixoluneItem> items{{"", server_.Url("/a.jpg"), ""},
                                           {"", server_.Url("/b.jpg"), ""}};
    other.Options().queryFactory = [queries, items](const std::string&, const PluginSettings&,
                                                    const std::atomic<int32_t>*) {
        ++*queries;
        return std::make_unique<ItemsQuery>(items, nullptr);
    };
    other.SetToken("tok");
    other.StartWorker();
    const int busy = host_.WaitForLog("is in use by another host; waiting", 5s);
    ASSERT_GE(busy, 0);
    std::this_thread::sleep_for(200ms);  // some ten passes of the second worker
    EXPECT_EQ(queries->load(), 0);
    EXPECT_EQ(test::FolderNames(folder_.Path()), names);
    EXPECT_EQ(test::ReadFile(folder_.File("kal_pxln_files.lst")), list);
    int said = 0;
    for (const auto& line : host_.LogLines())
        said += line.find("is in use by another") != line.npos;
    EXPECT_EQ(said, 1);

    engine_->StopWorker();
    const int taken = host_.WaitForLog("ReadLocalFileList: file list loaded (1 entries)", 5s, busy);
    ASSERT_GE(taken, 0);
    ASSERT_GE(host_.WaitForLog("Download complete", 5s, static_cast<size_t>(taken)), 0);
    other.StopWorker();
    EXPECT_EQ(test::FolderNames(folder_.Path()),
              (std::vector<std::string>{"a.jpg", "b.jpg", "kal_pxln_files.lst"}));
}

}  // namespace
}  // namespace pixolune
