#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/download_pipeline.h"
#include "engine/list_file.h"
#include "engine/local_names.h"
#include "engine_test_support.h"
#include "kaleidra/kal_plugin_api.h"
#include "plugin_run.h"
#include "tests/support/stub_server.h"

namespace pixolune::test {
namespace {

using namespace std::chrono_literals;

std::string Item(const std::string& media, const std::string& caption, long long size = 0) {
    std::string item =
        R"({"type":")" +
        std::string(media.size() > 4 && media.substr(media.size() - 4) == ".mp4" ? "video"
                                                                                 : "image") +
        R"(","media":")" + media + R"(","caption":")" + caption + R"(","user":"Ann Owner")";
    if (size > 0) item += R"(,"size":)" + std::to_string(size);
    return item + "}";
}

std::string Scenario(const std::vector<std::string>& items) {
    std::string feed;
    for (const std::string& item : items) feed += (feed.empty() ? "" : ",") + item;
    return R"({"page_size":20,"tokens":{"tok-alice":{"username":"alice"}},"feeds":{"feed":[)" +
           feed + "]}}";
}

bool IsTemporary(const std::string& name) {
    return name.find(".__t") != std::string::npos || name.find(".tmp") != std::string::npos;
}

class WorkerEndToEnd : public ::testing::Test {
  protected:
    WorkerEndToEnd() {
        config_.workDir = work_.Path();
        config_.mediaDir = media_.Path();
        config_.apiBase = stub_.ApiBase();
    }

    PluginRunResult Run() { return RunPluginOnce(config_); }

    LocalFileMap Listed() {
        LocalFileMap listed;
        EXPECT_EQ(
            ReadListFile(platform::RealFileSystem(), media_.File("kal_pxln_files.lst"), listed)
                .status,
            ListReadStatus::Loaded);
        return listed;
    }

    // Every listed file is there with the size the stand-in serves, or with
    // `everySize` when all have it (hundreds of checks under a sanitizer
    // must not each ask the stand-in).
    void ExpectListedFilesWhole(const LocalFileMap& listed,
                                std::optional<long long> everySize = std::nullopt) {
        for (const auto& [url, record] : listed) {
            struct stat status {};
            ASSERT_EQ(::stat(media_.File(record.LocalName).c_str(), &status), 0)
                << record.LocalName;
            EXPECT_EQ(static_cast<long long>(status.st_size),
                      everySize ? *everySize : stub_.MediaSize(record.LocalName))
                << record.LocalName;
        }
    }

    // With sidecars on (the runs' default), every listed file has its sidecar.
    void ExpectListedFilesHaveSidecars(const LocalFileMap& listed) {
        for (const auto& [url, record] : listed) {
            std::string sidecar = media_.File(record.LocalName);
            ReplaceExtension(sidecar, kSidecarSuffix);
            EXPECT_TRUE(Exists(sidecar)) << record.LocalName;
        }
    }

    StubServer stub_{StubServer::Options{
        Scenario({Item("a.jpg", "First"), Item("b.jpg", "Second\nline"), Item("v.mp4", "Clip")}),
        false,
        "",
        "",
        {}}};
    TempDir work_, media_;
    PluginRunConfig config_;
};

TEST_F(WorkerEndToEnd, FirstBatchFillsTheFolder) {
    const PluginRunResult run = Run();
    ASSERT_TRUE(run.completed) << "status " << run.exitStatus;
    EXPECT_EQ(FolderNames(media_.Path()),
              (std::vector<std::string>{"a.jpg", "a.kprop", "b.jpg", "b.kprop",
                                        "kal_pxln_files.lst", "v.kprop", "v.mp4"}));
    const LocalFileMap listed = Listed();
    EXPECT_EQ(listed.size(), 3u);
    ExpectListedFilesWhole(listed);
    EXPECT_EQ(run.restarts, 1);
    EXPECT_TRUE(run.Logged("CPixoluneThread::Stop(), result: 0"));
    // The feed page's connection carries a file too: one connection per request would be 4.
    EXPECT_LE(stub_.ConnectionsUsed(), 3);
    // Neither the worker nor the settings' load and save bring in the dialogs, and Qt with them.
    EXPECT_TRUE(run.Mapped("/libpixolune_plugin.so"));
    EXPECT_FALSE(run.Mapped("/libpixolune_dialogs.so"));
    EXPECT_FALSE(run.Mapped("/libQt6"));
}

// Every feed page takes 0.3 s: the files of the first page are asked for
// while the later pages are still on their way, not after the last one.
TEST_F(WorkerEndToEnd, FilesOfTheFirstPageComeWhileLaterPagesAreRead) {
    std::string items;
    for (int i = 0; i < 6; ++i)
        items += (i ? "," : "") + Item("p" + std::to_string(i) + ".jpg", "Cap");
    stub_.SetScenario(R"({"page_size":2,"tokens":{"tok-alice":{"username":"alice"}},)"
                      R"("feeds":{"feed":[)" +
                      items + "]}}");
    stub_.SetFault(R"({"path":"/v1/users/self/feed","mode":"stall","seconds":0.3})");
    ASSERT_TRUE(Run().completed);
    const std::vector<std::string> requests = stub_.Requests();
    const auto isPage = [](const std::string& target) {
        return target.rfind("/v1/users/self/feed", 0) == 0;
    };
    const auto firstFile = std::find_if(requests.begin(), requests.end(), [](const auto& target) {
        return target.rfind("/media/", 0) == 0;
    });
    const auto lastPage = std::find_if(requests.rbegin(), requests.rend(), isPage);
    ASSERT_NE(firstFile, requests.end());
    ASSERT_NE(lastPage, requests.rend());
    EXPECT_EQ(std::count_if(requests.begin(), requests.end(), isPage), 3);
    EXPECT_LT(firstFile - requests.begin(), requests.rend() - lastPage - 1);
    EXPECT_EQ(Listed().size(), 6u);
}

TEST_F(WorkerEndToEnd, SecondRunDeletesWhatLeftTheFeedInSynchronisingMode) {
    ASSERT_TRUE(Run().completed);
    stub_.SetScenario(Scenario({Item("a.jpg", "First"), Item("d.jpg", "New")}));
    const PluginRunResult second = Run();
    ASSERT_TRUE(second.completed);
    EXPECT_EQ(
        FolderNames(media_.Path()),
        (std::vector<std::string>{"a.jpg", "a.kprop", "d.jpg", "d.kprop", "kal_pxln_files.lst"}));
    EXPECT_EQ(Listed().size(), 2u);
}

TEST_F(WorkerEndToEnd, SecondRunKeepsYoungFilesInAgeMode) {
    config_.intSettings["FeedsSynch"] = 1;
    ASSERT_TRUE(Run().completed);
    SetAge(media_.File("b.jpg"), 200 * 3600);
    stub_.SetScenario(Scenario({Item("d.jpg", "New")}));
    ASSERT_TRUE(Run().completed);
    EXPECT_EQ(FolderNames(media_.Path()),
              (std::vector<std::string>{"a.jpg", "a.kprop", "d.jpg", "d.kprop",
                                        "kal_pxln_files.lst", "v.kprop", "v.mp4"}));
    EXPECT_EQ(Listed().count(stub_.BaseUrl() + "/media/b.jpg"), 0u);
}

// Every answer breaks off before the end: the resumed tries come no
// further, and only the part (with its validator) stays for a later batch.
TEST_F(WorkerEndToEnd, DownloadDroppedEveryTimeLeavesNeitherFileNorRecordButItsPart) {
    stub_.SetFault(R"({"path":"/media/b.jpg","mode":"drop_mid_body"})");
    ASSERT_TRUE(Run().completed);
    std::vector<std::string> names = FolderNames(media_.Path());
    const auto parts = std::remove_if(names.begin(), names.end(), [](const std::string& name) {
        return name.rfind("b.jpg.", 0) == 0 && IsPartialDownloadName(name);
    });
    EXPECT_EQ(names.end() - parts, 2);  // the part and its note
    names.erase(parts, names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"a.jpg", "a.kprop", "kal_pxln_files.lst", "v.kprop",
                                               "v.mp4"}));
    EXPECT_EQ(Listed().size(), 2u);
}

TEST_F(WorkerEndToEnd, StopDuringALargeDownloadReturnsWithinASecond) {
    stub_.SetScenario(Scenario({Item("huge.jpg", "Big", 1LL << 30)}));
    stub_.SetFault(R"({"path":"/media/","mode":"trickle","interval_ms":50})");
    config_.during = [this](const auto&) {
        // Wait until the transfer has begun (the worker's lock file comes first).
        for (int i = 0; i < 200 && !Exists(media_.File("huge.__t")); ++i)
            std::this_thread::sleep_for(20ms);
        std::this_thread::sleep_for(300ms);
    };
    const PluginRunResult run = Run();
    ASSERT_TRUE(run.completed);
    EXPECT_TRUE(run.Logged("DownloadImage(), "));
    EXPECT_GE(run.stopMs, 0);
    EXPECT_LT(run.stopMs, 1000);
    EXPECT_TRUE(FolderNames(media_.Path()).empty());
}

TEST_F(WorkerEndToEnd, RestartIsRequestedOnlyAfterABatchWithANewFile) {
    ASSERT_EQ(Run().restarts, 1);
    const PluginRunResult nothingNew = Run();
    ASSERT_TRUE(nothingNew.completed);
    EXPECT_EQ(nothingNew.restarts, 0);
    config_.intSettings["RestartKal"] = 0;
    stub_.SetScenario(Scenario({Item("e.jpg", "More")}));
    const PluginRunResult off = Run();
    ASSERT_TRUE(off.completed);
    EXPECT_EQ(off.restarts, 0);
    EXPECT_TRUE(Exists(media_.File("e.jpg")));
}

TEST_F(WorkerEndToEnd, BusyServiceIsGivenTheWaitItAskedFor) {
    stub_.SetScenario(Scenario({Item("a.jpg", "A")}));
    stub_.SetFault(
        R"({"path":"/v1/users/self/feed","mode":"status","status":429,"retry_after":120})");
    const PluginRunResult run = Run();
    ASSERT_TRUE(run.completed);
    EXPECT_TRUE(run.Logged("HttpQueryInfo()  error returned by server: 429"));
    EXPECT_TRUE(run.Logged("the service asked to wait 120 s (Retry-After)"));
}

// Every place the plug-in writes to, searched for the token, also as UTF-16LE
// (the sidecars' encoding).
TEST_F(WorkerEndToEnd, TokenAppearsInNoLogLineFileOrSetting) {
    const std::string canary = "tok-canary-9b1f3c7d5e";
    std::string items;
    for (int i = 0; i < 25; ++i)
        items += (i ? "," : "") + Item("c" + std::to_string(i) + ".jpg", "Cap");
    stub_.SetScenario(R"({"page_size":10,"tokens":{")" + canary +
                      R"(":{"username":"alice"}},"feeds":{"feed":[)" + items + R"(],"recent":[)" +
                      Item("r.jpg", "Mine") + R"(],"popular":[)" + Item("p.jpg", "Pop") +
                      R"(],"tags":{"sunset":[)" + Item("t.jpg", "Tag") + "]}}}");
    stub_.SetFault(
        R"({"path":"/v1/users/self/media/recent","mode":"status","status":500,"count":1})");
    stub_.SetFault(
        R"({"path":"/v1/media/popular","mode":"status","status":429,"retry_after":1,"count":1})");
    stub_.SetFault(R"({"path":"/v1/tags/","mode":"next_url_loop"})");
    config_.token = canary;
    config_.intSettings["nFeeds"] = 4;
    config_.intSettings["Feed1_Type"] = 2;
    config_.intSettings["Feed1_Flg"] = 1;
    config_.intSettings["Feed2_Type"] = 3;
    config_.intSettings["Feed2_Flg"] = 1;
    config_.intSettings["Feed3_Type"] = 5;
    config_.intSettings["Feed3_Flg"] = 1;
    config_.textSettings["Feed3_Tags"] = "sunset";
    const PluginRunResult run = Run();
    ASSERT_TRUE(run.completed);
    ASSERT_TRUE(Exists(media_.File("c24.jpg"))) << "the canary token was accepted";
    EXPECT_TRUE(run.Logged("error returned by server: 500"));
    EXPECT_TRUE(run.Logged("error returned by server: 429"));
    EXPECT_TRUE(run.Logged("next_url repeats"));
    EXPECT_TRUE(run.Logged("QueryFeed: http"));

    std::string wide;
    for (const char c : canary) wide += std::string{c, '\0'};
    for (const std::string& line : run.log) EXPECT_EQ(line.find(canary), std::string::npos) << line;
    ASSERT_FALSE(run.store.empty());
    for (const std::string& entry : run.store) EXPECT_EQ(entry.find(canary), std::string::npos);
    for (const std::string& name : FolderNames(media_.Path())) {
        const std::string bytes = ReadFile(media_.File(name));
        EXPECT_EQ(bytes.find(canary), std::string::npos) << name;
        EXPECT_EQ(bytes.find(wide), std::string::npos) << name;
    }
}

TEST_F(WorkerEndToEnd, SettingsMessagesWhileTheWorkerRunsAreClean) {
    // Without a display message 5 declines at once instead of opening a modal dialog.
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) ::unsetenv(name);
    config_.intSettings["tmUpdate"] = 1;
    config_.awaitBatchAfterDuring = true;
    config_.during = [](const auto& send) {
        const auto end = std::chrono::steady_clock::now() + 1500ms;
        while (std::chrono::steady_clock::now() < end) {
            send(KAL_MSG_LOAD_SETTINGS, 0, 0);
            send(KAL_MSG_ENABLED, 1, 1);
            send(KAL_MSG_CONFIGURE, 0, 0);
            send(KAL_MSG_SETTINGS_CHANGED, 0, 0);
        }
    };
    const PluginRunResult run = Run();
    // Under ThreadSanitizer a report ends the child with a failure status.
    ASSERT_TRUE(WIFEXITED(run.exitStatus));
    EXPECT_EQ(WEXITSTATUS(run.exitStatus), 0);
    EXPECT_TRUE(run.Logged("Download complete"));
}

int CountLines(const PluginRunResult& run, const std::string& line) {
    int count = 0;
    for (const std::string& logged : run.log) count += logged == line;
    return count;
}

struct UnusableFolderCase {
    const char* folder;
    bool insideMediaScratch;  // a name under the (empty) scratch media folder
    const char* reason;
};

class UnusableFolderEndToEnd : public WorkerEndToEnd,
                               public ::testing::WithParamInterface<UnusableFolderCase> {};

TEST_P(UnusableFolderEndToEnd, IsSaidOnceAndNothingIsWrittenAnywhere) {
    TempDir workingFolder;
    const std::string folder =
        GetParam().insideMediaScratch ? media_.File(GetParam().folder) : GetParam().folder;
    config_.textSettings["ImgFolder"] = folder;
    config_.currentDir = workingFolder.Path();
    config_.during = [](const auto&) { std::this_thread::sleep_for(700ms); };  // some 7 passes
    const PluginRunResult run = Run();
    ASSERT_TRUE(run.completed) << "status " << run.exitStatus;
    EXPECT_EQ(CountLines(run, "DownloadNext(): the media folder " + folder + " can't be used (" +
                                  GetParam().reason + ")"),
              1);
    EXPECT_FALSE(run.Logged("Download complete"));
    EXPECT_TRUE(FolderNames(workingFolder.Path()).empty());
    EXPECT_TRUE(FolderNames(media_.Path()).empty());
    EXPECT_TRUE(stub_.Requests().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Folders, UnusableFolderEndToEnd,
    ::testing::Values(UnusableFolderCase{"", false, "not set"},
                      UnusableFolderCase{"media", false, "not an absolute path"},
                      UnusableFolderCase{"missing", true, "No such file or directory"}));

TEST_F(WorkerEndToEnd, WithoutATokenNothingIsRequestedAndThatIsSaidOnce) {
    config_.token = "";
    config_.during = [](const auto&) { std::this_thread::sleep_for(700ms); };
    const PluginRunResult run = Run();
    ASSERT_TRUE(run.completed) << "status " << run.exitStatus;
    EXPECT_EQ(CountLines(run, "Refresh: not authorized; sign in in the plug-in's settings"), 1);
    EXPECT_TRUE(stub_.Requests().empty());
    EXPECT_TRUE(run.Logged("Download complete"));
}

// Waits in the child until `name` is in the media folder, at most `longest`.
void WaitForFile(const std::string& path, std::chrono::milliseconds longest) {
    const auto end = std::chrono::steady_clock::now() + longest;
    while (!Exists(path) && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(20ms);
}

TEST_F(WorkerEndToEnd, DeeplyNestedReplyFailsTheQueryAndTheWorkerGoesOn) {
    // 10^5 nested "[" once; the next query gets the normal reply.
    stub_.SetFault(
        R"({"path":"/v1/users/self/feed","mode":"deep_nesting","depth":100000,"count":1})");
    const std::string first = media_.File("a.jpg");
    config_.during = [&first](const auto&) { WaitForFile(first, 20s); };
    const PluginRunResult run = Run();
    ASSERT_TRUE(WIFEXITED(run.exitStatus)) << "status " << run.exitStatus;
    EXPECT_EQ(WEXITSTATUS(run.exitStatus), 0);
    EXPECT_TRUE(run.Logged("Refresh 0: query failed, next try in "));
    EXPECT_TRUE(run.Logged("     3 Items found"));
    EXPECT_TRUE(Exists(first));
    int feedRequests = 0;
    for (const std::string& target : stub_.Requests())
        feedRequests += target.rfind("/v1/users/self/feed", 0) == 0;
    EXPECT_GE(feedRequests, 2);
}

// Kills a running batch at random moments; after each kill the list file
// reads back whole and every listed file is complete and has its sidecar,
// and the next start clears what the killed run left.
TEST_F(WorkerEndToEnd, KilledWorkerAlwaysLeavesAWholeList) {
    const char* wanted = std::getenv("PIXOLUNE_CRASH_KILLS");
    const int kills = wanted && std::atoi(wanted) > 0 ? std::atoi(wanted) : 200;
    constexpr long long kSize = 20000;
    std::vector<std::string> items;
    for (int i = 0; i < 400; ++i)
        items.push_back(Item("k" + std::to_string(i) + ".jpg", "c", kSize));
    stub_.SetScenario(Scenario(items));
    std::mt19937 random(12345);
    std::uniform_int_distribution<int> delayMs(5, 150);
    int survived = 0;
    for (int round = 0; round < kills; ++round) {
        const pid_t child = StartPluginRun(config_);
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs(random)));
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        if (Exists(media_.File("kal_pxln_files.lst"))) {
            LocalFileMap listed;
            ASSERT_EQ(
                ReadListFile(platform::RealFileSystem(), media_.File("kal_pxln_files.lst"), listed)
                    .status,
                ListReadStatus::Loaded)
                << "round " << round;
            // What the next start knows: the list and the journal's notes.
            (void)MergeJournal(platform::RealFileSystem(), media_.File("kal_pxln_files.jnl"),
                               media_.Path(), listed);
            ExpectListedFilesWhole(listed, kSize);
            ExpectListedFilesHaveSidecars(listed);
        }
        if (HasFailure()) break;
        ++survived;
    }
    RecordProperty("kills_survived", survived);
    // A whole run afterwards starts clean and finishes the batch.
    config_.timeout = 60s;
    const PluginRunResult last = Run();
    ASSERT_TRUE(last.completed);
    for (const std::string& name : FolderNames(media_.Path()))
        EXPECT_FALSE(IsTemporary(name)) << name;
    const LocalFileMap listed = Listed();
    ExpectListedFilesWhole(listed);
    ExpectListedFilesHaveSidecars(listed);
    // Files stored after the last list write of a killed run come back from the journal.
    EXPECT_EQ(listed.size(), 400u);
    EXPECT_FALSE(Exists(media_.File("kal_pxln_files.jnl")));
    for (const std::string& name : FolderNames(work_.Path()))
        EXPECT_TRUE(name == "Software" || name == ".config" || name == "state")
            << "touched " << name;
    // The health record, without the temporary files of the writes that were killed.
    EXPECT_EQ(FolderNames(work_.Path() + "/state/kaleidra"),
              std::vector<std::string>{"health-KAL.json"});
}

}  // namespace
}  // namespace pixolune::test
