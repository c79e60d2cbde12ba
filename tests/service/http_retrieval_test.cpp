#include "service/http_retrieval.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "service/pixolune_client.h"
#include "tests/service/log_capture.h"
#include "tests/service/quick_options.h"
#include "tests/support/loopback_server.h"

namespace pixolune {
namespace {

using namespace std::chrono_literals;
using test::LogCapture;
using test::LoopbackServer;

using test::QuickOptions;

class RetrievalTest : public ::testing::Test {
  protected:
    void Serve(const std::string& path, int status, const std::string& body) {
        server.Http().Get(path, [status, body](const httplib::Request&, httplib::Response& res) {
            res.status = status;
            res.set_content(body, "application/json");
        });
    }
    RetrievalResult Read(const std::string& path,
                         const RetrievalOptions& options = QuickOptions()) {
        data = "stale";
        return ReadWholeUrl(server.Url(path), data, options);
    }

    LogCapture log;
    LoopbackServer server;
    std::string data;
};

struct StatusCase {
    int status;
    RetrievalResult expected;
    bool bodyKept;
};

class RetrievalStatusTest : public RetrievalTest,
                            public ::testing::WithParamInterface<StatusCase> {};

TEST_P(RetrievalStatusTest, OnlyTwoHundredAndFinalRedirectStatusesDeliverTheBody) {
    const StatusCase& c = GetParam();
    Serve("/s", c.status, "{\"body\":1}");
    EXPECT_EQ(Read("/s"), c.expected);
    EXPECT_EQ(data, c.bodyKept ? "{\"body\":1}" : "");
    if (c.expected != RetrievalResult::Ok) {
        EXPECT_EQ(log.All(),
                  std::vector<std::string>{"HttpQueryInfo()  error returned by server: " +
                                           std::to_string(c.status)});
    } else {
        EXPECT_TRUE(log.All().empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Statuses, RetrievalStatusTest,
                         ::testing::Values(StatusCase{200, RetrievalResult::Ok, true},
                                           StatusCase{301, RetrievalResult::Ok, true},
                                           StatusCase{302, RetrievalResult::Ok, true},
                                           StatusCase{404, ServerAnswered(404), false},
                                           StatusCase{400, ServerAnswered(400), false},
                                           StatusCase{429, ServerAnswered(429), false},
                                           StatusCase{500, ServerAnswered(500), false},
                                           StatusCase{204, ServerAnswered(204), false}));

TEST_F(RetrievalTest, LongBodyArrivesWholeAndInOrder) {
    std::string body;
    for (int i = 0; i < 5000; ++i) body += std::to_string(i) + ",";
    Serve("/long", 200, body);
    EXPECT_EQ(Read("/long"), RetrievalResult::Ok);
    EXPECT_EQ(data, body);
}

TEST_F(RetrievalTest, EmptyBodyIsSuccessWithNoData) {
    Serve("/empty", 200, "");
    EXPECT_EQ(Read("/empty"), RetrievalResult::Ok);
    EXPECT_EQ(data, "");
}

TEST_F(RetrievalTest, SendsTheAgentAndNoCacheHeaders) {
    std::string agent, pragma, cacheControl;
    server.Http().Get("/h", [&](const httplib::Request& req, httplib::Response& res) {
        agent = req.get_header_value("User-Agent");
        pragma = req.get_header_value("Pragma");
        cacheControl = req.get_header_value("Cache-Control");
        res.set_content("{}", "application/json");
    });
    ASSERT_EQ(Read("/h"), RetrievalResult::Ok);
    EXPECT_EQ(agent, "Internet Explorer");
    EXPECT_EQ(pragma, "no-cache");
    EXPECT_EQ(cacheControl, "no-cache");
}

TEST_F(RetrievalTest, ReplyAboveTheLimitIsRefused) {
    Serve("/big", 200, std::string(5000, 'x'));
    Serve("/fits", 200, std::string(1000, 'y'));
    RetrievalOptions options = QuickOptions();
    options.maxReplyBytes = 1000;
    EXPECT_EQ(Read("/big", options), RetrievalResult::GrowFailed);
    EXPECT_EQ(data, "");
    EXPECT_TRUE(log.Has("InternetReadWholeFile: reply larger than 1000 bytes refused"));
    EXPECT_EQ(Read("/fits", options), RetrievalResult::Ok);
    EXPECT_EQ(data.size(), 1000u);
}

TEST_F(RetrievalTest, ClosedPortFailsToOpen) {
    std::string url;
    {
        LoopbackServer gone;
        url = gone.Url("/v1");
    }
    RetrievalDetails details;
    EXPECT_EQ(ReadWholeUrl(url, data, QuickOptions(), &details), RetrievalResult::OpenFailed);
    EXPECT_EQ(log.All(), std::vector<std::string>{"InternetOpenUrl() failed, error 7"});
    // A person reads the reason, not the code.
    EXPECT_EQ(RetrievalFailureText(RetrievalResult::OpenFailed, details.transferCode),
              "Couldn't connect to server");
}

TEST_F(RetrievalTest, OtherSchemesAreRefused) {
    EXPECT_EQ(ReadWholeUrl("file:///etc/hostname", data, QuickOptions()),
              RetrievalResult::OpenFailed);
    EXPECT_EQ(data, "");
    EXPECT_EQ(log.Count("InternetOpenUrl() failed, error "), 1u);
}

TEST_F(RetrievalTest, ConnectionDroppedMidBodyIsAReadFailure) {
    server.Http().Get("/drop", [](const httplib::Request&, httplib::Response& res) {
        res.set_content_provider(1000, "application/json",
                                 [](size_t offset, size_t, httplib::DataSink& sink) {
                                     if (offset > 0) return false;
                                     sink.write("{\"meta\":", 8);
                                     return true;
                                 });
    });
    EXPECT_EQ(Read("/drop"), RetrievalResult::ReadFailed);
    EXPECT_EQ(data, "");
    EXPECT_EQ(log.Count("InternetReadWholeFile: error "), 1u);
    EXPECT_TRUE(log.HasContaining(" returned by InternetReadFile"));
}

TEST_F(RetrievalTest, SilentServerEndsAsAFailedStatusQueryWithinTheLimit) {
    server.Http().Get("/silent", [&](const httplib::Request&, httplib::Response& res) {
        server.Stall(30s);
        res.set_content("{}", "application/json");
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Read("/silent"), TransferFailed(28));  // the transfer library's time-out code
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    EXPECT_EQ(log.All(), std::vector<std::string>{"HttpQueryInfo() failed, error 28"});
}

TEST_F(RetrievalTest, AbortHookEndsAStalledRequest) {
    server.Http().Get("/silent", [&](const httplib::Request&, httplib::Response& res) {
        server.Stall(30s);
        res.set_content("{}", "application/json");
    });
    RetrievalOptions options;  // the real limits: only the hook can end it quickly
    const auto start = std::chrono::steady_clock::now();
    options.shouldAbort = [&] { return std::chrono::steady_clock::now() - start > 300ms; };
    EXPECT_NE(Read("/silent", options), RetrievalResult::Ok);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
}

TEST_F(RetrievalTest, QueryServerCutsAtNulAndSetsLastError) {
    server.Http().Get("/nul", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(std::string("{\"a\":1}\0garbage", 15), "application/json");
    });
    Serve("/missing", 404, "nope");
    CPixoluneClient client("tok");
    client.LastError = "old";
    std::string reply = "unchanged";
    EXPECT_EQ(client.QueryServer(server.Url("/nul"), reply), RetrievalResult::Ok);
    EXPECT_EQ(reply, "{\"a\":1}");
    EXPECT_EQ(client.LastError, "");

    reply = "unchanged";
    EXPECT_EQ(client.QueryServer(server.Url("/missing"), reply), ServerAnswered(404));
    EXPECT_EQ(reply, "unchanged");
    EXPECT_EQ(client.LastError, "Connection to Pixolune server failed with error 404");
}

}  // namespace
}  // namespace pixolune

namespace pixolune {
namespace {

struct RetryAfterCase {
    const char* value;
    unsigned seconds;
};

class RetryAfterTest : public ::testing::TestWithParam<RetryAfterCase> {};

TEST_P(RetryAfterTest, OnlyDelaySecondsCountAndADayIsTheMost) {
    EXPECT_EQ(RetryAfterSeconds(GetParam().value), GetParam().seconds) << GetParam().value;
}

INSTANTIATE_TEST_SUITE_P(Values, RetryAfterTest,
                         ::testing::Values(RetryAfterCase{"", 0}, RetryAfterCase{"0", 0},
                                           RetryAfterCase{"3", 3}, RetryAfterCase{"86399", 86399},
                                           RetryAfterCase{"86401", 86400},
                                           RetryAfterCase{"99999999999999999999999", 86400},
                                           RetryAfterCase{"-5", 0}, RetryAfterCase{"3.5", 0},
                                           RetryAfterCase{"Wed, 21 Oct 2026 07:28:00 GMT", 0}));

}  // namespace
}  // namespace pixolune
