#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "engine/feed_engine.h"
#include "engine/quiet_hours.h"
#include "engine_test_support.h"
#include "fake_host.h"
#include "host_callback_guard.h"
#include "model/health_record.h"
#include "model/host_link.h"
#include "platform/file_system.h"
#include "platform/tick_count.h"
#include "tests/support/stub_server.h"

namespace pixolune {
namespace {

using test::EditFeeds;
using test::FeedsOf;
using test::SetFeeds;

using namespace std::chrono_literals;

// What the fake service answers for one feed type.
struct ScriptedFeed {
    QueryResult result = QueryResult::Ok;
    uint32_t retryAfter = 0;
    std::vector<CPixoluneItem> items;
};

struct FakeService {
    std::map<int, ScriptedFeed> feeds;
    std::map<int, int> calls;  // per feed type
    std::function<void()> duringQuery;
};

class FakeQuery : public FeedQuery {
  public:
    explicit FakeQuery(FakeService& service) : service_(service) {}
    FeedQueryOutcome Query(CPixoluneFeed& feed) override {
        ++service_.calls[feed.Type];
        if (service_.duringQuery) service_.duringQuery();
        const ScriptedFeed& scripted = service_.feeds[feed.Type];
        if (scripted.result == QueryResult::Ok) feed.Items = scripted.items;
        return {scripted.result, scripted.retryAfter};
    }

  private:
    FakeService& service_;
};

CPixoluneFeed Feed(int type, int flg = kFeedEnabledFlag) {
    CPixoluneFeed feed;
    feed.Type = type;
    feed.Flg = flg;
    return feed;
}

class RefreshTest : public ::testing::Test {
  protected:
    RefreshTest() {
        settings_.tmUpdate = 180;
        settings_.ImgFolder = folder_.Path();
        engine_.Options().queryFactory = [this](const std::string& token, const PluginSettings&,
                                                const std::atomic<int32_t>*) {
            tokens_.push_back(token);
            return std::make_unique<FakeQuery>(service_);
        };
        engine_.Options().idleInterval = 100ms;
        engine_.SetToken("tok");
    }

    test::TempDir folder_;
    test::FakeHost host_;
    test::ScopedHostCallback callback_{&test::FakeHost::Callback};
    FakeService service_;
    std::vector<std::string> tokens_;
    PluginSettings settings_;
    CFeedEngine engine_{settings_};
};

TEST_F(RefreshTest, SuccessfulQueryQueuesItemsAndSchedulesTheFeed) {
    service_.feeds[1].items = {{"c1", "http://h/1.jpg", "o"}, {"c2", "http://h/2.jpg", "o"}};
    SetFeeds(engine_, {Feed(1), Feed(3, 0)});
    EXPECT_EQ(engine_.TEST_Refresh(), QueryResult::Ok);
    ASSERT_EQ(engine_.TEST_DownloadQueue().size(), 2u);
    EXPECT_EQ(engine_.TEST_DownloadQueue()[1].Url, "http://h/2.jpg");
    const FeedArray feeds = FeedsOf(engine_);
    const CPixoluneFeed& feed = feeds[0];
    EXPECT_NE(feed.LastTm, 0u);
    EXPECT_EQ(feed.Flg, kFeedEnabledFlag | kFeedQueriedFlag);
    EXPECT_EQ(feed.Items.size(), 2u);
    EXPECT_EQ(service_.calls[3], 0);  // disabled
    EXPECT_EQ(tokens_, std::vector<std::string>{"tok"});
    EXPECT_TRUE(host_.HasLogContaining("Refresh 0: lastTm=0, retries=0"));
    EXPECT_FALSE(host_.HasLogContaining("Refresh 1:"));
    EXPECT_TRUE(host_.HasLogContaining("     2 Items found"));
    EXPECT_TRUE(host_.HasLogContaining("     2 Items queued to download"));
}

TEST_F(RefreshTest, FeedIsDueOnlyAfterItsIntervalAlsoAcrossTheTickWrap) {
    // The counter stands 5 s past its wrap, so the last success lies before it.
    platform::ShiftTickCount(0);
    platform::ShiftTickCount(5000u - platform::TickCount());
    struct Unshift {
        ~Unshift() { platform::ShiftTickCount(0); }
    } unshift;
    ASSERT_LT(platform::TickCount(), 60000u);
    SetFeeds(engine_, {Feed(1)});
    ASSERT_EQ(engine_.TEST_Refresh(), QueryResult::Ok);
    EXPECT_EQ(engine_.TEST_Refresh(), QueryResult::Failed);
    EXPECT_EQ(service_.calls[1], 1);
    // A success a second short of 180 minutes ago is not due yet...
    EditFeeds(engine_, [&](FeedArray& feeds) {
        feeds[0].LastTm = platform::TickCount() - (180u * 60000u - 1000u);
    });
    ASSERT_GT(FeedsOf(engine_)[0].LastTm, platform::TickCount());
    EXPECT_EQ(engine_.TEST_Refresh(), QueryResult::Failed);
    EXPECT_EQ(service_.calls[1], 1);
    // ...one a second more than 180 minutes ago is.
    EditFeeds(engine_, [&](FeedArray& feeds) {
        feeds[0].LastTm = platform::TickCount() - (180u * 60000u + 1000u);
    });
    EXPECT_EQ(engine_.TEST_Refresh(), QueryResult::Ok);
    EXPECT_EQ(service_.calls[1], 2);
}

TEST_F(RefreshTest, ZeroIntervalReadsEachFeedOncePerRun) {
    settings_.tmUpdate = 0;
    SetFeeds(engine_, {Feed(1)});
    EXPECT_EQ(engine_.TEST_Refresh(), QueryResult::Ok);
    EXPECT_EQ(engine_.TEST_Refresh(), QueryResult::Failed);
    EXPECT_EQ(service_.calls[1], 1);
}

TEST_F(RefreshTest, FailedFeedWaitsOneIdleIntervalBeforeItsNextTry) {
    service_.feeds[2].result = QueryResult::Failed;
    SetFeeds(engine_, {Feed(2)});
    EXPECT_EQ(engine_.TEST_Refresh(), QueryResult::Failed);
    EXPECT_EQ(FeedsOf(engine_)[0].Retries, 1);
    EXPECT_EQ(FeedsOf(engine_)[0].LastTm, 0u);
    EXPECT_EQ(engine_.TEST_Refresh(), QueryResult::Failed);
    EXPECT_EQ(service_.calls[2], 1);
    EXPECT_TRUE(host_.HasLogContaining("Refresh 0: query failed, next try in 100 ms"));
    std::this_thread::sleep_for(120ms);
    service_.feeds[2].result = QueryResult::Ok;
    EXPECT_EQ(engine_.TEST_Refresh(), QueryResult::Ok);
    EXPECT_EQ(service_.calls[2], 2);
    EXPECT_EQ(FeedsOf(engine_)[0].Retries, 0);
    EXPECT_TRUE(host_.HasLogContaining("Refresh 0: lastTm=0, retries=1"));
}

TEST_F(RefreshTest, RetryAfterOfTheServiceIsHonoured) {
    service_.feeds[4] = ScriptedFeed{QueryResult::Failed, 1, {}};
    SetFeeds(engine_, {Feed(4)});
    (void)engine_.TEST_Refresh();
    EXPECT_TRUE(host_.HasLogContaining("(Retry-After)"));
    std::this_thread::sleep_for(300ms);  // past the idle interval, not past Retry-After
    (void)engine_.TEST_Refresh();
    EXPECT_EQ(service_.calls[4], 1);
    std::this_thread::sleep_for(800ms);
    (void)engine_.TEST_Refresh();
    EXPECT_EQ(service_.calls[4], 2);
}

TEST_F(RefreshTest, ResultOfAFeedReplacedDuringItsQueryIsDropped) {
    service_.feeds[1].items = {{"", "http://h/1.jpg", ""}};
    SetFeeds(engine_, {Feed(1)});
    service_.duringQuery = [this] {
        CPixoluneFeed tagged = Feed(5);
        tagged.Tags = "sunset";
        SetFeeds(engine_, {tagged});
        service_.duringQuery = nullptr;
    };
    EXPECT_EQ(engine_.TEST_Refresh(), QueryResult::Failed);
    EXPECT_TRUE(engine_.TEST_DownloadQueue().empty());
    EXPECT_EQ(FeedsOf(engine_)[0].LastTm, 0u);
    EXPECT_TRUE(FeedsOf(engine_)[0].Items.empty());
    EXPECT_TRUE(host_.HasLogContaining("Refresh 0: the feed was changed while it was read"));
}

// The list holds a file of each feed and one no feed delivers any more.
class PruneAfterFailureTest : public RefreshTest {
  protected:
    PruneAfterFailureTest() {
        settings_.FeedsSynch = 0;
        SetFeeds(engine_, {Feed(1), Feed(2)});
        engine_.TEST_ReadLocalFileList();
        for (const char* name : {"a.jpg", "c.jpg", "old.jpg"}) {
            test::WriteFile(folder_.File(name), "x");
            const std::string url = std::string("http://h/") + name;
            engine_.TEST_Records().TEST_Put(CFileData{name, url, 0});
        }
    }
    void Batch() {
        std::atomic<int32_t> stop{0};
        (void)engine_.TEST_Refresh(&stop);
        while (engine_.TEST_DownloadNext(&stop) == DownloadStep::ItemTaken) {
        }
    }
};

TEST_F(PruneAfterFailureTest, FailingFeedKeepsItsOwnFilesAndTheOthersArePruned) {
    // Batch 1: feed 1 answers, feed 2 not yet: its files are unknown, nothing goes.
    service_.feeds[1].items = {{"", "http://h/a.jpg", ""}};
    service_.feeds[2].result = QueryResult::Failed;
    Batch();
    EXPECT_TRUE(test::Exists(folder_.File("old.jpg")));
    EXPECT_TRUE(host_.HasLogContaining("PruneLocalFiles: put off, feed 1 has not been read"));
    // As after a restart: the marks of batch 1 are gone with a reread of the list.
    ASSERT_TRUE(engine_.TEST_Records().Save(platform::RealFileSystem(), folder_.Path()).list);
    engine_.TEST_ReadLocalFileList();

    // Batch 2: feed 1 fails, feed 2 answers without old.jpg.
    std::this_thread::sleep_for(120ms);  // feed 2's retry wait
    EditFeeds(engine_, [&](FeedArray& feeds) {
        feeds[0].LastTm = platform::TickCount() - (180u * 60000u + 1000u);
    });  // due again
    service_.feeds[1].result = QueryResult::Failed;
    service_.feeds[2] = ScriptedFeed{QueryResult::Ok, 0, {{"", "http://h/c.jpg", ""}}};
    Batch();
    EXPECT_FALSE(test::Exists(folder_.File("old.jpg")));
    EXPECT_EQ(engine_.TEST_Records().Map().count("http://h/old.jpg"), 0u);
    EXPECT_TRUE(test::Exists(folder_.File("a.jpg")));
    EXPECT_TRUE(test::Exists(folder_.File("c.jpg")));
    EXPECT_TRUE(host_.HasLogContaining(
        "PruneLocalFiles: feed 0 could not be read; the files of its last answer (1) are kept"));
}

TEST_F(PruneAfterFailureTest, FeedThatNeverAnswersPutsPruningOffForABoundedTime) {
    engine_.Options().unansweredFeedPruneDelay = 300ms;
    service_.feeds[1].items = {{"", "http://h/a.jpg", ""}};
    service_.feeds[2].result = QueryResult::Failed;
    Batch();
    EXPECT_TRUE(test::Exists(folder_.File("old.jpg")));
    EXPECT_TRUE(test::Exists(folder_.File("c.jpg")));

    std::this_thread::sleep_for(350ms);
    engine_.TEST_DownloadQueue() = {{"", "http://h/a.jpg", ""}};
    Batch();
    EXPECT_TRUE(host_.HasLogContaining("PruneLocalFiles: feed 1 has not been read for "));
    EXPECT_FALSE(test::Exists(folder_.File("old.jpg")));
    EXPECT_FALSE(test::Exists(folder_.File("c.jpg")));
    EXPECT_TRUE(test::Exists(folder_.File("a.jpg")));
}

// The health record keeps when a feed last answered across restarts: a feed
// refused for good stops pruning for a day at most, however often the worker
// is started anew.
TEST_F(PruneAfterFailureTest, FeedSilentForADayOnRecordPutsPruningOffNoLonger) {
    const std::string record = folder_.File("state/health.json");
    const auto openRecordAnsweredAgo = [&](std::chrono::hours ago) {
        HealthRecord earlier;
        FeedHealth tagFeed;
        tagFeed.index = 1;
        tagFeed.type = 2;
        tagFeed.lastSuccess = platform::WallClock::now() - ago;
        earlier.feeds = {tagFeed};
        std::filesystem::create_directories(folder_.File("state"));
        test::WriteFile(record, HealthRecordToJson(earlier));
        engine_.OpenHealthRecord(record);
    };
    service_.feeds[1].items = {{"", "http://h/a.jpg", ""}};
    service_.feeds[2].result = QueryResult::Failed;
    openRecordAnsweredAgo(std::chrono::hours(1));
    Batch();
    EXPECT_TRUE(test::Exists(folder_.File("old.jpg")));
    EXPECT_TRUE(host_.HasLogContaining("PruneLocalFiles: put off, feed 1 has not been read"));

    openRecordAnsweredAgo(std::chrono::hours(25));
    engine_.TEST_DownloadQueue() = {{"", "http://h/a.jpg", ""}};
    Batch();
    EXPECT_TRUE(host_.HasLogContaining("PruneLocalFiles: feed 1 has not been read for 24 h"));
    EXPECT_FALSE(test::Exists(folder_.File("old.jpg")));
    EXPECT_TRUE(test::Exists(folder_.File("a.jpg")));
}

// A batch that lasts (a busy media host holds it open) sees feed 1 answer
// twice; what left it between the answers goes when the batch closes.
TEST_F(PruneAfterFailureTest, WhatLeftAFeedWithinOneBatchIsPrunedAtItsEnd) {
    std::atomic<int32_t> stop{0};
    service_.feeds[1].items = {{"", "http://h/a.jpg", ""}, {"", "http://h/old.jpg", ""}};
    service_.feeds[2].items = {{"", "http://h/c.jpg", ""}};
    (void)engine_.TEST_Refresh(&stop);
    ASSERT_EQ(engine_.TEST_DownloadNext(&stop), DownloadStep::ItemTaken);  // marks the three seen

    EditFeeds(engine_, [&](FeedArray& feeds) {
        feeds[0].LastTm = platform::TickCount() - (180u * 60000u + 1000u);
    });  // due again
    service_.feeds[1].items = {{"", "http://h/a.jpg", ""}};
    (void)engine_.TEST_Refresh(&stop);
    while (engine_.TEST_DownloadNext(&stop) == DownloadStep::ItemTaken) {
    }
    EXPECT_FALSE(test::Exists(folder_.File("old.jpg")));
    EXPECT_TRUE(test::Exists(folder_.File("a.jpg")));
    EXPECT_TRUE(test::Exists(folder_.File("c.jpg")));
}

TEST_F(RefreshTest, WithoutATokenNothingIsQueriedAndThatIsSaidOnce) {
    engine_.SetToken("");
    SetFeeds(engine_, {Feed(1), Feed(2)});
    EXPECT_EQ(engine_.TEST_Refresh(), QueryResult::Failed);
    EXPECT_EQ(engine_.TEST_Refresh(), QueryResult::Failed);
    EXPECT_TRUE(tokens_.empty());
    int said = 0;
    for (const std::string& line : host_.LogLines())
        said += line == "Refresh: not authorized; sign in in the plug-in's settings";
    EXPECT_EQ(said, 1);
    EXPECT_FALSE(host_.HasLogContaining("Refresh 0:"));
}

int CountContaining(const std::vector<std::string>& lines, const std::string& text) {
    return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
        return l.find(text) != std::string::npos;
    }));
}

struct QuietCase {
    int hour, from, to;
    bool quiet;
};

class QuietHourRuleTest : public ::testing::TestWithParam<QuietCase> {};

TEST_P(QuietHourRuleTest, HourIsInsideFromUpToTo) {
    const QuietCase& c = GetParam();
    EXPECT_EQ(IsQuietHour(c.hour, c.from, c.to), c.quiet)
        << c.hour << " in " << c.from << " to " << c.to;
}

INSTANTIATE_TEST_SUITE_P(OverMidnightAndWithin, QuietHourRuleTest,
                         ::testing::Values(QuietCase{23, 23, 7, true}, QuietCase{0, 23, 7, true},
                                           QuietCase{6, 23, 7, true}, QuietCase{7, 23, 7, false},
                                           QuietCase{22, 23, 7, false}, QuietCase{12, 23, 7, false},
                                           QuietCase{9, 9, 17, true}, QuietCase{16, 9, 17, true},
                                           QuietCase{17, 9, 17, false}, QuietCase{8, 9, 17, false},
                                           QuietCase{0, 0, 0, false}, QuietCase{5, 5, 5, false},
                                           QuietCase{22, 22, 0, true}, QuietCase{0, 22, 0, false},
                                           QuietCase{0, 0, 1, true}, QuietCase{23, 0, 23, false}));

// The real clock, but for the wall time, which a test sets to an hour of today.
class HourClock final : public platform::Clock {
  public:
    uint32_t TickCount() override { return platform::RealClock().TickCount(); }
    int64_t WallSeconds() override { return wallSeconds_; }
    bool WaitFor(platform::AutoResetEvent& event, std::chrono::milliseconds timeout) override {
        return platform::RealClock().WaitFor(event, timeout);
    }
    void SetLocalHour(int hour) {
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        local.tm_hour = hour;
        local.tm_min = 30;
        local.tm_isdst = -1;
        wallSeconds_ = static_cast<int64_t>(std::mktime(&local));
    }

  private:
    int64_t wallSeconds_ = 0;
};

class QuietHoursTest : public ::testing::Test {
  protected:
    QuietHoursTest() {
        settings_.tmUpdate = 0;
        settings_.ImgFolder = folder_.Path();
        settings_.QuietFrom = 23;
        settings_.QuietTo = 7;
        engine_.Options().queryFactory = [this](const std::string&, const PluginSettings&,
                                                const std::atomic<int32_t>*) {
            return std::make_unique<FakeQuery>(service_);
        };
        engine_.SetToken("tok");
        SetFeeds(engine_, {Feed(1)});
    }
    int Said(const std::string& text) { return CountContaining(host_.LogLines(), text); }

    test::TempDir folder_;
    test::FakeHost host_;
    test::ScopedHostCallback callback_{&test::FakeHost::Callback};
    FakeService service_;
    PluginSettings settings_;
    HourClock clock_;
    CFeedEngine engine_{settings_, platform::RealFileSystem(), clock_};
};

TEST_F(QuietHoursTest, NoQueryInQuietHoursOverMidnightAndEachChangeIsSaidOnce) {
    clock_.SetLocalHour(2);
    (void)engine_.RunPass(nullptr);
    clock_.SetLocalHour(6);
    (void)engine_.RunPass(nullptr);
    EXPECT_TRUE(service_.calls.empty());
    EXPECT_EQ(Said("Refresh: quiet hours begin"), 1);
    EXPECT_EQ(Said("Refresh: quiet hours end"), 0);

    clock_.SetLocalHour(7);
    (void)engine_.RunPass(nullptr);
    (void)engine_.RunPass(nullptr);
    EXPECT_EQ(service_.calls[1], 1);
    EXPECT_EQ(Said("Refresh: quiet hours end"), 1);

    clock_.SetLocalHour(23);
    (void)engine_.RunPass(nullptr);
    EXPECT_EQ(Said("Refresh: quiet hours begin"), 2);
}

TEST_F(QuietHoursTest, EqualHoursMeanNoQuietHours) {
    engine_.Configuration().Change([](EngineConfiguration::Live& live) {
        live.Settings.QuietFrom = live.Settings.QuietTo = 2;
    });
    clock_.SetLocalHour(2);
    (void)engine_.RunPass(nullptr);
    EXPECT_EQ(service_.calls[1], 1);
    EXPECT_EQ(Said("Refresh: quiet hours"), 0);
}

TEST_F(RefreshTest, RefusedTokenIsSaidOnceAndHeldBackUntilANewTokenArrives) {
    test::StubServer stub;  // answers 400 to every token but "tok-alice"
    ::setenv("PIXOLUNE_API_BASE", stub.ApiBase().c_str(), 1);
    engine_.Options().queryFactory = ServiceFeedQueryFactory();
    SetFeeds(engine_, {Feed(1), Feed(2)});
    engine_.SetToken("tok-gone");
    EXPECT_EQ(engine_.TEST_Refresh(), QueryResult::Failed);
    std::this_thread::sleep_for(150ms);  // past a failed feed's own wait
    EXPECT_EQ(engine_.TEST_Refresh(), QueryResult::Failed);
    std::vector<std::string> requests = stub.Requests();
    // One feed query and the account check that confirmed the refusal; nothing more.
    EXPECT_EQ(CountContaining(requests, "access_token=tok-gone"), 2);
    EXPECT_EQ(CountContaining(requests, "/v1/users/self/?access_token=tok-gone"), 1);
    EXPECT_EQ(CountContaining(host_.LogLines(),
                              "Refresh: the service refused the access token; authorize the "
                              "plug-in again in its settings"),
              1);
    // Saved again unchanged, the token stays held.
    engine_.SetToken("tok-gone");
    EXPECT_EQ(engine_.TEST_Refresh(), QueryResult::Failed);
    EXPECT_EQ(CountContaining(stub.Requests(), "access_token=tok-gone"), 2);
    // A server fault on the hourly try says nothing of the token: still held, and
    // no other feed is read with it.
    stub.SetFault(R"({"path":"/v1/users/self/feed","mode":"status","status":500})");
    platform::ShiftTickCount(61u * 60u * 1000u);
    EXPECT_EQ(engine_.TEST_Refresh(), QueryResult::Failed);
    platform::ShiftTickCount(0);
    stub.ClearFaults();
    EXPECT_EQ(CountContaining(stub.Requests(), "access_token=tok-gone"), 3);
    EXPECT_FALSE(host_.HasLogContaining("no longer refuses"));

    engine_.SetToken("tok-alice");
    EXPECT_EQ(engine_.TEST_Refresh(), QueryResult::Ok);
    requests = stub.Requests();
    EXPECT_GE(CountContaining(requests, "/v1/users/self/feed?access_token=tok-alice"), 1);
    EXPECT_GE(CountContaining(requests, "/v1/users/self/media/recent?access_token=tok-alice"), 1);
    EXPECT_EQ(FeedsOf(engine_)[0].Retries, 0);
    EXPECT_TRUE(host_.HasLogContaining("Refresh: a new access token arrived"));
    ::unsetenv("PIXOLUNE_API_BASE");
}

TEST_F(RefreshTest, A400OfOneFeedWithAnAcceptedTokenIsAnOrdinaryFailure) {
    test::StubServer stub;
    ::setenv("PIXOLUNE_API_BASE", stub.ApiBase().c_str(), 1);
    stub.SetFault(R"({"path":"/v1/users/self/feed","mode":"status","status":400})");
    engine_.Options().queryFactory = ServiceFeedQueryFactory();
    SetFeeds(engine_, {Feed(1), Feed(2)});
    engine_.SetToken("tok-alice");
    EXPECT_EQ(engine_.TEST_Refresh(), QueryResult::Ok);  // the second feed is still read
    EXPECT_TRUE(host_.HasLogContaining("Refresh 0: query failed, next try in 100 ms"));
    EXPECT_FALSE(host_.HasLogContaining("refused the access token"));
    ::unsetenv("PIXOLUNE_API_BASE");
}

}  // namespace
}  // namespace pixolune
