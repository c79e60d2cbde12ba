// Hostile servers on loopback against both kinds of request the plug-in makes:
// the API query of the service client and the engine's media download. Each
// attack must end with a log line within the connect time-out plus the
// low-speed time plus 5 s of the limits in force, and leave no file behind.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "engine/feed_engine.h"
#include "engine_test_support.h"
#include "fake_host.h"
#include "host_callback_guard.h"
#include "model/host_link.h"
#include "service/pixolune_client.h"
#include "tests/support/stub_server.h"

namespace pixolune::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The plug-in's rules for API requests (less than 1 byte/s, no complete
// reply in time) over shorter times.
platform::HttpLimits TestLimits() {
    platform::HttpLimits limits = platform::ApiRequestLimits();
    limits.connectTimeoutSeconds = 2;
    limits.lowSpeedBytesPerSecond = 1;
    limits.lowSpeedSeconds = 3;
    limits.totalTimeoutSeconds = 4;
    return limits;
}

// The plug-in's rule for media files (less than 1 KiB/s on average) over a shorter time.
platform::HttpLimits MediaTestLimits() {
    platform::HttpLimits limits = platform::MediaTransferLimits();
    limits.connectTimeoutSeconds = 2;
    limits.lowSpeedSeconds = 3;
    return limits;
}

std::chrono::milliseconds Bound(const platform::HttpLimits& limits) {
    return std::chrono::seconds(limits.connectTimeoutSeconds + limits.lowSpeedSeconds + 5);
}

const char* kScenario =
    R"({"page_size":20,"tokens":{"tok-alice":{"username":"alice"}},"feeds":{"feed":[)"
    R"({"type":"image","media":"a.jpg","caption":"A","user":"Ann"}]}})";

struct Attack {
    const char* name;
    const char* fault;      // the fault's members besides its path
    const char* apiLine;    // a log line of the API query that fails
    const char* mediaLine;  // the start of a log line of the failed download
};

class NetworkAttackTest : public ::testing::TestWithParam<Attack> {
  protected:
    NetworkAttackTest() {
        ::setenv("PIXOLUNE_API_BASE", stub_.ApiBase().c_str(), 1);
        settings_.ImgFolder = media_.Path();
        MediaDownloadLimits limits;
        limits.http = MediaTestLimits();
        // An endless body reaches this in well under a second on loopback.
        limits.maxFileBytes = 8u << 20;
        engine_.Options().downloadLimits = limits;
    }
    ~NetworkAttackTest() override { ::unsetenv("PIXOLUNE_API_BASE"); }

    void SetFault(const std::string& path) {
        stub_.SetFault(R"({"path":")" + path + R"(",)" + GetParam().fault + "}");
    }

    StubServer stub_{StubServer::Options{kScenario, false, "", "", {}}};
    TempDir media_;
    FakeHost host_;
    test::ScopedHostCallback callback_{&test::FakeHost::Callback};
    PluginSettings settings_;
    CFeedEngine engine_{settings_};
};

TEST_P(NetworkAttackTest, ApiQueryEndsWithALogLineWithinTheBound) {
    SetFault("/v1/users/self/feed");
    RetrievalOptions options;
    options.limits = TestLimits();
    CPixoluneClient client("tok-alice", MediaKinds{}, options);
    CPixoluneFeed feed;
    feed.Type = kFeedMine;
    feed.MaxP = 100;
    const auto start = Clock::now();
    EXPECT_EQ(client.QueryFeed(feed), QueryResult::Failed);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    EXPECT_LT(took, Bound(options.limits));
    EXPECT_TRUE(host_.HasLogContaining(GetParam().apiLine))
        << ::testing::PrintToString(host_.LogLines());
    RecordProperty("api_ms", static_cast<int>(took.count()));
    std::printf("api %s: %lld ms (bound %lld ms)\n", GetParam().name,
                static_cast<long long>(took.count()),
                static_cast<long long>(Bound(options.limits).count()));
}

TEST_P(NetworkAttackTest, MediaDownloadEndsWithALogLineWithinTheBoundAndLeavesNoFile) {
    SetFault("/media/a.jpg");
    CPixoluneItem item;
    item.Url = stub_.BaseUrl() + "/media/a.jpg";
    engine_.TEST_DownloadQueue().push_back(item);
    const std::atomic<int32_t> stop{0};
    const auto start = Clock::now();
    // Steps hand control back now and then; the batch ends when the item does.
    while (engine_.TEST_DownloadNext(&stop) == DownloadStep::ItemTaken &&
           Clock::now() - start < 2 * Bound(engine_.Options().downloadLimits.http)) {
    }
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    EXPECT_LT(took, Bound(engine_.Options().downloadLimits.http));
    EXPECT_TRUE(host_.HasLogContaining(GetParam().mediaLine))
        << ::testing::PrintToString(host_.LogLines());
    EXPECT_TRUE(FolderNames(media_.Path()).empty())
        << ::testing::PrintToString(FolderNames(media_.Path()));
    EXPECT_TRUE(engine_.TEST_Records().Map().empty());
    RecordProperty("media_ms", static_cast<int>(took.count()));
    std::printf("media %s: %lld ms (bound %lld ms)\n", GetParam().name,
                static_cast<long long>(took.count()),
                static_cast<long long>(Bound(engine_.Options().downloadLimits.http).count()));
}

INSTANTIATE_TEST_SUITE_P(
    Attacks, NetworkAttackTest,
    ::testing::Values(
        Attack{"stall", R"("mode":"stall")", "HttpQueryInfo() failed, error 28",
               "DownloadImage(), Error 28"},
        Attack{"trickle", R"("mode":"trickle","interval_ms":10000)",
               "InternetReadWholeFile: error 28 returned by InternetReadFile",
               "DownloadImage(), Error 28"},
        Attack{"trickle_5_bytes_per_second", R"("mode":"trickle","interval_ms":200)",
               "QueryServer(), no complete reply within 4 s, url=",
               "DownloadImage(), slower than 1024 bytes/s for 3 s, url="},
        Attack{"redirect_loop", R"("mode":"redirect_loop")", "InternetOpenUrl() failed, error 47",
               "DownloadImage(), SendRequest failed"},
        Attack{"redirect_to_file", R"("mode":"redirect_to","location":"file:///etc/passwd")",
               "InternetOpenUrl() failed, error 1", "DownloadImage(), SendRequest failed"},
        Attack{"endless_body", R"("mode":"endless_body")",
               "InternetReadWholeFile: reply larger than 16777216 bytes refused",
               "DownloadImage(), file larger than 8388608 bytes refused"}),
    [](const ::testing::TestParamInfo<Attack>& info) { return std::string(info.param.name); });

// Under the real size cap an endless body runs for a long time; the stop
// request must still end it at once.
TEST(NetworkAttackStop, StopEndsAnEndlessMediaBodyPromptly) {
    test::ScopedHostCallback callback(&test::FakeHost::Callback);
    StubServer stub{StubServer::Options{kScenario, false, "", "", {}}};
    stub.SetFault(R"({"path":"/media/a.jpg","mode":"endless_body"})");
    TempDir media;
    FakeHost host;
    PluginSettings settings;
    settings.ImgFolder = media.Path();
    {
        CFeedEngine engine{settings};
        CPixoluneItem item;
        item.Url = stub.BaseUrl() + "/media/a.jpg";
        engine.TEST_DownloadQueue().push_back(item);
        std::atomic<int32_t> stop{0};
        Clock::time_point stopped;
        std::thread worker([&] { (void)engine.TEST_DownloadNext(&stop); });
        // Wait until bytes flow, then stop.
        for (int i = 0; i < 250 && FolderNames(media.Path()).empty(); ++i)
            std::this_thread::sleep_for(20ms);
        std::this_thread::sleep_for(300ms);
        stopped = Clock::now();
        stop = 1;
        worker.join();
        const auto took = Clock::now() - stopped;
        EXPECT_LT(took, 1s);
        std::printf("stop of an endless media body: %lld ms\n",
                    static_cast<long long>(
                        std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
        EXPECT_TRUE(FolderNames(media.Path()).empty());
        EXPECT_TRUE(engine.TEST_Records().Map().empty());
    }
}

}  // namespace
}  // namespace pixolune::test
