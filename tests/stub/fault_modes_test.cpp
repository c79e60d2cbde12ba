#include <gtest/gtest.h>
#include <httplib.h>
#include <json/json.h>

#include <algorithm>
#include <cstdint>
#include <future>
#include <memory>

#include "tests/stub/raw_http.h"
#include "tests/support/stub_server.h"

namespace pixolune::test {
namespace {

using namespace std::chrono_literals;

const std::string kFeed = "/v1/users/self/feed?access_token=tok-alice";
const std::string kAccount = "/v1/users/self/?access_token=tok-alice";

bool ParsesAsJson(const std::string& text, Json::Value* root = nullptr) {
    Json::CharReaderBuilder builder;
    builder["stackLimit"] = 100000000;  // only the bytes are under test here
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    std::string errors;
    bool ok = reader->parse(text.data(), text.data() + text.size(), &value, &errors);
    if (root) *root = value;
    return ok;
}

class FaultModeTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { stub_ = std::make_unique<StubServer>(); }
    static void TearDownTestSuite() { stub_.reset(); }
    void SetUp() override { stub_->ClearFaults(); }

    RawReply Get(const std::string& target, std::chrono::milliseconds timeout = 10s,
                 size_t maxBytes = 64 << 20) {
        return RawGet(stub_->Port(), target, timeout, maxBytes);
    }

    static std::unique_ptr<StubServer> stub_;
};

std::unique_ptr<StubServer> FaultModeTest::stub_;

struct StatusCase {
    int status;
    const char* extra;
    const char* retryAfter;
};

void PrintTo(const StatusCase& c, std::ostream* out) {
    *out << c.status << c.extra;
}

class StatusFaultTest : public FaultModeTest, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(StatusFaultTest, AnswersWithTheGivenStatusAndAnErrorMeta) {
    stub_->SetFault(std::string(R"({"mode":"status","status":)") +
                    std::to_string(GetParam().status) + GetParam().extra + "}");
    RawReply reply = Get(kFeed);
    EXPECT_EQ(reply.Status(), GetParam().status);
    EXPECT_EQ(reply.Header("Retry-After"), GetParam().retryAfter);
    Json::Value root;
    ASSERT_TRUE(ParsesAsJson(reply.body, &root)) << reply.body;
    EXPECT_EQ(root["meta"]["code"].asInt(), GetParam().status);
}

INSTANTIATE_TEST_SUITE_P(Statuses, StatusFaultTest,
                         ::testing::Values(StatusCase{500, "", ""}, StatusCase{404, "", ""},
                                           StatusCase{429, "", "1"},
                                           StatusCase{429, R"(,"retry_after":30)", "30"},
                                           StatusCase{503, R"(,"retry_after":0)", "0"}));

TEST_F(FaultModeTest, ARedirectStatusCarriesTheNormalBodyAndAnOptionalLocation) {
    std::string normal = Get(kFeed).body;
    stub_->SetFault(R"({"mode":"status","status":301,"count":1})");
    RawReply plain = Get(kFeed);
    EXPECT_EQ(plain.Status(), 301);
    EXPECT_EQ(plain.body, normal);
    EXPECT_EQ(plain.Header("Location"), "");
    stub_->SetFault(R"({"mode":"status","status":302,"location":"/elsewhere","body":"moved"})");
    RawReply moved = Get(kFeed);
    EXPECT_EQ(moved.Status(), 302);
    EXPECT_EQ(moved.Header("Location"), "/elsewhere");
    EXPECT_EQ(moved.body, "moved");
}

TEST_F(FaultModeTest, AFaultHitsOnlyItsPathAndOnlyCountTimes) {
    stub_->SetFault(R"({"path":"/v1/users/self/feed","mode":"status","status":500,"count":2})");
    EXPECT_EQ(Get(kAccount).Status(), 200);
    EXPECT_EQ(Get(kFeed).Status(), 500);
    EXPECT_EQ(Get(kFeed).Status(), 500);
    EXPECT_EQ(Get(kFeed).Status(), 200);
}

TEST_F(FaultModeTest, ATimedStallAnswersNormallyAfterItsTime) {
    stub_->SetFault(R"({"mode":"stall","seconds":0.3})");
    RawReply reply = Get(kAccount);
    EXPECT_GE(reply.elapsed, 300ms);
    EXPECT_EQ(reply.Status(), 200);
    EXPECT_TRUE(ParsesAsJson(reply.body));
}

TEST_F(FaultModeTest, StallsWhoseClientsLeftFreeTheirThreadsForControlCalls) {
    stub_->SetFault(R"({"mode":"stall"})");
    // More stalled requests than the stub has server threads (32), each given up.
    for (int i = 0; i < 40; ++i) EXPECT_EQ(Get(kFeed, 50ms).Status(), 0);
    stub_->ClearFaults();  // throws when no thread answers it within its time-out
    EXPECT_EQ(Get(kFeed).Status(), 200);
}

TEST_F(FaultModeTest, ControlBodiesOver8KBAreTakenWhateverTheirContentType) {
    const std::string body(9000, 'b');
    httplib::Client client("127.0.0.1", stub_->Port());
    // As `curl -d` sends them.
    auto result =
        client.Post("/_control/fault", R"({"mode":"status","status":500,"body":")" + body + R"("})",
                    "application/x-www-form-urlencoded");
    ASSERT_TRUE(result);
    ASSERT_EQ(result->status, 200) << result->body;
    EXPECT_EQ(Get(kFeed).body, body);
}

TEST_F(FaultModeTest, TrickleSendsTheWholeBodyOneByteAtATime) {
    std::string normal = Get(kAccount).body;
    stub_->SetFault(R"({"mode":"trickle","interval_ms":4})");
    RawReply reply = Get(kAccount);
    EXPECT_EQ(reply.body, normal);
    EXPECT_GE(reply.elapsed, std::chrono::milliseconds(4 * normal.size() * 3 / 4));
}

TEST_F(FaultModeTest, DropMidBodyAnnouncesTheLengthAndClosesEarly) {
    std::string normal = Get(kFeed).body;
    stub_->SetFault(R"({"mode":"drop_mid_body","count":1})");
    RawReply half = Get(kFeed);
    EXPECT_EQ(half.Header("Content-Length"), std::to_string(normal.size()));
    EXPECT_EQ(half.body, normal.substr(0, normal.size() / 2));
    EXPECT_TRUE(half.closedByServer);
    stub_->SetFault(R"({"mode":"drop_mid_body","sent_bytes":10})");
    EXPECT_EQ(Get(kFeed).body, normal.substr(0, 10));
}

// A media transfer cut short is resumed with Range and If-Range; the cut
// fault counts its bytes from where the Range starts.
TEST_F(FaultModeTest, DropMidBodyWorksOnLargeMediaAndARangeResumesWhereItCut) {
    stub_->SetScenario(R"({"feeds":{"feed":[{"media":"big.jpg","size":3000000}]}})");
    const RawReply whole = Get("/media/big.jpg");
    const std::string etag = whole.Header("ETag");
    ASSERT_FALSE(etag.empty());
    stub_->SetFault(R"({"path":"/media/","mode":"drop_mid_body","sent_bytes":1000000,"count":2})");
    RawReply reply = Get("/media/big.jpg");
    EXPECT_EQ(reply.Header("Content-Length"), "3000000");
    EXPECT_EQ(reply.body.size(), 1000000u);
    EXPECT_EQ(reply.body.substr(1, 3), "PNG");

    const auto ranged = [this](uint64_t from, const std::string& ifRange) {
        return RawGet(
            stub_->Port(), "/media/big.jpg", 10s, 64 << 20, 64 << 20,
            "Range: bytes=" + std::to_string(from) + "-\r\nIf-Range: " + ifRange + "\r\n");
    };
    const RawReply secondCut = ranged(1000000, etag);
    EXPECT_EQ(secondCut.Status(), 206);
    EXPECT_EQ(secondCut.Header("Content-Range"), "bytes 1000000-2999999/3000000");
    EXPECT_EQ(secondCut.body, whole.body.substr(1000000, 1000000));
    const RawReply rest = ranged(2000000, etag);
    EXPECT_EQ(rest.Status(), 206);
    EXPECT_EQ(reply.body + secondCut.body + rest.body, whole.body);

    const RawReply changed = ranged(2000000, "\"another\"");
    EXPECT_EQ(changed.Status(), 200);
    EXPECT_EQ(changed.body.size(), whole.body.size());
    EXPECT_EQ(ranged(3000000, etag).Status(), 416);
    stub_->SetScenario("");
}

TEST_F(FaultModeTest, MalformedAndTruncatedJsonDoNotParse) {
    std::string normal = Get(kFeed).body;
    stub_->SetFault(R"({"mode":"malformed_json","count":1})");
    RawReply malformed = Get(kFeed);
    EXPECT_EQ(malformed.Status(), 200);
    EXPECT_FALSE(ParsesAsJson(malformed.body));
    stub_->SetFault(R"({"mode":"truncated_json","count":1})");
    RawReply truncated = Get(kFeed);
    EXPECT_EQ(truncated.Status(), 200);
    EXPECT_EQ(truncated.body, normal.substr(0, normal.size() / 2));
    EXPECT_EQ(truncated.Header("Content-Length"), std::to_string(normal.size() / 2));
    EXPECT_FALSE(ParsesAsJson(truncated.body));
}

TEST_F(FaultModeTest, WrongTypesChangesTheChosenMember) {
    stub_->SetFault(R"({"mode":"wrong_types","variant":"code_string","count":1})");
    Json::Value root;
    ASSERT_TRUE(ParsesAsJson(Get(kFeed).body, &root));
    EXPECT_TRUE(root["meta"]["code"].isString());
    stub_->SetFault(R"({"mode":"wrong_types","variant":"names_not_strings"})");
    ASSERT_TRUE(ParsesAsJson(Get(kAccount).body, &root));
    EXPECT_TRUE(root["data"]["username"].isInt());
}

TEST_F(FaultModeTest, DeepNestingSendsTheRequestedDepth) {
    stub_->SetFault(R"({"mode":"deep_nesting","depth":100000,"count":1})");
    RawReply arrays = Get(kFeed);
    EXPECT_EQ(std::count(arrays.body.begin(), arrays.body.end(), '['), 100000);
    EXPECT_EQ(std::count(arrays.body.begin(), arrays.body.end(), ']'), 100000);
    stub_->SetFault(R"({"mode":"deep_nesting","depth":5000,"kind":"object"})");
    RawReply objects = Get(kFeed);
    EXPECT_TRUE(ParsesAsJson(objects.body));
    EXPECT_EQ(std::count(objects.body.begin(), objects.body.end(), '{'),
              5000 + 2);  // and the reply's own two
}

TEST_F(FaultModeTest, NextUrlLoopPointsAtTheSamePage) {
    stub_->SetFault(R"({"mode":"next_url_loop"})");
    const std::string second = kFeed + "&max_id=10";
    Json::Value root;
    ASSERT_TRUE(ParsesAsJson(Get(second).body, &root));
    EXPECT_EQ(root["pagination"]["next_url"].asString(), stub_->BaseUrl() + second);
    EXPECT_EQ(root["data"].size(), 10u);
}

TEST_F(FaultModeTest, HugeReplyIsValidJsonOfExactlyTheGivenSize) {
    stub_->SetFault(R"({"mode":"huge_reply","bytes":5000000})");
    RawReply reply = Get(kFeed);
    EXPECT_EQ(reply.Header("Content-Length"), "5000000");
    ASSERT_EQ(reply.body.size(), 5000000u);
    Json::Value root;
    ASSERT_TRUE(ParsesAsJson(reply.body, &root));
    EXPECT_EQ(root["meta"]["code"].asInt(), 200);
}

TEST_F(FaultModeTest, RedirectsGoToThemselvesOrWhereTheyAreTold) {
    stub_->SetFault(R"({"mode":"redirect_loop","count":1})");
    RawReply loop = Get(kFeed);
    EXPECT_EQ(loop.Status(), 302);
    EXPECT_EQ(loop.Header("Location"), stub_->BaseUrl() + kFeed);
    stub_->SetFault(R"({"mode":"redirect_to","location":"file:///etc/passwd"})");
    RawReply away = Get(kFeed);
    EXPECT_EQ(away.Status(), 302);
    EXPECT_EQ(away.Header("Location"), "file:///etc/passwd");
}

TEST_F(FaultModeTest, EndlessBodyKeepsComing) {
    stub_->SetFault(R"({"mode":"endless_body"})");
    RawReply reply = Get(kFeed, 10s, 4 << 20);
    EXPECT_EQ(reply.Status(), 200);
    EXPECT_GE(reply.bodyBytes, size_t{4} << 20);
    EXPECT_FALSE(reply.closedByServer);
}

TEST_F(FaultModeTest, EmptyBodyIsStatus200WithNoBytes) {
    stub_->SetFault(R"({"mode":"empty_body"})");
    RawReply reply = Get(kFeed);
    EXPECT_EQ(reply.Status(), 200);
    EXPECT_EQ(reply.Header("Content-Length"), "0");
    EXPECT_TRUE(reply.body.empty());
}

TEST_F(FaultModeTest, NulInBodyFollowsOrSplitsTheReply) {
    std::string normal = Get(kAccount).body;
    stub_->SetFault(R"({"mode":"nul_in_body","count":1})");
    RawReply after = Get(kAccount);
    EXPECT_EQ(after.body.find('\0'), normal.size());
    EXPECT_EQ(after.body.substr(0, normal.size()), normal);
    stub_->SetFault(R"({"mode":"nul_in_body","at":"middle"})");
    RawReply middle = Get(kAccount);
    EXPECT_EQ(middle.body.find('\0'), normal.size() / 2);
    EXPECT_EQ(middle.body.size(), normal.size() + 1);
}

TEST_F(FaultModeTest, ABadFaultIsRefusedByTheControlEndpoint) {
    EXPECT_THROW(stub_->SetFault(R"({"mode":"explode"})"), std::runtime_error);
    EXPECT_EQ(Get(kFeed).Status(), 200);
}

class SlowReplyShutdownTest : public ::testing::TestWithParam<const char*> {};

TEST_P(SlowReplyShutdownTest, EndsPromptlyWhenTheStubStops) {
    auto stub = std::make_unique<StubServer>();
    stub->SetFault(GetParam());
    int port = stub->Port();
    auto pending = std::async(std::launch::async,
                              [port] { return RawGet(port, kFeed, 30s, SIZE_MAX, 1 << 20); });
    // The request must be inside the stub before it is told to stop.
    ASSERT_EQ(pending.wait_for(300ms), std::future_status::timeout);
    auto stopping = std::chrono::steady_clock::now();
    stub.reset();
    RawReply reply = pending.get();
    EXPECT_TRUE(reply.closedByServer);
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, 3s);
}

INSTANTIATE_TEST_SUITE_P(Modes, SlowReplyShutdownTest,
                         ::testing::Values(R"({"mode":"stall"})",
                                           R"({"mode":"trickle","interval_ms":1000})",
                                           R"({"mode":"endless_body"})"));

}  // namespace
}  // namespace pixolune::test
