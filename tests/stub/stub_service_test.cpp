#include "stub/stub_service.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <json/json.h>
#include <sys/wait.h>

#include <algorithm>
#include <iterator>
#include <memory>
#include <string>

#include "model/feed_kinds.h"
#include "stub/feed_routes.h"
#include "tests/stub/raw_http.h"
#include "tests/support/child_process.h"
#include "tests/support/stub_server.h"

namespace pixolune::test {
namespace {

using namespace std::chrono_literals;

Json::Value Parse(const std::string& text) {
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &root, &errors)) << text;
    return root;
}

// Splits an absolute URL of the stub into the part after the port.
std::string TargetOf(const StubServer& stub, const std::string& url) {
    EXPECT_EQ(url.rfind(stub.BaseUrl(), 0), 0u) << url;
    return url.substr(stub.BaseUrl().size());
}

std::unique_ptr<httplib::Client> ClientFor(const StubServer& stub) {
    auto client = std::make_unique<httplib::Client>(stub.BaseUrl());
    client->set_read_timeout(10, 0);
    return client;
}

Json::Value GetJson(const StubServer& stub, const std::string& target, int expectedStatus = 200) {
    auto result = ClientFor(stub)->Get(target.c_str());
    EXPECT_TRUE(result) << target;
    if (!result) return Json::Value();
    EXPECT_EQ(result->status, expectedStatus) << target;
    return Parse(result->body);
}

// Follows "next_url" from the first page and returns every item URL in order.
std::vector<std::string> CollectFeed(StubServer& stub, const std::string& path,
                                     int* pages = nullptr) {
    std::vector<std::string> urls;
    std::string target = "/v1" + path + "?access_token=tok-alice";
    int count = 0;
    while (!target.empty() && count < 100) {
        Json::Value page = GetJson(stub, target);
        for (const auto& element : page["data"]) {
            const char* kind = element["type"].asString() == "video" ? "videos" : "images";
            urls.push_back(element[kind]["standard_resolution"]["url"].asString());
        }
        std::string next = page["pagination"].get("next_url", "").asString();
        target = next.empty() ? "" : TargetOf(stub, next);
        ++count;
    }
    if (pages) *pages = count;
    return urls;
}

class StubApiTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { stub_ = std::make_unique<StubServer>(); }
    static void TearDownTestSuite() { stub_.reset(); }
    void SetUp() override {
        stub_->ClearFaults();
        stub_->ClearRequests();
    }
    static std::unique_ptr<StubServer> stub_;
};

std::unique_ptr<StubServer> StubApiTest::stub_;

TEST_F(StubApiTest, PagingThroughNextUrlDeliversTheWholeFeedInOrder) {
    int pages = 0;
    auto urls = CollectFeed(*stub_, "/users/self/feed", &pages);
    ASSERT_EQ(urls.size(), 25u);
    EXPECT_EQ(pages, 3);
    for (size_t i = 0; i < urls.size(); ++i) {
        std::string name = "feed-" + std::to_string(i) + (i % 5 == 4 ? ".mp4" : ".jpg");
        EXPECT_EQ(urls[i], stub_->BaseUrl() + "/media/" + name);
    }
    auto seen = stub_->Requests();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0], "/v1/users/self/feed?access_token=tok-alice");
    EXPECT_EQ(seen[1], "/v1/users/self/feed?access_token=tok-alice&max_id=10");
}

TEST_F(StubApiTest, TheLastPageHasNoNextUrl) {
    Json::Value page = GetJson(*stub_, "/v1/users/self/media/recent?access_token=tok-alice");
    EXPECT_EQ(page["data"].size(), 3u);
    EXPECT_TRUE(page["pagination"].get("next_url", "").asString().empty());
    EXPECT_EQ(page["data"][2]["type"].asString(), "carousel");
}

TEST_F(StubApiTest, TagsArePercentDecodedBeforeTheyAreMatched) {
    Json::Value page =
        GetJson(*stub_, "/v1/tags/city%20lights/media/recent?access_token=tok-alice");
    ASSERT_EQ(page["data"].size(), 1u);
    EXPECT_EQ(page["data"][0]["caption"]["text"].asString(), "Night");
    Json::Value unknown =
        GetJson(*stub_, "/v1/tags/city%2Blights/media/recent?access_token=tok-alice");
    EXPECT_TRUE(unknown["data"].isArray());
    EXPECT_EQ(unknown["data"].size(), 0u);
    EXPECT_EQ(unknown["meta"]["code"].asInt(), 200);
}

TEST_F(StubApiTest, PopularAnswersTheNextPageOnEachRequestOfTheSameUrl) {
    stub_->SetScenario(R"({"page_size":4,"feeds":{"popular":[
        {"media":"p0.jpg"},{"media":"p1.jpg"},{"media":"p2.jpg"},{"media":"p3.jpg"},
        {"media":"p4.jpg"},{"media":"p5.jpg"}]}})");
    const std::string target = "/v1/media/popular?access_token=tok-alice";
    std::vector<size_t> sizes;
    for (int i = 0; i < 4; ++i) {
        Json::Value page = GetJson(*stub_, target);
        sizes.push_back(page["data"].size());
        EXPECT_TRUE(page["pagination"].get("next_url", "").asString().empty());
    }
    EXPECT_EQ(sizes, (std::vector<size_t>{4, 2, 0, 0}));
    stub_->SetScenario("");
}

// The stand-in serves every kind of feed the plug-in reads, paged as the plug-in pages it.
TEST_F(StubApiTest, ServesEveryFeedKindOfThePluginPagedAsThePluginReadsIt) {
    EXPECT_EQ(std::size(kFeedKinds), std::size(stub::kStubFeeds));
    for (const FeedKind& kind : kFeedKinds) {
        const auto row = std::find_if(
            std::begin(stub::kStubFeeds), std::end(stub::kStubFeeds),
            [&](const stub::StubFeed& feed) { return std::string(feed.apiPath) == kind.apiPath; });
        ASSERT_NE(row, std::end(stub::kStubFeeds)) << kind.apiPath;
        EXPECT_EQ(kind.takesTags, row->takesTags) << kind.apiPath;
        EXPECT_EQ(kind.followsNextUrl, row->followsNextUrl) << kind.apiPath;
        std::string path = kind.apiPath;
        if (kind.takesTags) path.replace(path.find("%s"), 2, "sunset");
        Json::Value page = GetJson(*stub_, stub::kApiRoot + path + "?access_token=tok-alice");
        EXPECT_FALSE(page["data"].empty()) << path;
    }
    stub_->SetScenario("");  // back to the first page of every feed
}

TEST_F(StubApiTest, AccountQueryNamesTheOwnerOfTheToken) {
    Json::Value reply = GetJson(*stub_, "/v1/users/self/?access_token=tok-bob");
    EXPECT_EQ(reply["meta"]["code"].asInt(), 200);
    EXPECT_EQ(reply["data"]["username"].asString(), "bob");
    EXPECT_EQ(reply["data"]["full_name"].asString(), "Bob Sample");
    EXPECT_EQ(reply["data"]["id"].asString(), "1002");
}

TEST_F(StubApiTest, AnUnknownApiPathIsA404WithMeta) {
    Json::Value reply = GetJson(*stub_, "/v1/users/other/feed?access_token=tok-alice", 404);
    EXPECT_EQ(reply["meta"]["code"].asInt(), 404);
}

TEST_F(StubApiTest, ReplacingTheScenarioTakesItemsOutOfAFeed) {
    stub_->SetScenario(R"({"feeds":{"liked":[{"media":"a.jpg"},{"media":"b.jpg"}]}})");
    EXPECT_EQ(CollectFeed(*stub_, "/users/self/media/liked").size(), 2u);
    stub_->SetScenario(R"({"feeds":{"liked":[{"media":"b.jpg"}]}})");
    auto urls = CollectFeed(*stub_, "/users/self/media/liked");
    ASSERT_EQ(urls.size(), 1u);
    EXPECT_EQ(urls[0], stub_->BaseUrl() + "/media/b.jpg");
    EXPECT_THROW(stub_->SetScenario("{\"page_size\":-1}"), std::runtime_error);
    stub_->SetScenario("");
}

// As `curl -X POST` sends it: no body and no Content-Length at all.
TEST_F(StubApiTest, AControlPostWithoutABodyTakesItAsEmpty) {
    stub_->SetScenario(R"({"feeds":{"liked":[{"media":"a.jpg"}]}})");
    const RawReply reset = RawRequest(stub_->Port(), "POST", "/_control/scenario", 10s);
    EXPECT_EQ(reset.Status(), 200) << reset.head;
    EXPECT_EQ(CollectFeed(*stub_, "/users/self/media/liked"),
              std::vector<std::string>{stub_->BaseUrl() + "/media/liked-0.jpg"})
        << "the built-in scenario is back";
    EXPECT_EQ(RawRequest(stub_->Port(), "POST", "/_control/faults/clear", 10s).Status(), 200);
    EXPECT_EQ(RawRequest(stub_->Port(), "POST", "/_control/nothing", 10s).Status(), 404);
}

TEST_F(StubApiTest, RequestsListsClientRequestsOldestFirstWithoutControlCalls) {
    ClientFor(*stub_)->Get("/media/x.jpg");
    ClientFor(*stub_)->Get("/v1/media/popular?access_token=nobody");
    EXPECT_EQ(stub_->Requests(),
              (std::vector<std::string>{"/media/x.jpg", "/v1/media/popular?access_token=nobody"}));
    stub_->ClearRequests();
    EXPECT_TRUE(stub_->Requests().empty());
}

TEST_F(StubApiTest, ImagesArePngsOfTheSizeMediaSizeReports) {
    auto result = ClientFor(*stub_)->Get("/media/feed-0.jpg");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200);
    EXPECT_EQ(result->body.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    EXPECT_EQ(result->get_header_value("Content-Length"), std::to_string(result->body.size()));
    EXPECT_EQ(stub_->MediaSize("feed-0.jpg"), static_cast<long long>(result->body.size()));
    auto other = ClientFor(*stub_)->Get("/media/feed-1.jpg");
    ASSERT_TRUE(other);
    EXPECT_NE(other->body, result->body);
    auto video = ClientFor(*stub_)->Get("/media/feed-4.mp4");
    ASSERT_TRUE(video);
    EXPECT_EQ(video->body.substr(4, 4), "ftyp");
    EXPECT_EQ(video->get_header_value("Content-Type"), "video/mp4");
}

class BadTokenTest : public StubApiTest,
                     public ::testing::WithParamInterface<std::tuple<const char*, const char*>> {};

TEST_P(BadTokenTest, IsAnswered400WithTheAccessTokenError) {
    auto [path, query] = GetParam();
    Json::Value reply = GetJson(*stub_, std::string("/v1") + path + query, 400);
    EXPECT_EQ(reply["meta"]["code"].asInt(), 400);
    EXPECT_EQ(reply["meta"]["error_type"].asString(), "OAuthAccessTokenException");
    EXPECT_EQ(reply["meta"]["error_message"].asString(), "The access_token provided is invalid.");
}

INSTANTIATE_TEST_SUITE_P(
    Endpoints, BadTokenTest,
    ::testing::Combine(::testing::Values("/users/self/feed", "/users/self/media/recent",
                                         "/media/popular", "/users/self/media/liked",
                                         "/tags/sunset/media/recent", "/users/self/"),
                       ::testing::Values("", "?access_token=", "?access_token=tok-mallory",
                                         "?access_token=TOK-ALICE")));

struct OddPathCase {
    std::string url;   // as written in the scenario
    std::string name;  // the media name the stub serves it under
};

void PrintTo(const OddPathCase& c, std::ostream* out) {
    *out << c.url.substr(0, 60);
}

class OddMediaPathTest : public ::testing::TestWithParam<OddPathCase> {};

TEST_P(OddMediaPathTest, IsServedWithTheSizeOfItsScenarioItem) {
    StubServer::Options options;
    options.scenarioJson =
        R"({"feeds":{"feed":[{"url":")" + GetParam().url + R"(","size":3000}]}})";
    StubServer stub(options);
    auto urls = CollectFeed(stub, "/users/self/feed");
    ASSERT_EQ(urls.size(), 1u);
    auto result = ClientFor(stub)->Get(TargetOf(stub, urls[0]).c_str());
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200);
    EXPECT_EQ(result->body.size(), 3000u);
    EXPECT_EQ(stub.MediaSize(GetParam().name), 3000);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, OddMediaPathTest,
    ::testing::Values(OddPathCase{"{base}/media/folder/", "folder/"},
                      OddPathCase{"{base}/media/q.jpg?next=/a/b/c", "q.jpg"},
                      OddPathCase{"{base}/media/a/../dots.jpg", "dots.jpg"},
                      OddPathCase{"{base}/media/sp%20ace%25.jpg", "sp ace%.jpg"},
                      OddPathCase{"{base}/media/caf%C3%A9.jpg", "caf\xc3\xa9.jpg"},
                      OddPathCase{"{base}/media/" + std::string(3000, 'n') + ".jpg",
                                  std::string(3000, 'n') + ".jpg"}));

TEST(StubScenarioTest, AGeneratedScenarioIsPagedWithItsDefaultPageSize) {
    StubServer::Options options;
    options.extraArgs = {"--generate", "items=45,seed=3,videos=5,media_size=2048"};
    StubServer stub(options);
    int pages = 0;
    auto urls = CollectFeed(stub, "/users/self/media/liked", &pages);
    EXPECT_EQ(urls.size(), 45u);
    EXPECT_EQ(pages, 3);
    ASSERT_FALSE(urls.empty());
    std::string name = urls[0].substr(urls[0].rfind('/') + 1);
    EXPECT_EQ(stub.MediaSize(name), 2048);
    auto result = ClientFor(stub)->Get(TargetOf(stub, urls[0]).c_str());
    ASSERT_TRUE(result);
    EXPECT_EQ(result->body.size(), 2048u);
}

TEST(StubScenarioTest, AGibibyteItemIsStreamedWithItsFullLength) {
    StubServer::Options options;
    options.scenarioJson = R"({"feeds":{"feed":[{"media":"huge.jpg","size":1073741824}]}})";
    StubServer stub(options);
    EXPECT_EQ(stub.MediaSize("huge.jpg"), 1073741824);
    RawReply reply = RawGet(stub.Port(), "/media/huge.jpg", 10s, 1 << 20);
    EXPECT_EQ(reply.Status(), 200);
    EXPECT_EQ(reply.Header("Content-Length"), "1073741824");
    ASSERT_GE(reply.body.size(), 8u);
    EXPECT_EQ(reply.body.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
}

TEST(StubScenarioTest, ATagWithAnEncodedSlashIsOneTag) {
    StubServer::Options options;
    options.scenarioJson =
        R"({"page_size":1,"feeds":{"tags":{"a/b c":[{"media":"1.jpg"},{"media":"2.jpg"}]}}})";
    StubServer stub(options);
    auto urls = CollectFeed(stub, "/tags/a%2Fb%20c/media/recent");
    EXPECT_EQ(urls.size(), 2u);
    auto seen = stub.Requests();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1], "/v1/tags/a%2Fb%20c/media/recent?access_token=tok-alice&max_id=1");
}

TEST(StubProcessTest, EndsCleanlyOnSigtermAndAfterExitAfter) {
    ChildProcess onSignal({PIXOLUNE_STUB_PATH});
    ASSERT_EQ(onSignal.ReadLine(10s).value_or("").rfind("PORT=", 0), 0u);
    int status = onSignal.Stop(5s);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);

    ChildProcess bounded({PIXOLUNE_STUB_PATH, "--exit-after", "0.2"});
    ASSERT_EQ(bounded.ReadLine(10s).value_or("").rfind("PORT=", 0), 0u);
    auto ended = bounded.WaitForExit(5s);
    ASSERT_TRUE(ended);
    EXPECT_TRUE(WIFEXITED(*ended) && WEXITSTATUS(*ended) == 0);
}

TEST(StubProcessTest, RefusesBadArgumentsAndBadScenarios) {
    EXPECT_EQ(RunProcess({PIXOLUNE_STUB_PATH, "--port", "x"}, 10s).exitCode, 2);
    EXPECT_EQ(RunProcess({PIXOLUNE_STUB_PATH, "--https"}, 10s).exitCode, 2);
    EXPECT_EQ(RunProcess({PIXOLUNE_STUB_PATH, "--bogus"}, 10s).exitCode, 2);
    ProcessResult missing =
        RunProcess({PIXOLUNE_STUB_PATH, "--scenario", "/nonexistent.json"}, 10s);
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_EQ(missing.out, "");  // no PORT line for a stub that does not serve
}

TEST(StubHttpsTest, ServesWithATestCertificateAndHandsOutHttpsAddresses) {
    TempDir dir;
    auto [cert, key] = MakeTestCertificate(dir.Path());
    StubServer::Options options;
    options.https = true;
    options.certFile = cert;
    options.keyFile = key;
    StubServer stub(options);
    EXPECT_EQ(stub.BaseUrl().rfind("https://127.0.0.1:", 0), 0u);
    httplib::Client client(stub.BaseUrl());
    client.set_ca_cert_path(cert.c_str());
    client.enable_server_certificate_verification(true);
    auto result = client.Get("/v1/users/self/feed?access_token=tok-alice");
    ASSERT_TRUE(result) << httplib::to_string(result.error());
    Json::Value page = Parse(result->body);
    EXPECT_EQ(
        page["pagination"]["next_url"].asString().rfind(stub.ApiBase() + "/users/self/feed?", 0),
        0u);
    EXPECT_EQ(page["data"][0]["images"]["standard_resolution"]["url"].asString(),
              stub.BaseUrl() + "/media/feed-0.jpg");
    auto media = client.Get("/media/feed-0.jpg");
    ASSERT_TRUE(media);
    EXPECT_EQ(static_cast<long long>(media->body.size()), stub.MediaSize("feed-0.jpg"));
}

TEST(StubHttpsTest, AClientThatDoesNotTrustTheCertificateIsRefused) {
    TempDir dir;
    auto [cert, key] = MakeTestCertificate(dir.Path());
    StubServer::Options options;
    options.https = true;
    options.certFile = cert;
    options.keyFile = key;
    StubServer stub(options);
    httplib::Client client(stub.BaseUrl());
    client.enable_server_certificate_verification(true);
    client.set_ca_cert_path("/nonexistent-ca.pem");
    EXPECT_FALSE(client.Get("/ir.php"));
}

}  // namespace
}  // namespace pixolune::test
