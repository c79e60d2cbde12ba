#include "engine/health_recorder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <string>

#include "engine_test_support.h"
#include "fake_host.h"
#include "host_callback_guard.h"
#include "model/host_link.h"

namespace pixolune {
namespace {

using namespace std::chrono_literals;
using platform::WallTime;

// 2026-12-02 09:14:05 UTC.
const WallTime kStart{std::chrono::seconds(1796202845)};

CPixoluneFeed Feed(int type, std::string tags = "") {
    CPixoluneFeed feed;
    feed.Type = type;
    feed.Tags = std::move(tags);
    return feed;
}

class HealthRecorderTest : public ::testing::Test {
  protected:
    HealthRecord WrittenRecord() const {
        const auto record = HealthRecordFromJson(test::ReadFile(Path()));
        EXPECT_TRUE(record.has_value());
        return record.value_or(HealthRecord{});
    }
    std::string Path() const { return folder_.Path() + "/state/kaleidra/health-KAL.json"; }

    test::TempDir folder_;
    test::FakeHost host_;
    test::ScopedHostCallback callback_{&test::FakeHost::Callback};
    WallTime now_ = kStart;
    HealthRecorder recorder_{platform::RealFileSystem(), [this] { return now_; }};
};

// A board that booted in 1970 fails every certificate: the clock is blamed,
// not the service; a certificate refused at a plausible date blames nothing.
TEST_F(HealthRecorderTest, ARefusedCertificateBlamesTheClockOnlyWhenItReadsBeforeTheRelease) {
    now_ = WallTime(std::chrono::hours(24));
    recorder_.FeedFailed(0, Feed(1), 60, 30s);
    EXPECT_EQ(JudgeHealth(recorder_.Record(), now_), HealthVerdict::ClockLooksWrong);
    recorder_.FeedRefreshed(0, Feed(1), 0);
    EXPECT_FALSE(recorder_.Record().clockLooksWrong);
    now_ = kStart;
    recorder_.FeedFailed(0, Feed(1), 60, 30s);
    EXPECT_FALSE(recorder_.Record().clockLooksWrong);
    EXPECT_EQ(JudgeHealth(recorder_.Record(), now_), HealthVerdict::ServiceFailing);
}

TEST_F(HealthRecorderTest, TheFileReadsBackAsTheRecordInAPrivateFolder) {
    recorder_.Open(Path());
    recorder_.RefreshBegins(180, 0, 0);
    now_ += 90s;
    recorder_.FeedRefreshed(0, Feed(1), 25);
    recorder_.FeedFailed(1, Feed(5, "sunset,beach"), 503, 30s);
    recorder_.FeedFailed(1, Feed(5, "sunset,beach"), 503, 30s);
    recorder_.FolderUsable(folder_.Path());
    test::WriteFile(folder_.File("a.jpg"), std::string(1234, 'a'));
    recorder_.FileStored(folder_.File("a.jpg"));
    recorder_.DownloadFailed();
    recorder_.BatchClosed({true, 3, 40, 0, false, folder_.Path()});

    const HealthRecord written = WrittenRecord();
    EXPECT_EQ(written, recorder_.Record());
    EXPECT_EQ(written.State(), HealthState::Working);
    ASSERT_EQ(written.feeds.size(), 2u);
    EXPECT_EQ(written.feeds[0].lastSuccess, kStart + 90s);
    EXPECT_EQ(written.feeds[1].failuresInARow, 2);
    EXPECT_EQ(written.feeds[1].lastError, "HTTP status 503");
    EXPECT_EQ(written.feeds[1].tags, "sunset,beach");
    EXPECT_EQ(written.nextRefresh, kStart + 120s);  // the failed feed's retry comes first
    EXPECT_EQ(written.lastBatch, (BatchHealth{kStart + 90s, 1, 3, 1, 1234}));
    EXPECT_EQ(written.listedFiles, 40u);
    EXPECT_TRUE(written.freeBytes.has_value());
    // A restart keeps since when each feed has been read.
    now_ += 1h;
    HealthRecorder restarted(platform::RealFileSystem(), [this] { return now_; });
    restarted.Open(Path());
    restarted.RefreshEnded();  // the first write comes with the worker's first word
    EXPECT_EQ(restarted.Record().feeds[0].lastSuccess, kStart + 90s);
    EXPECT_EQ(restarted.Record().lastBatch, written.lastBatch);
    EXPECT_EQ(WrittenRecord().started, kStart + 90s + 1h);

    struct stat status {};
    ASSERT_EQ(::stat((folder_.Path() + "/state/kaleidra").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0700u);
    // A feed replaced in the dialog does not inherit the old one's failures.
    recorder_.FeedRefreshed(1, Feed(3), 0);
    EXPECT_EQ(recorder_.Record().feeds[1].failuresInARow, 0);
    EXPECT_EQ(recorder_.Record().feeds[1].type, 3);
    recorder_.FeedsCounted(1);
    EXPECT_EQ(recorder_.Record().feeds.size(), 1u);
}

TEST_F(HealthRecorderTest, ARefusedTokenIsWrittenAtOnceAndAnAnswerClearsIt) {
    recorder_.Open(Path());
    now_ += 1h;
    recorder_.TokenRefused(60min);
    // No batch closed: a change of state is written by itself.
    HealthRecord written = WrittenRecord();
    EXPECT_EQ(written.State(), HealthState::WaitingForSignIn);
    EXPECT_EQ(written.tokenRefusedAt, kStart + 1h);
    EXPECT_EQ(written.nextRefresh, kStart + 2h);
    now_ += 1h;
    recorder_.TokenRefused(60min);
    EXPECT_EQ(WrittenRecord().tokenRefusedAt, kStart + 1h);  // since when, not the last try

    recorder_.FeedRefreshed(0, Feed(1), 0);
    written = WrittenRecord();
    EXPECT_EQ(written.State(), HealthState::Working);
    EXPECT_FALSE(written.tokenRefusedAt.has_value());

    recorder_.FolderUnusable("/gone", "DownloadNext(): the media folder /gone can't be used (x)");
    EXPECT_EQ(WrittenRecord().State(), HealthState::MediaFolderUnusable);
    EXPECT_EQ(WrittenRecord().mediaFolderProblem, "the media folder /gone can't be used (x)");
}

TEST_F(HealthRecorderTest, ARecordThatCanNotBeWrittenIsSaidOnceAndFailsNothing) {
    test::WriteFile(folder_.File("state"), "a file where the folder belongs");
    recorder_.Open(Path());
    recorder_.TokenRefused(60min);
    recorder_.FeedRefreshed(0, Feed(1), 0);
    recorder_.BatchClosed({true, 0, 0, 0, false, folder_.Path()});
    const auto lines = host_.LogLines();
    EXPECT_EQ(
        std::count_if(lines.begin(), lines.end(),
                      [](const std::string& line) { return line.rfind("HealthRecord: ", 0) == 0; }),
        1)
        << ::testing::PrintToString(lines);
    EXPECT_EQ(recorder_.Record().lastBatch.closedAt, kStart);
}

struct StaleCase {
    const char* name;
    int intervalMinutes;
    bool refreshed;  // else only started
    std::chrono::seconds later;
    bool stale;
    int quietHours = 0;  // quiet hours from the second hour after the refresh's on
};

void PrintTo(const StaleCase& c, std::ostream* out) {
    *out << c.name;
}

class StaleRuleTest : public HealthRecorderTest, public ::testing::WithParamInterface<StaleCase> {};

TEST_P(StaleRuleTest, TwiceTheIntervalAndAnHourWithoutARefresh) {
    const StaleCase& c = GetParam();
    recorder_.Open(Path());
    const std::time_t start = std::chrono::system_clock::to_time_t(kStart);
    std::tm local{};
    localtime_r(&start, &local);
    const int quietFrom = (local.tm_hour + 2) % 24;
    recorder_.RefreshBegins(c.intervalMinutes, quietFrom, (quietFrom + c.quietHours) % 24);
    now_ += 10min;
    if (c.refreshed) recorder_.FeedRefreshed(0, Feed(1), 0);
    recorder_.BatchClosed({false, 0, 0, 0, false, {}});
    const WallTime since = c.refreshed ? kStart + 10min : kStart;
    EXPECT_EQ(WrittenRecord().IsStale(since + c.later), c.stale);
}

INSTANTIATE_TEST_SUITE_P(
    Intervals, StaleRuleTest,
    ::testing::Values(StaleCase{"SevenHoursAfterARefreshEvery3h", 180, true, 7h, false},
                      StaleCase{"ASecondMore", 180, true, 7h + 1s, true},
                      StaleCase{"Every30MinAfter2h", 30, true, 2h + 1s, true},
                      StaleCase{"NoRefreshYetCountsFromTheStart", 30, false, 2h, false},
                      StaleCase{"NoRefreshASecondMore", 30, false, 2h + 1s, true},
                      StaleCase{"IntervalZeroIsNeverStale", 0, true, 24h * 30, false},
                      // Quiet hours do not count: 22 to 7 with a 3-hour interval is no stale night.
                      StaleCase{"NineQuietHoursAreAddedToTheSeven", 180, true, 16h, false, 9},
                      StaleCase{"ASecondBeyondThem", 180, true, 16h + 1s, true, 9}),
    [](const ::testing::TestParamInfo<StaleCase>& info) { return info.param.name; });

}  // namespace
}  // namespace pixolune
