#include "service/pixolune_client.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "tests/service/log_capture.h"
#include "tests/support/loopback_server.h"

namespace pixolune {
namespace {

using test::LogCapture;
using test::LoopbackServer;

const std::string kToken = "tok-alice-0123456789";

// A scripted stand-in of the API on loopback: each request target (path and
// query) has one canned answer; everything asked for is recorded.
class ScriptedApi {
  public:
    ScriptedApi() {
        server_.Http().Get(R"(/.*)", [this](const httplib::Request& req, httplib::Response& res) {
            const std::string& target = req.target;  // as sent, before any decoding
            std::lock_guard<std::mutex> lock(mutex_);
            targets_.push_back(target);
            const auto found = answers_.find(target);
            if (found == answers_.end()) {
                res.status = 404;
                res.set_content("no such page: " + target, "text/plain");
                return;
            }
            res.status = found->second.status;
            if (!found->second.location.empty()) res.set_header("Location", found->second.location);
            res.set_content(found->second.body, "application/json");
        });
    }

    std::string Base() const { return server_.Url("/v1"); }
    std::string Url(const std::string& target) const { return server_.Url(target); }
    void Answer(const std::string& target, const std::string& body, int status = 200,
                const std::string& location = "") {
        std::lock_guard<std::mutex> lock(mutex_);
        answers_[target] = Canned{status, body, location};
    }
    std::vector<std::string> Targets() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return targets_;
    }

  private:
    struct Canned {
        int status;
        std::string body;
        std::string location;
    };
    LoopbackServer server_;
    mutable std::mutex mutex_;  // guards answers_ and targets_
    std::map<std::string, Canned> answers_;
    std::vector<std::string> targets_;
};

std::string Element(const std::string& kind, const std::string& url) {
    const std::string files = kind == "video" || kind == "Video" ? "videos" : "images";
    return R"({"type":")" + kind + R"(",")" + files + R"(":{"standard_resolution":{"url":")" + url +
           R"("}},"caption":{"text":"cap )" + url + R"(","from":{"full_name":"From"}},)" +
           R"("user":{"full_name":"Poster"}})";
}

// A page of `count` photos named prefix0.jpg, prefix1.jpg, ...
std::string Page(const std::string& prefix, int count, const std::string& nextUrl = "") {
    std::string data;
    for (int i = 0; i < count; ++i) {
        if (i) data += ",";
        data += Element("image", "http://media/" + prefix + std::to_string(i) + ".jpg");
    }
    std::string reply = R"({"meta":{"code":200},"data":[)" + data + "]";
    if (!nextUrl.empty()) reply += R"(,"pagination":{"next_url":")" + nextUrl + R"("})";
    return reply + "}";
}

std::vector<std::string> Urls(const CPixoluneFeed& feed) {
    std::vector<std::string> urls;
    for (const CPixoluneItem& item : feed.Items) urls.push_back(item.Url);
    return urls;
}

CPixoluneFeed Feed(int type, int maxP, const std::string& tags = "") {
    CPixoluneFeed feed;
    feed.Type = type;
    feed.MaxP = maxP;
    feed.Tags = tags;
    return feed;
}

class ClientTest : public ::testing::Test {
  protected:
    void SetUp() override { setenv("PIXOLUNE_API_BASE", api.Base().c_str(), 1); }
    void TearDown() override {
        unsetenv("PIXOLUNE_API_BASE");
        for (const std::string& line : log.All())
            EXPECT_EQ(line.find(kToken), std::string::npos) << "token logged: " << line;
    }
    static std::string Q() { return "?access_token=" + kToken; }

    LogCapture log;
    ScriptedApi api;
};

struct PathCase {
    int type;
    std::string path;
};

class FeedPathTest : public ClientTest, public ::testing::WithParamInterface<PathCase> {};

TEST_P(FeedPathTest, EachFeedTypeAsksItsEndpoint) {
    const std::string target = "/v1" + GetParam().path + Q();
    api.Answer(target, Page("p", 2));
    CPixoluneClient client(kToken);
    CPixoluneFeed feed = Feed(GetParam().type, 2, "sunset");
    int total = -1;
    EXPECT_EQ(client.QueryFeed(feed, &total), QueryResult::Ok);
    EXPECT_EQ(api.Targets(), std::vector<std::string>{target});
    EXPECT_EQ(Urls(feed), (std::vector<std::string>{"http://media/p0.jpg", "http://media/p1.jpg"}));
    EXPECT_EQ(total, 2);
    EXPECT_EQ(client.LastError, "");
}

INSTANTIATE_TEST_SUITE_P(Types, FeedPathTest,
                         ::testing::Values(PathCase{1, "/users/self/feed"},
                                           PathCase{2, "/users/self/media/recent"},
                                           PathCase{3, "/media/popular"},
                                           PathCase{4, "/users/self/media/liked"},
                                           PathCase{5, "/tags/sunset/media/recent"}));

TEST_F(ClientTest, PagesUntilMaxPAndCutsInsideThePage) {
    const std::string first = "/v1/users/self/media/recent" + Q();
    const std::string second = "/v1/users/self/media/recent" + Q() + "&max_id=20";
    api.Answer(first, Page("a", 20, api.Url(second)));
    api.Answer(second, Page("b", 20, api.Url("/v1/never")));
    CPixoluneClient client(kToken);
    CPixoluneFeed feed = Feed(kFeedMyMedia, 30);
    int total = 0;
    ASSERT_EQ(client.QueryFeed(feed, &total), QueryResult::Ok);

    EXPECT_EQ(api.Targets(), (std::vector<std::string>{first, second}));
    EXPECT_EQ(feed.Items.size(), 30u);
    EXPECT_EQ(feed.Items[19].Url, "http://media/a19.jpg");
    EXPECT_EQ(feed.Items[29].Url, "http://media/b9.jpg");
    EXPECT_EQ(total, 30);
    EXPECT_TRUE(log.Has("QueryFeed: data.size()=20, Page=0, Media=20 (30), tot=20"));
    EXPECT_TRUE(log.Has("QueryFeed: data.size()=20, Page=1, Media=30 (30), tot=30"));
}

TEST_F(ClientTest, LastPageEndsTheFeed) {
    const std::string first = "/v1/users/self/feed" + Q();
    const std::string last = "/v1/users/self/feed" + Q() + "&cursor=2";
    api.Answer(first, Page("a", 3, api.Url(last)));
    api.Answer(last, Page("b", 2));
    CPixoluneClient client(kToken);
    CPixoluneFeed feed = Feed(kFeedMine, 100);
    ASSERT_EQ(client.QueryFeed(feed), QueryResult::Ok);
    EXPECT_EQ(feed.Items.size(), 5u);
    EXPECT_EQ(api.Targets().size(), 2u);
}

TEST_F(ClientTest, MaxPOfZeroMakesNoRequest) {
    CPixoluneClient client(kToken);
    CPixoluneFeed feed = Feed(kFeedMine, 0);
    feed.Items.push_back(CPixoluneItem{"old", "http://old", "x"});
    EXPECT_EQ(client.QueryFeed(feed), QueryResult::Ok);
    EXPECT_TRUE(feed.Items.empty());
    EXPECT_TRUE(api.Targets().empty());
}

TEST_F(ClientTest, KeepsOnlyTheWantedKinds) {
    const std::string mixed =
        R"({"meta":{"code":200},"data":[)" + Element("image", "http://m/p.jpg") + "," +
        Element("Video", "http://m/v.mp4") + "," + Element("carousel", "http://m/c.jpg") + "]}";
    api.Answer("/v1/users/self/feed" + Q(), mixed);
    struct KindCase {
        MediaKinds kinds;
        std::vector<std::string> urls;
    };
    for (const KindCase& c :
         {KindCase{{true, true}, {"http://m/p.jpg", "http://m/v.mp4"}},
          KindCase{{true, false}, {"http://m/p.jpg"}}, KindCase{{false, true}, {"http://m/v.mp4"}},
          KindCase{MediaKinds::FromSettings(0, 0), {}}}) {
        CPixoluneClient client(kToken, c.kinds);
        CPixoluneFeed feed = Feed(kFeedMine, 10);
        EXPECT_EQ(client.QueryFeed(feed), QueryResult::Ok);
        EXPECT_EQ(Urls(feed), c.urls);
    }
}

TEST_F(ClientTest, TagsAreTrimmedEncodedAndQueriedInOrderEachUpToMaxP) {
    const std::string sunset = "/v1/tags/sunset/media/recent" + Q();
    const std::string sunset2 = "/v1/tags/sunset/media/recent" + Q() + "&page=2";
    const std::string odd = "/v1/tags/a%20b%23c%3Fd%2Fe%26f/media/recent" + Q();
    const std::string beach = "/v1/tags/beach/media/recent" + Q();
    api.Answer(sunset, Page("s", 2, api.Url(sunset2)));
    api.Answer(sunset2, Page("t", 2, api.Url("/v1/never")));
    api.Answer(odd, Page("o", 1));
    api.Answer(beach, Page("b", 5));
    CPixoluneClient client(kToken);
    CPixoluneFeed feed = Feed(kFeedTagged, 3, " sunset , a b#c?d/e&f,, \t,beach,");
    int total = 0;
    ASSERT_EQ(client.QueryFeed(feed, &total), QueryResult::Ok);

    EXPECT_EQ(api.Targets(), (std::vector<std::string>{sunset, sunset2, odd, beach}));
    EXPECT_EQ(Urls(feed), (std::vector<std::string>{"http://media/s0.jpg", "http://media/s1.jpg",
                                                    "http://media/t0.jpg", "http://media/o0.jpg",
                                                    "http://media/b0.jpg", "http://media/b1.jpg",
                                                    "http://media/b2.jpg"}));
    EXPECT_EQ(total, 7);
    EXPECT_EQ(feed.Items[0].Caption, "cap http://media/s0.jpg");
    EXPECT_EQ(feed.Items[0].Owner, "Poster");
}

TEST_F(ClientTest, FailedSecondTagFailsTheQueryButKeepsTheFirstTagsItems) {
    api.Answer("/v1/tags/one/media/recent" + Q(), Page("a", 2));
    api.Answer("/v1/tags/two/media/recent" + Q(), "{}", 500);
    CPixoluneClient client(kToken);
    CPixoluneFeed feed = Feed(kFeedTagged, 10, "one,two,three");
    EXPECT_EQ(client.QueryFeed(feed), QueryResult::Failed);
    EXPECT_EQ(feed.Items.size(), 2u);
    EXPECT_EQ(api.Targets().size(), 2u);
    EXPECT_EQ(client.LastError, "Connection to Pixolune server failed with error 500");
}

TEST_F(ClientTest, WrongTypeAndEmptyTagListFailWithoutRequest) {
    CPixoluneClient client(kToken);
    CPixoluneFeed wrong = Feed(9, 10);
    EXPECT_EQ(client.QueryFeed(wrong), QueryResult::Failed);
    EXPECT_TRUE(log.Has("QueryFeed(), wrong type =9"));
    EXPECT_EQ(client.LastError, "Wrong parameter in function: QueryFeed()-Type");

    client.LastError = "kept";
    CPixoluneFeed noTags = Feed(kFeedTagged, 10, " , ,\t");
    EXPECT_EQ(client.QueryFeed(noTags), QueryResult::Failed);
    EXPECT_TRUE(log.Has("QueryFeed(), tags list empty"));
    EXPECT_EQ(client.LastError, "kept");
    EXPECT_TRUE(api.Targets().empty());
}

struct FailureCase {
    const char* name;
    int status;
    std::string body;
    std::string line;  // expected log line; empty: none beyond the request line
    std::string lastError;
};

class FeedFailureTest : public ClientTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(FeedFailureTest, EndsInZeroWithItsLineAndLastError) {
    const FailureCase& c = GetParam();
    api.Answer("/v1/users/self/feed" + Q(), c.body, c.status);
    CPixoluneClient client(kToken);
    client.LastError = "before";
    CPixoluneFeed feed = Feed(kFeedMine, 10);
    EXPECT_EQ(client.QueryFeed(feed), QueryResult::Failed);
    EXPECT_EQ(client.LastError, c.lastError);
    const std::vector<std::string> lines = log.All();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].rfind("QueryFeed: http://127.0.0.1:", 0), 0u) << lines[0];
    if (c.line.empty()) {
        EXPECT_EQ(lines.size(), 1u);
    } else {
        EXPECT_EQ(lines.back(), c.line);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, FeedFailureTest,
    ::testing::Values(
        FailureCase{"not_found", 404, "{}", "HttpQueryInfo()  error returned by server: 404",
                    "Connection to Pixolune server failed with error 404"},
        FailureCase{"rate_limited", 429, "{}", "HttpQueryInfo()  error returned by server: 429",
                    "Connection to Pixolune server failed with error 429"},
        FailureCase{"not_json", 200, "<html>maintenance</html>", "", ""},
        FailureCase{"empty_body", 200, "", "", ""},
        FailureCase{"deep_nesting", 200, std::string(100000, '['), "", ""},
        FailureCase{"meta_missing", 200, R"({"data":[]})", "QueryFeed: meta is missing", ""},
        FailureCase{
            "server_error", 200,
            R"({"meta":{"code":400,"error_message":"The access_token provided is invalid."}})",
            "QueryFeed: error returned by server: 400, The access_token provided is invalid.", ""},
        FailureCase{"data_missing", 200, R"({"meta":{"code":200}})", "QueryFeed: data is missing",
                    ""},
        FailureCase{"code_string", 200, R"({"meta":{"code":"200"},"data":[]})",
                    "QueryFeed: wrong JSON type of meta.code", ""},
        FailureCase{"user_number", 200,
                    R"({"meta":{"code":200},"data":[{"type":"image","user":5}]})",
                    "QueryFeed: wrong JSON type of data[0].user", ""},
        FailureCase{"top_level_array", 200, "[]", "QueryFeed: wrong JSON type of (top level)", ""}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

TEST_F(ClientTest, LogsEveryRequestWithItsTokenMasked) {
    const std::string next = "/v1/users/self/feed" + Q() + "&max_id=9";
    api.Answer("/v1/users/self/feed" + Q(), Page("a", 1, api.Url(next)));
    api.Answer(next, Page("b", 1));
    CPixoluneClient client(kToken);
    CPixoluneFeed feed = Feed(kFeedMine, 10);
    ASSERT_EQ(client.QueryFeed(feed), QueryResult::Ok);
    const std::string masked =
        "access_token=\xE2\x80\xA6"
        "6789";
    EXPECT_TRUE(log.Has("QueryFeed: " + api.Base() + "/users/self/feed?" + masked));
    EXPECT_TRUE(log.Has("QueryFeed: " + api.Base() + "/users/self/feed?" + masked + "&max_id=9"));
}

TEST_F(ClientTest, RepeatingNextUrlEndsPagingWithTheItemsTaken) {
    const std::string a = "/v1/users/self/feed" + Q();
    const std::string b = "/v1/users/self/feed" + Q() + "&cursor=b";
    api.Answer(a, Page("a", 2, api.Url(b)));
    api.Answer(b, Page("b", 2, api.Url(a)));
    CPixoluneClient client(kToken);
    CPixoluneFeed feed = Feed(kFeedMine, 1000);
    EXPECT_EQ(client.QueryFeed(feed), QueryResult::Ok);
    EXPECT_EQ(api.Targets(), (std::vector<std::string>{a, b}));
    EXPECT_EQ(feed.Items.size(), 4u);
    EXPECT_TRUE(log.Has("QueryFeed: next_url repeats, paging stopped"));
}

// One limit, in items: pages that bring items are followed past a thousand of
// them, up to the most items a list gives, whatever a larger MaxP says.
TEST_F(ClientTest, PagesAreFollowedToTheOneLimitOfItemsAList) {
    const int pages = kMaxItemsPerList / 19 + 1;
    const auto target = [](int page) {
        return "/v1/users/self/feed" + Q() + (page ? "&page=" + std::to_string(page) : "");
    };
    for (int page = 0; page < pages; ++page)
        api.Answer(target(page), Page(std::to_string(page) + "-", 19, api.Url(target(page + 1))));
    CPixoluneClient client(kToken);
    CPixoluneFeed feed = Feed(kFeedMine, 50000);
    EXPECT_EQ(client.QueryFeed(feed), QueryResult::Ok);
    EXPECT_EQ(feed.Items.size(), static_cast<size_t>(kMaxItemsPerList));
    EXPECT_EQ(api.Targets().size(), static_cast<size_t>(pages));
    EXPECT_TRUE(log.Has(
        "QueryFeed: MaxP=50000 is above the limit of 20000 items a list; the limit is used"));
}

TEST_F(ClientTest, PopularIsAskedAgainUntilMaxPOrAReplyWithNothingNew) {
    const std::string popular = "/v1/media/popular" + Q();
    api.Answer(popular, Page("p", 3, api.Url("/v1/ignored")));
    CPixoluneClient client(kToken);
    CPixoluneFeed feed = Feed(kFeedPopular, 7);
    EXPECT_EQ(client.QueryFeed(feed), QueryResult::Ok);
    EXPECT_EQ(api.Targets(), (std::vector<std::string>{popular, popular, popular}));
    EXPECT_EQ(feed.Items.size(), 7u);

    api.Answer(popular, R"({"meta":{"code":200},"data":[)" + Element("video", "http://m/v") + "]}");
    CPixoluneClient photosOnly(kToken, MediaKinds{true, false});
    CPixoluneFeed nothingWanted = Feed(kFeedPopular, 7);
    EXPECT_EQ(photosOnly.QueryFeed(nothingWanted), QueryResult::Ok);
    EXPECT_EQ(api.Targets().size(), 4u);
    EXPECT_TRUE(log.Has("QueryFeed: no new item in the reply, paging stopped"));
}

TEST_F(ClientTest, ReplyAboveTheSizeLimitFailsTheQuery) {
    api.Answer("/v1/users/self/feed" + Q(), Page("x", 2000));
    RetrievalOptions small;
    small.maxReplyBytes = 64 * 1024;
    CPixoluneClient client(kToken, MediaKinds{}, small);
    CPixoluneFeed feed = Feed(kFeedMine, 10);
    EXPECT_EQ(client.QueryFeed(feed), QueryResult::Failed);
    EXPECT_TRUE(log.Has("InternetReadWholeFile: reply larger than 65536 bytes refused"));
    EXPECT_EQ(client.LastError, "Connection to Pixolune server failed with error -3");
}

TEST_F(ClientTest, RedirectedRequestIsFollowed) {
    api.Answer("/v1/users/self/feed" + Q(), "", 302, api.Url("/v1/moved"));
    api.Answer("/v1/moved", Page("m", 1));
    CPixoluneClient client(kToken);
    CPixoluneFeed feed = Feed(kFeedMine, 10);
    EXPECT_EQ(client.QueryFeed(feed), QueryResult::Ok);
    EXPECT_EQ(Urls(feed), std::vector<std::string>{"http://media/m0.jpg"});
}

TEST_F(ClientTest, QueryUserReadsBothNames) {
    api.Answer("/v1/users/self/" + Q(),
               R"({"meta":{"code":200},"data":{"username":"alice","full_name":"Alice Example"}})");
    CPixoluneClient client(kToken);
    std::string fullName, userName;
    EXPECT_EQ(client.QueryUser(fullName, userName), QueryResult::Ok);
    EXPECT_EQ(fullName, "Alice Example");
    EXPECT_EQ(userName, "alice");
    EXPECT_EQ(client.LastError, "");
}

struct UserFailureCase {
    const char* name;
    int status;
    std::string body;
    std::string lastError;
};

class UserFailureTest : public ClientTest, public ::testing::WithParamInterface<UserFailureCase> {};

TEST_P(UserFailureTest, EndsInZeroAndLeavesTheNames) {
    api.Answer("/v1/users/self/" + Q(), GetParam().body, GetParam().status);
    CPixoluneClient client(kToken);
    std::string fullName = "full", userName = "user";
    EXPECT_EQ(client.QueryUser(fullName, userName), QueryResult::Failed);
    EXPECT_EQ(fullName, "full");
    EXPECT_EQ(userName, "user");
    EXPECT_EQ(client.LastError, GetParam().lastError);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, UserFailureTest,
    ::testing::Values(UserFailureCase{"bad_token", 400, R"({"meta":{"code":400}})",
                                      "Connection to Pixolune server failed with error 400"},
                      UserFailureCase{"data_missing", 200, R"({"meta":{"code":200}})", ""},
                      UserFailureCase{"html_page", 200, "<html>login</html>", ""},
                      UserFailureCase{"wrong_types", 200, R"({"data":{"username":["a"]}})", ""}),
    [](const ::testing::TestParamInfo<UserFailureCase>& info) {
        return std::string(info.param.name);
    });

}  // namespace
}  // namespace pixolune
