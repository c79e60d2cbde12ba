#include "platform/http_client.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/curl_library.h"
#include "platform/rate_budget.h"
#include "tests/support/loopback_server.h"

namespace pixolune::platform {
namespace {

using test::LoopbackServer;

using namespace std::chrono_literals;

// What a transfer handed to its callbacks.
struct Observed {
    std::vector<long> statuses;
    std::string body;
    size_t pieces = 0;
    size_t largestPiece = 0;
    bool bodyBeforeStatus = false;
};

HttpRequest RequestFor(const std::string& url, Observed& seen) {
    HttpRequest request;
    request.url = url;
    request.onStatus = [&seen](long status) {
        seen.statuses.push_back(status);
        return true;
    };
    request.onBody = [&seen](const char* data, size_t size) {
        if (seen.statuses.empty()) seen.bodyBeforeStatus = true;
        seen.body.append(data, size);
        ++seen.pieces;
        seen.largestPiece = std::max(seen.largestPiece, size);
        return true;
    };
    return request;
}

class HttpClientTest : public ::testing::Test {
  protected:
    LoopbackServer server;
    Observed seen;
};

TEST_F(HttpClientTest, DeliversStatusOnceBeforeBodyInPiecesOfTheBufferSize) {
    const std::string big(50000, 'x');
    server.Http().Get("/big", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content(big + "end", "application/json");
    });
    HttpRequest request = RequestFor(server.Url("/big"), seen);
    request.bufferSize = 1024;
    const HttpResult result = PerformHttpGet(request);

    EXPECT_EQ(result.failure, HttpFailure::None);
    EXPECT_EQ(result.status, 200);
    EXPECT_EQ(seen.statuses, std::vector<long>{200});
    EXPECT_FALSE(seen.bodyBeforeStatus);
    EXPECT_EQ(seen.body, big + "end");
    EXPECT_GT(seen.pieces, 1u);
    EXPECT_LE(seen.largestPiece, 1024u);
}

TEST_F(HttpClientTest, AStopIsNoticedWithinOnePieceOfTheBufferSize) {
    server.Http().Get("/big", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content(std::string(50000, 'x'), "image/jpeg");
    });
    HttpRequest request = RequestFor(server.Url("/big"), seen);
    request.bufferSize = 1024;
    request.shouldAbort = [this] { return seen.pieces > 0; };
    const HttpResult result = PerformHttpGet(request);

    EXPECT_EQ(result.failure, HttpFailure::Aborted);
    EXPECT_EQ(seen.pieces, 1u);
    EXPECT_EQ(seen.body.size(), 1024u);
}

TEST_F(HttpClientTest, ErrorStatusIsReportedWithItsBodyAndRetryAfter) {
    server.Http().Get("/busy", [](const httplib::Request&, httplib::Response& res) {
        res.status = 429;
        res.set_header("Retry-After", "17");
        res.set_content("slow down", "text/plain");
    });
    const HttpResult result = PerformHttpGet(RequestFor(server.Url("/busy"), seen));

    EXPECT_EQ(result.failure, HttpFailure::None);
    EXPECT_EQ(result.status, 429);
    EXPECT_EQ(result.retryAfter, "17");
    EXPECT_EQ(seen.statuses, std::vector<long>{429});
    EXPECT_EQ(seen.body, "slow down");
}

TEST_F(HttpClientTest, EmptyBodyStillReportsItsStatus) {
    server.Http().Get("/empty",
                      [](const httplib::Request&, httplib::Response& res) { res.status = 200; });
    const HttpResult result = PerformHttpGet(RequestFor(server.Url("/empty"), seen));

    EXPECT_EQ(result.failure, HttpFailure::None);
    EXPECT_EQ(seen.statuses, std::vector<long>{200});
    EXPECT_TRUE(seen.body.empty());
}

TEST_F(HttpClientTest, SendsNoCacheHeadersAgentAndExtraHeaders) {
    httplib::Headers received;
    server.Http().Get("/echo", [&](const httplib::Request& req, httplib::Response& res) {
        received = req.headers;
        res.set_content("ok", "text/plain");
    });
    HttpRequest request = RequestFor(server.Url("/echo"), seen);
    request.userAgent = "Test Agent";
    request.headers = {"X-Extra: yes"};
    ASSERT_EQ(PerformHttpGet(request).failure, HttpFailure::None);

    auto value = [&](const char* name) {
        auto found = received.find(name);
        return found == received.end() ? std::string("<absent>") : found->second;
    };
    EXPECT_EQ(value("Pragma"), "no-cache");
    EXPECT_EQ(value("Cache-Control"), "no-cache");
    EXPECT_EQ(value("User-Agent"), "Test Agent");
    EXPECT_EQ(value("X-Extra"), "yes");
}

TEST_F(HttpClientTest, FollowsRedirectsAndReportsOnlyTheFinalAnswer) {
    server.Http().Get("/first", [&](const httplib::Request&, httplib::Response& res) {
        res.set_redirect(server.Url("/second"), 301);
    });
    server.Http().Get("/second", [](const httplib::Request&, httplib::Response& res) {
        res.set_redirect("/final", 302);
    });
    server.Http().Get("/final", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("arrived", "text/plain");
    });
    const HttpResult result = PerformHttpGet(RequestFor(server.Url("/first"), seen));

    EXPECT_EQ(result.failure, HttpFailure::None);
    EXPECT_EQ(result.status, 200);
    EXPECT_EQ(seen.statuses, std::vector<long>{200});
    EXPECT_EQ(seen.body, "arrived");
}

TEST_F(HttpClientTest, RedirectStatusWithoutLocationIsTheFinalAnswer) {
    server.Http().Get("/moved", [](const httplib::Request&, httplib::Response& res) {
        res.status = 302;
        res.set_content("moved body", "text/plain");
    });
    const HttpResult result = PerformHttpGet(RequestFor(server.Url("/moved"), seen));

    EXPECT_EQ(result.failure, HttpFailure::None);
    EXPECT_EQ(seen.statuses, std::vector<long>{302});
    EXPECT_EQ(seen.body, "moved body");
}

TEST_F(HttpClientTest, RedirectLoopEndsAtTheHopLimit) {
    int hops = 0;
    server.Http().Get("/loop", [&](const httplib::Request&, httplib::Response& res) {
        ++hops;
        res.set_redirect("/loop", 302);
    });
    HttpRequest request = RequestFor(server.Url("/loop"), seen);
    request.limits.maxRedirects = 3;
    const HttpResult result = PerformHttpGet(request);

    EXPECT_EQ(result.failure, HttpFailure::Connect);
    EXPECT_GT(result.errorCode, 0);
    EXPECT_FALSE(result.errorText.empty());
    EXPECT_TRUE(seen.statuses.empty());
    EXPECT_TRUE(seen.body.empty());
    EXPECT_EQ(hops, 4);  // the first request and three hops
}

TEST_F(HttpClientTest, OtherSchemesAreRefusedAlsoAsRedirectTargets) {
    server.Http().Get("/to-file", [](const httplib::Request&, httplib::Response& res) {
        res.set_redirect("file:///etc/passwd", 302);
    });
    for (const std::string& url : {std::string("file:///etc/passwd"), server.Url("/to-file")}) {
        Observed local;
        const HttpResult result = PerformHttpGet(RequestFor(url, local));
        EXPECT_EQ(result.failure, HttpFailure::Connect) << url;
        EXPECT_GT(result.errorCode, 0) << url;
        EXPECT_TRUE(local.body.empty()) << url;
        EXPECT_TRUE(local.statuses.empty()) << url;
    }
}

TEST_F(HttpClientTest, ClosedPortIsAConnectFailure) {
    std::string url;
    {
        LoopbackServer gone;
        url = gone.Url("/nothing");
    }
    const HttpResult result = PerformHttpGet(RequestFor(url, seen));
    EXPECT_EQ(result.failure, HttpFailure::Connect);
    EXPECT_GT(result.errorCode, 0);
    EXPECT_EQ(result.status, 0);
}

TEST_F(HttpClientTest, DecliningTheStatusSkipsTheBody) {
    server.Http().Get("/gone", [](const httplib::Request&, httplib::Response& res) {
        res.status = 404;
        res.set_content("not here", "text/plain");
    });
    HttpRequest request = RequestFor(server.Url("/gone"), seen);
    request.onStatus = [](long) { return false; };
    const HttpResult result = PerformHttpGet(request);

    EXPECT_EQ(result.failure, HttpFailure::Skipped);
    EXPECT_EQ(result.status, 404);
    EXPECT_TRUE(seen.body.empty());
}

TEST_F(HttpClientTest, RefusingAPieceAbortsTheTransfer) {
    server.Http().Get("/big", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(std::string(200000, 'y'), "text/plain");
    });
    HttpRequest request = RequestFor(server.Url("/big"), seen);
    size_t pieces = 0;
    request.onBody = [&](const char*, size_t) { return ++pieces < 2; };
    const HttpResult result = PerformHttpGet(request);

    EXPECT_EQ(result.failure, HttpFailure::Aborted);
    EXPECT_EQ(pieces, 2u);
}

// The server sends its headers and a first piece, then goes silent.
void ServeStallAfterFirstPiece(LoopbackServer& server) {
    server.Http().Get("/stall", [&server](const httplib::Request&, httplib::Response& res) {
        res.set_chunked_content_provider("text/plain", [&server](size_t, httplib::DataSink& sink) {
            sink.write("first", 5);
            server.Stall(30s);
            sink.done();
            return true;
        });
    });
}

TEST_F(HttpClientTest, AbortEndsATransferThatStalls) {
    ServeStallAfterFirstPiece(server);
    HttpRequest request = RequestFor(server.Url("/stall"), seen);
    const auto start = std::chrono::steady_clock::now();
    request.shouldAbort = [&] { return std::chrono::steady_clock::now() - start > 500ms; };
    const HttpResult result = PerformHttpGet(request);
    const auto took = std::chrono::steady_clock::now() - start;

    EXPECT_EQ(result.failure, HttpFailure::Aborted);
    EXPECT_EQ(seen.body, "first");
    EXPECT_LT(took, 5s);
}

TEST_F(HttpClientTest, PartialAnswerHandsItsRangeStartAndValidatorsToTheHead) {
    server.Http().Get("/part", [](const httplib::Request& req, httplib::Response& res) {
        EXPECT_EQ(req.get_header_value("Range"), "bytes=4-");
        // The server cuts the range and writes Content-Range itself.
        res.set_header("ETag", "\"v1\"");
        res.set_header("Last-Modified", "Tue, 01 Dec 2026 10:00:00 GMT");
        res.set_content("0123456789", "image/jpeg");
    });
    HttpRequest request = RequestFor(server.Url("/part"), seen);
    request.headers = {"Range: bytes=4-"};
    HttpResponseHead head;
    request.onHead = [&head](const HttpResponseHead& given) {
        head = given;
        return true;
    };
    const HttpResult result = PerformHttpGet(request);

    EXPECT_EQ(result.failure, HttpFailure::None);
    EXPECT_EQ(head.status, 206);
    EXPECT_EQ(head.rangeStart, 4);
    EXPECT_EQ(head.etag, "\"v1\"");
    EXPECT_EQ(head.lastModified, "Tue, 01 Dec 2026 10:00:00 GMT");
    EXPECT_EQ(seen.body, "456789");
}

// The pipeline's loop: each transfer is handed back as it ends while the
// others go on, and a wake-up from another thread ends a wait at once.
TEST_F(HttpClientTest, DrivingHandsBackEachTransferAsItEndsAndAWakeupEndsTheWait) {
    ServeStallAfterFirstPiece(server);
    server.Http().Get("/quick", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("quick", "text/plain");
    });
    Observed slowSeen;
    HttpSession session;
    const HttpSession::TransferId slow = session.Start(RequestFor(server.Url("/stall"), slowSeen));
    const HttpSession::TransferId quick = session.Start(RequestFor(server.Url("/quick"), seen));

    std::vector<HttpSession::Ended> ended;
    for (int tries = 0; tries < 50 && ended.empty(); ++tries)
        ended = session.DriveUntilOneEnds(10s);
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(ended[0].id, quick);
    EXPECT_EQ(ended[0].result.failure, HttpFailure::None);
    EXPECT_EQ(seen.body, "quick");
    EXPECT_EQ(session.InFlight(), 1u);

    std::thread waker([&session] {
        std::this_thread::sleep_for(200ms);
        session.Wakeup();
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(session.DriveUntilOneEnds(20s).empty());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    waker.join();

    server.Release();
    ended.clear();
    for (int tries = 0; tries < 50 && ended.empty(); ++tries)
        ended = session.DriveUntilOneEnds(10s);
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(ended[0].id, slow);
    EXPECT_EQ(session.InFlight(), 0u);
}

// While a feed page is awaited its owner takes the media that ended and
// starts others; the page itself is left to its Wait.
TEST_F(HttpClientTest, WaitingHookTakesTheOthersAsTheyEndAndLeavesTheAwaitedOneToItsWait) {
    ServeStallAfterFirstPiece(server);
    server.Http().Get("/quick", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("quick", "text/plain");
    });
    HttpSession session;
    Observed quickSeen;
    HttpSession::TransferId quick = 0;
    std::vector<HttpSession::TransferId> handedOut;
    int calls = 0;
    session.WhileWaiting([&] {
        ++calls;
        if (quick == 0) quick = session.Start(RequestFor(server.Url("/quick"), quickSeen));
        for (const HttpSession::Ended& one : session.DriveUntilOneEnds(0ms)) {
            handedOut.push_back(one.id);
            server.Release();  // the awaited answer ends once the other has come
        }
    });
    const HttpResult result = session.Perform(RequestFor(server.Url("/stall"), seen));
    session.WhileWaiting(nullptr);

    EXPECT_EQ(result.failure, HttpFailure::None);
    EXPECT_EQ(seen.body, "first");
    EXPECT_EQ(handedOut, std::vector<HttpSession::TransferId>{quick});
    EXPECT_EQ(quickSeen.body, "quick");
    EXPECT_GE(calls, 2);  // once the request was under way, again when the other ended
    EXPECT_EQ(session.InFlight(), 0u);
}

TEST_F(HttpClientTest, WhatTheWaitingHookThrowsEndsTheAwaitedRequestAndLeavesItsWait) {
    ServeStallAfterFirstPiece(server);
    HttpSession session;
    session.WhileWaiting([] { throw std::runtime_error("disk full"); });
    EXPECT_THROW((void)session.Perform(RequestFor(server.Url("/stall"), seen)), std::runtime_error);
    EXPECT_EQ(session.InFlight(), 0u);
}

TEST_F(HttpClientTest, LowSpeedLimitEndsAStallInTheBody) {
    ServeStallAfterFirstPiece(server);
    HttpRequest request = RequestFor(server.Url("/stall"), seen);
    // libcurl averages the speed over a few seconds; a high floor makes the
    // five bytes already received count for nothing.
    request.limits.lowSpeedBytesPerSecond = 100000;
    request.limits.lowSpeedSeconds = 1;
    const auto start = std::chrono::steady_clock::now();
    const HttpResult result = PerformHttpGet(request);

    EXPECT_EQ(result.failure, HttpFailure::Body);
    EXPECT_EQ(result.status, 200);
    EXPECT_GT(result.errorCode, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
}

TEST_F(HttpClientTest, LowSpeedLimitEndsAStallBeforeTheStatus) {
    server.Http().Get("/silent", [&](const httplib::Request&, httplib::Response& res) {
        server.Stall(30s);
        res.set_content("late", "text/plain");
    });
    HttpRequest request = RequestFor(server.Url("/silent"), seen);
    request.limits.lowSpeedSeconds = 1;
    const auto start = std::chrono::steady_clock::now();
    const HttpResult result = PerformHttpGet(request);

    EXPECT_EQ(result.failure, HttpFailure::Status);
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(seen.statuses.empty());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
}

// A wait that fails would have the loop spin without a word: it ends every
// transfer in flight with the library's text, and the session goes on.
TEST_F(HttpClientTest, FailedMultiWaitEndsTheTransfersInFlightAndTheSessionGoesOn) {
    ServeStallAfterFirstPiece(server);
    server.Http().Get("/quick", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("quick", "text/plain");
    });
    HttpSession session;
    Observed stalled[2];
    const HttpSession::TransferId first =
        session.Start(RequestFor(server.Url("/stall"), stalled[0]));
    const HttpSession::TransferId second =
        session.Start(RequestFor(server.Url("/stall"), stalled[1]));
    for (int tries = 0; tries < 100 && (stalled[0].body.empty() || stalled[1].body.empty());
         ++tries)
        ASSERT_TRUE(session.DriveUntilOneEnds(50ms).empty());

    // The wait fails as a broken multi handle's would.
    CurlFunctions& curl = *Curl();
    const auto libraryPoll = curl.multi_poll;
    curl.multi_poll = [](CURLM*, curl_waitfd*, unsigned, int, int*) { return CURLM_OUT_OF_MEMORY; };
    const std::vector<HttpSession::Ended> ended = session.DriveUntilOneEnds(5s);
    curl.multi_poll = libraryPoll;
    ASSERT_EQ(ended.size(), 2u);
    for (const HttpSession::Ended& one : ended) {
        EXPECT_TRUE(one.id == first || one.id == second);
        EXPECT_TRUE(one.result.loopFailed);
        EXPECT_NE(one.result.failure, HttpFailure::None);
        EXPECT_NE(one.result.errorText.find("curl_multi_poll failed"), std::string::npos)
            << one.result.errorText;
    }
    EXPECT_EQ(session.InFlight(), 0u);

    server.Release();
    const HttpResult after = session.Perform(RequestFor(server.Url("/quick"), seen));
    EXPECT_EQ(after.failure, HttpFailure::None);
    EXPECT_EQ(seen.body, "quick");
}

TEST_F(HttpClientTest, ExceptionFromACallbackReachesTheCaller) {
    server.Http().Get("/ok", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("ok", "text/plain");
    });
    HttpRequest request = RequestFor(server.Url("/ok"), seen);
    request.onBody = [](const char*, size_t) -> bool { throw std::runtime_error("disk full"); };
    EXPECT_THROW((void)PerformHttpGet(request), std::runtime_error);
}

// Transfers that each read as fast as the budget lets them, on a simulated
// clock in 1 ms steps: the bytes each one got in each second.
struct BudgetRun {
    std::vector<std::map<int64_t, size_t>> bytesPerSecond;  // per transfer
    std::vector<int64_t> doneAtMs;                          // -1 while still reading
};

BudgetRun RunOnBudget(int64_t capBytesPerSecond, const std::vector<size_t>& fileBytes,
                      int64_t runMs) {
    constexpr size_t kPiece = 16 * 1024;
    RateBudget budget(RateBudget::Ms(0));
    budget.SetRate(capBytesPerSecond, RateBudget::Ms(0));
    BudgetRun run;
    run.bytesPerSecond.resize(fileBytes.size());
    run.doneAtMs.assign(fileBytes.size(), -1);
    std::vector<size_t> left = fileBytes;
    std::vector<bool> held(fileBytes.size(), false);
    auto read = [&](size_t id, int64_t ms) {
        const size_t piece = std::min(kPiece, left[id]);
        left[id] -= piece;
        run.bytesPerSecond[id][ms / 1000] += piece;
        if (left[id] == 0) {
            run.doneAtMs[id] = ms;
            budget.Forget(id);
        }
    };
    for (int64_t ms = 0; ms < runMs; ++ms) {
        const RateBudget::Ms now(ms);
        // As the session does: the line first, each resumed one taking its piece at once.
        while (const auto id = budget.NextToResume(now)) {
            held[*id] = false;
            EXPECT_TRUE(budget.Take(*id, std::min(kPiece, left[*id]), now));
            read(*id, ms);
        }
        for (size_t id = 0; id < fileBytes.size(); ++id) {
            if (held[id] || left[id] == 0) continue;
            if (budget.Take(id, std::min(kPiece, left[id]), now))
                read(id, ms);
            else
                held[id] = true;
        }
    }
    return run;
}

TEST(RateBudgetTest, SixteenTransfersTogetherKeepToTheCapOverAnyTenSeconds) {
    constexpr int64_t kCap = 512 * 1024;
    const BudgetRun run = RunOnBudget(kCap, std::vector<size_t>(16, 64u << 20), 30000);
    std::vector<size_t> total(30, 0);
    for (const auto& transfer : run.bytesPerSecond)
        for (const auto& [second, bytes] : transfer) total[static_cast<size_t>(second)] += bytes;
    for (size_t first = 0; first + 10 <= total.size(); ++first) {
        size_t window = 0;
        for (size_t second = first; second < first + 10; ++second) window += total[second];
        EXPECT_LE(window, static_cast<size_t>(1.1 * 10 * kCap)) << "from second " << first;
        // The cap is a cap, not a brake far below it.
        EXPECT_GE(window, static_cast<size_t>(0.9 * 10 * kCap)) << "from second " << first;
    }
    // Each transfer gets its share, none the whole line.
    size_t least = SIZE_MAX, most = 0;
    for (const auto& transfer : run.bytesPerSecond) {
        size_t bytes = 0;
        for (const auto& [second, got] : transfer) bytes += got;
        least = std::min(least, bytes);
        most = std::max(most, bytes);
    }
    EXPECT_GE(static_cast<double>(least), 0.8 * static_cast<double>(most));
}

TEST(RateBudgetTest, ASmallFileIsNotStarvedBehindLargeOnes) {
    constexpr int64_t kCap = 256 * 1024;
    std::vector<size_t> files(16, 64u << 20);
    files.back() = 128 * 1024;  // starts last, behind fifteen large files
    const BudgetRun run = RunOnBudget(kCap, files, 20000);
    // Its fair share is a sixteenth of the cap: 8 s for its bytes at most twice that long.
    const int64_t fairMs = static_cast<int64_t>(files.back()) * 1000 * 16 / kCap;
    ASSERT_GE(run.doneAtMs.back(), 0);
    EXPECT_LE(run.doneAtMs.back(), fairMs * 5 / 4);
}

TEST(RateBudgetTest, LiftingTheCapLetsTheLineGoAndEveryPieceThrough) {
    RateBudget budget(RateBudget::Ms(0));
    budget.SetRate(1024, RateBudget::Ms(0));
    // The bucket starts empty and fills; a large piece then puts it in debt.
    EXPECT_FALSE(budget.Take(1, 1024, RateBudget::Ms(0)));
    EXPECT_EQ(budget.NextToResume(RateBudget::Ms(100)), std::optional<uint64_t>(1));
    EXPECT_TRUE(budget.Take(1, 64 * 1024, RateBudget::Ms(100)));
    EXPECT_FALSE(budget.Take(2, 1024, RateBudget::Ms(101)));
    EXPECT_FALSE(budget.Take(3, 1024, RateBudget::Ms(101)));
    EXPECT_FALSE(budget.NextToResume(RateBudget::Ms(1000)).has_value());  // still in debt
    ASSERT_TRUE(budget.TimeToResume(RateBudget::Ms(1000)).has_value());
    EXPECT_GT(budget.TimeToResume(RateBudget::Ms(1000))->count(), 30000);
    budget.SetRate(0, RateBudget::Ms(1001));
    EXPECT_EQ(budget.NextToResume(RateBudget::Ms(1001)), std::optional<uint64_t>(2));
    EXPECT_EQ(budget.NextToResume(RateBudget::Ms(1001)), std::optional<uint64_t>(3));
    EXPECT_FALSE(budget.NextToResume(RateBudget::Ms(1001)).has_value());
    EXPECT_TRUE(budget.Take(4, 1u << 30, RateBudget::Ms(1001)));
}

// Over loopback, sixteen transfers of one session under a cap of 512 KiB/s:
// every byte arrives, and no faster than the cap allows.
TEST_F(HttpClientTest, RateCapHoldsSixteenTransfersTogether) {
    constexpr int64_t kCap = 512 * 1024;
    constexpr size_t kFileBytes = 160 * 1024;
    constexpr size_t kFiles = 16;
    const std::string file(kFileBytes, 'r');
    server.Http().Get("/file", [&file](const httplib::Request&, httplib::Response& res) {
        res.set_content(file, "application/octet-stream");
    });
    HttpSession session;
    session.SetRateCap(kCap);
    std::vector<Observed> seenEach(kFiles);
    std::map<HttpSession::TransferId, size_t> index;
    const auto start = std::chrono::steady_clock::now();
    for (size_t i = 0; i < kFiles; ++i) {
        HttpRequest request = RequestFor(server.Url("/file"), seenEach[i]);
        request.limits.lowSpeedBytesPerSecond = 1024;  // a share of the cap is far above it
        request.limits.lowSpeedSeconds = 2;
        index[session.Start(std::move(request))] = i;
    }
    size_t ended = 0;
    for (int tries = 0; tries < 200 && ended < kFiles; ++tries) {
        for (const HttpSession::Ended& one : session.DriveUntilOneEnds(10s)) {
            EXPECT_EQ(one.result.failure, HttpFailure::None) << one.result.errorText;
            ++ended;
        }
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    ASSERT_EQ(ended, kFiles);
    for (const Observed& each : seenEach) EXPECT_EQ(each.body, file);
    // The first burst (a tenth of a second) comes free.
    const double leastSeconds = (kFiles * kFileBytes - kCap / 10) / (1.1 * kCap);
    EXPECT_GE(std::chrono::duration<double>(elapsed).count(), leastSeconds);
}

}  // namespace
}  // namespace pixolune::platform
