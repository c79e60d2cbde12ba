// The client against the stand-in service process: every feed type, paging,
// tags, the account query, https, and the service's fault modes.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "model/feed_kinds.h"
#include "service/pixolune_client.h"
#include "tests/service/log_capture.h"
#include "tests/service/quick_options.h"
#include "tests/support/stub_server.h"

namespace pixolune {
namespace {

using namespace std::chrono_literals;
using test::LogCapture;
using test::StubServer;

std::string Items(const std::string& prefix, int count, bool withVideos = false) {
    std::string items;
    for (int i = 0; i < count; ++i) {
        const bool video = withVideos && i % 2 == 1;
        if (i) items += ",";
        items += R"({"type":")" + std::string(video ? "video" : "image") + R"(","media":")" +
                 prefix + "-" + std::to_string(i) + (video ? ".mp4" : ".jpg") +
                 R"(","caption":"Caption )" + prefix + std::to_string(i) +
                 R"(","caption_from":"Cap Author","user":"Poster","size":512})";
    }
    return "[" + items + "]";
}

std::string Scenario() {
    return R"({"page_size":20,
        "tokens":{"tok-alice":{"username":"alice","full_name":"Alice Example"},
                  "tok-nameless":{"username":"nobody"}},
        "feeds":{"feed":)" +
           Items("feed", 45, true) + R"(,"recent":)" + Items("recent", 3) + R"(,"popular":)" +
           Items("popular", 25) + R"(,"liked":)" + Items("liked", 2) + R"(,"tags":{"sunset":)" +
           Items("sunset", 3) + R"(,"a b#c":)" + Items("odd", 2) + "}}}";
}

CPixoluneFeed Feed(int type, int maxP, const std::string& tags = "") {
    CPixoluneFeed feed;
    feed.Type = type;
    feed.MaxP = maxP;
    feed.Tags = tags;
    return feed;
}

using test::QuickOptions;

class StubClientTest : public ::testing::Test {
  protected:
    StubClientTest() : stub(StubServer::Options{Scenario(), false, "", "", {}}) {}
    void SetUp() override { setenv("PIXOLUNE_API_BASE", stub.ApiBase().c_str(), 1); }
    void TearDown() override {
        unsetenv("PIXOLUNE_API_BASE");
        for (const std::string& line : log.All())
            EXPECT_EQ(line.find("tok-alice"), std::string::npos) << "token logged: " << line;
    }

    LogCapture log;
    StubServer stub;
};

struct TypeCase {
    int type;
    size_t items;
    std::string caption;  // of the first item
    std::string owner;
};

class StubFeedTypeTest : public StubClientTest, public ::testing::WithParamInterface<TypeCase> {};

TEST_P(StubFeedTypeTest, ReadsEveryFeedTypeToItsEnd) {
    const TypeCase& c = GetParam();
    CPixoluneClient client("tok-alice");
    CPixoluneFeed feed = Feed(c.type, 500, "sunset");
    int total = 0;
    ASSERT_EQ(client.QueryFeed(feed, &total), QueryResult::Ok) << client.LastError;
    EXPECT_EQ(feed.Items.size(), c.items);
    EXPECT_EQ(total, static_cast<int>(c.items));
    ASSERT_FALSE(feed.Items.empty());
    EXPECT_EQ(feed.Items[0].Caption, c.caption);
    EXPECT_EQ(feed.Items[0].Owner, c.owner);
    for (const CPixoluneItem& item : feed.Items)
        EXPECT_EQ(item.Url.rfind(stub.BaseUrl() + "/", 0), 0u) << item.Url;
}

INSTANTIATE_TEST_SUITE_P(
    Types, StubFeedTypeTest,
    ::testing::Values(TypeCase{kFeedMine, 45, "", "Poster"},
                      TypeCase{kFeedMyMedia, 3, "Caption recent0", "Cap Author"},
                      TypeCase{kFeedPopular, 25, "Caption popular0", "Cap Author"},
                      TypeCase{kFeedLiked, 2, "", "Poster"},
                      TypeCase{kFeedTagged, 3, "Caption sunset0", "Poster"}));

// A kind added to the table without its route in the stand-in fails here.
TEST_F(StubClientTest, EveryFeedKindIsAnsweredByTheStandIn) {
    for (const FeedKind& kind : kFeedKinds) {
        CPixoluneClient client("tok-alice");
        CPixoluneFeed feed = Feed(kind.type, 5, "sunset");
        EXPECT_EQ(client.QueryFeed(feed), QueryResult::Ok)
            << kind.label << ": " << client.LastError;
        EXPECT_FALSE(feed.Items.empty()) << kind.label;
    }
}

TEST_F(StubClientTest, PagesAcrossSeveralPagesAndCutsInsideOne) {
    CPixoluneClient client("tok-alice");
    CPixoluneFeed all = Feed(kFeedMine, 500);
    ASSERT_EQ(client.QueryFeed(all), QueryResult::Ok);
    EXPECT_EQ(all.Items.size(), 45u);
    EXPECT_EQ(stub.Requests().size(), 3u);
    EXPECT_TRUE(log.Has("QueryFeed: data.size()=5, Page=2, Media=45 (500), tot=45"));

    stub.ClearRequests();
    CPixoluneFeed cut = Feed(kFeedMine, 25);
    ASSERT_EQ(client.QueryFeed(cut), QueryResult::Ok);
    EXPECT_EQ(stub.Requests().size(), 2u);
    ASSERT_EQ(cut.Items.size(), 25u);
    for (size_t i = 0; i < cut.Items.size(); ++i) EXPECT_EQ(cut.Items[i].Url, all.Items[i].Url);
}

TEST_F(StubClientTest, FiltersPhotosAndVideos) {
    CPixoluneClient photos("tok-alice", MediaKinds{true, false});
    CPixoluneClient videos("tok-alice", MediaKinds{false, true});
    CPixoluneFeed photoFeed = Feed(kFeedMine, 500);
    CPixoluneFeed videoFeed = Feed(kFeedMine, 500);
    ASSERT_EQ(photos.QueryFeed(photoFeed), QueryResult::Ok);
    ASSERT_EQ(videos.QueryFeed(videoFeed), QueryResult::Ok);
    EXPECT_EQ(photoFeed.Items.size(), 23u);
    EXPECT_EQ(videoFeed.Items.size(), 22u);
    for (const CPixoluneItem& item : videoFeed.Items)
        EXPECT_NE(item.Url.find(".mp4"), std::string::npos) << item.Url;
}

TEST_F(StubClientTest, TagsAreQueriedInTurnUnderTheirEncodedPath) {
    CPixoluneClient client("tok-alice");
    CPixoluneFeed feed = Feed(kFeedTagged, 2, " sunset ,, a b#c ,");
    ASSERT_EQ(client.QueryFeed(feed), QueryResult::Ok);
    const std::vector<std::string> requests = stub.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0], "/v1/tags/sunset/media/recent?access_token=tok-alice");
    EXPECT_EQ(requests[1], "/v1/tags/a%20b%23c/media/recent?access_token=tok-alice");
    ASSERT_EQ(feed.Items.size(), 4u);
    EXPECT_EQ(feed.Items[2].Caption, "Caption odd0");
}

TEST_F(StubClientTest, InvalidTokenFailsBothQueries) {
    CPixoluneClient client("tok-unknown");
    CPixoluneFeed feed = Feed(kFeedMine, 10);
    EXPECT_EQ(client.QueryFeed(feed), QueryResult::Failed);
    EXPECT_EQ(client.LastError, "Connection to Pixolune server failed with error 400");
    EXPECT_TRUE(log.Has("HttpQueryInfo()  error returned by server: 400"));
    std::string fullName = "x", userName = "y";
    EXPECT_EQ(client.QueryUser(fullName, userName), QueryResult::Failed);
    EXPECT_EQ(client.LastError, "Connection to Pixolune server failed with error 400");
    EXPECT_EQ(fullName, "x");
}

TEST_F(StubClientTest, QueryUserNamesTheAccount) {
    std::string fullName, userName;
    CPixoluneClient alice("tok-alice");
    ASSERT_EQ(alice.QueryUser(fullName, userName), QueryResult::Ok);
    EXPECT_EQ(fullName, "Alice Example");
    EXPECT_EQ(userName, "alice");
    EXPECT_EQ(stub.Requests().back(), "/v1/users/self/?access_token=tok-alice");

    CPixoluneClient nameless("tok-nameless");
    ASSERT_EQ(nameless.QueryUser(fullName, userName), QueryResult::Ok);
    EXPECT_EQ(fullName, "");
    EXPECT_EQ(userName, "nobody");
}

struct FaultCase {
    const char* name;
    std::string fault;   // for the feed path
    QueryResult result;  // of QueryFeed
    std::string line;    // a log line that must be there ("" = none expected beyond paging)
    std::string lastError;
};

class StubFaultTest : public StubClientTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(StubFaultTest, EachFaultEndsTheQueryWithItsOwnResult) {
    const FaultCase& c = GetParam();
    stub.SetFault(R"({"path":"/v1/users/self/feed",)" + c.fault + "}");
    CPixoluneClient client("tok-alice", MediaKinds{}, QuickOptions());
    CPixoluneFeed feed = Feed(kFeedMine, 500);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(client.QueryFeed(feed), c.result);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 15s);
    if (!c.line.empty()) {
        EXPECT_TRUE(log.Has(c.line)) << ::testing::PrintToString(log.All());
    }
    EXPECT_EQ(client.LastError, c.lastError);
}

const std::string kFailed = "Connection to Pixolune server failed with error ";

INSTANTIATE_TEST_SUITE_P(
    Modes, StubFaultTest,
    ::testing::Values(
        FaultCase{"status_500", R"("mode":"status","status":500)", QueryResult::Failed,
                  "HttpQueryInfo()  error returned by server: 500", kFailed + "500"},
        FaultCase{"status_404", R"("mode":"status","status":404)", QueryResult::Failed,
                  "HttpQueryInfo()  error returned by server: 404", kFailed + "404"},
        FaultCase{"status_429", R"("mode":"status","status":429,"retry_after":3)",
                  QueryResult::Failed, "HttpQueryInfo()  error returned by server: 429",
                  kFailed + "429"},
        FaultCase{"stall", R"("mode":"stall","seconds":30)", QueryResult::Failed,
                  "HttpQueryInfo() failed, error 28", kFailed + "28"},
        FaultCase{"drop_mid_body", R"("mode":"drop_mid_body")", QueryResult::Failed, "",
                  kFailed + "-2"},
        FaultCase{"malformed_json", R"("mode":"malformed_json")", QueryResult::Failed, "", ""},
        FaultCase{"truncated_json", R"("mode":"truncated_json")", QueryResult::Failed, "", ""},
        FaultCase{"deep_nesting", R"("mode":"deep_nesting")", QueryResult::Failed, "", ""},
        FaultCase{"empty_body", R"("mode":"empty_body")", QueryResult::Failed, "", ""},
        FaultCase{"wrong_code", R"("mode":"wrong_types","variant":"code_string")",
                  QueryResult::Failed, "QueryFeed: wrong JSON type of meta.code", ""},
        FaultCase{"wrong_data", R"("mode":"wrong_types","variant":"data_object")",
                  QueryResult::Failed, "QueryFeed: wrong JSON type of data", ""},
        FaultCase{"wrong_top", R"("mode":"wrong_types","variant":"top_array")", QueryResult::Failed,
                  "QueryFeed: wrong JSON type of (top level)", ""},
        FaultCase{"wrong_url", R"("mode":"wrong_types","variant":"url_number")",
                  QueryResult::Failed,
                  "QueryFeed: wrong JSON type of data[0].images.standard_resolution.url", ""},
        FaultCase{"wrong_user", R"("mode":"wrong_types","variant":"user_string")",
                  QueryResult::Failed, "QueryFeed: wrong JSON type of data[0].user", ""},
        FaultCase{"wrong_next_url", R"("mode":"wrong_types","variant":"next_url_number")",
                  QueryResult::Failed, "QueryFeed: wrong JSON type of pagination.next_url", ""},
        FaultCase{"next_url_loop", R"("mode":"next_url_loop")", QueryResult::Ok,
                  "QueryFeed: next_url repeats, paging stopped", ""},
        FaultCase{"redirect_loop", R"("mode":"redirect_loop")", QueryResult::Failed,
                  "InternetOpenUrl() failed, error 47", kFailed + "-1"},
        FaultCase{"redirect_to_other_scheme",
                  R"("mode":"redirect_to","location":"file:///etc/passwd")", QueryResult::Failed,
                  "InternetOpenUrl() failed, error 1", kFailed + "-1"}),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

TEST_F(StubClientTest, RetryAfterOfABusyServiceReachesTheCaller) {
    stub.SetFault(
        R"({"path":"/v1/users/self/feed","mode":"status","status":429,"retry_after":7,"count":1})");
    CPixoluneClient client("tok-alice", MediaKinds{}, QuickOptions());
    CPixoluneFeed feed = Feed(kFeedMine, 5);
    EXPECT_EQ(client.QueryFeed(feed), QueryResult::Failed);
    EXPECT_EQ(client.RetryAfterSeconds, 7u);
    EXPECT_EQ(client.QueryFeed(feed), QueryResult::Ok);
    EXPECT_EQ(client.RetryAfterSeconds, 0u) << "a good answer clears it";
}

TEST_F(StubClientTest, HugeAndEndlessRepliesAreRefusedAtTheLimit) {
    for (const char* mode : {"huge_reply", "endless_body"}) {
        stub.ClearFaults();
        stub.SetFault(std::string(R"({"path":"/v1/users/self/feed","mode":")") + mode + "\"}");
        log.Clear();
        CPixoluneClient client("tok-alice");  // the real 16 MiB limit
        CPixoluneFeed feed = Feed(kFeedMine, 500);
        EXPECT_EQ(client.QueryFeed(feed), QueryResult::Failed) << mode;
        EXPECT_TRUE(log.Has("InternetReadWholeFile: reply larger than 16777216 bytes refused"))
            << mode;
        EXPECT_EQ(client.LastError, kFailed + "-3") << mode;
    }
}

TEST_F(StubClientTest, RedirectedFeedIsFollowed) {
    stub.SetFault(R"({"path":"/v1/users/self/feed","mode":"redirect_to","count":1,"location":")" +
                  stub.ApiBase() + "/users/self/media/liked?access_token=tok-alice\"}");
    CPixoluneClient client("tok-alice");
    CPixoluneFeed feed = Feed(kFeedMine, 500);
    ASSERT_EQ(client.QueryFeed(feed), QueryResult::Ok);
    EXPECT_EQ(feed.Items.size(), 2u);  // the liked list it was sent to
}

TEST_F(StubClientTest, SlowButSteadyReplyArrivesWhole) {
    stub.SetFault(R"({"path":"/v1/users/self/media/liked","mode":"trickle","interval_ms":1})");
    CPixoluneClient client("tok-alice");
    CPixoluneFeed feed = Feed(kFeedLiked, 500);
    ASSERT_EQ(client.QueryFeed(feed), QueryResult::Ok);
    EXPECT_EQ(feed.Items.size(), 2u);
}

TEST_F(StubClientTest, NulInsideTheBodyCutsTheReply) {
    stub.SetFault(R"({"path":"/v1/users/self/","mode":"nul_in_body"})");
    CPixoluneClient client("tok-alice");
    std::string fullName, userName;
    EXPECT_EQ(client.QueryUser(fullName, userName),
              QueryResult::Ok);  // the NUL follows the whole JSON text
    EXPECT_EQ(userName, "alice");

    stub.ClearFaults();
    stub.SetFault(R"({"path":"/v1/users/self/","mode":"nul_in_body","at":"middle"})");
    EXPECT_EQ(client.QueryUser(fullName, userName), QueryResult::Failed);
    EXPECT_EQ(client.LastError, "");
}

TEST(StubHttpsTest, TrustsTheTestCertificateOnlyWhenNamed) {
    test::TempDir dir;
    const auto [cert, key] = test::MakeTestCertificate(dir.Path());
    StubServer stub(StubServer::Options{Scenario(), true, cert, key, {}});
    setenv("PIXOLUNE_API_BASE", stub.ApiBase().c_str(), 1);
    LogCapture log;
    std::string fullName, userName;

    unsetenv("PIXOLUNE_CA_BUNDLE");
    CPixoluneClient untrusting("tok-alice");
    EXPECT_EQ(untrusting.QueryUser(fullName, userName), QueryResult::Failed);
    EXPECT_EQ(untrusting.LastError, "Connection to Pixolune server failed with error -1");
    EXPECT_TRUE(log.HasContaining("InternetOpenUrl() failed, error "));

    setenv("PIXOLUNE_CA_BUNDLE", cert.c_str(), 1);
    CPixoluneClient trusting("tok-alice");
    EXPECT_EQ(trusting.QueryUser(fullName, userName), QueryResult::Ok) << trusting.LastError;
    EXPECT_EQ(fullName, "Alice Example");
    CPixoluneFeed feed = Feed(kFeedMine, 500);
    EXPECT_EQ(trusting.QueryFeed(feed), QueryResult::Ok);
    EXPECT_EQ(feed.Items.size(), 45u);
    unsetenv("PIXOLUNE_CA_BUNDLE");
    unsetenv("PIXOLUNE_API_BASE");
}

}  // namespace
}  // namespace pixolune
