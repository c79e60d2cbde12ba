// Querying a feed of 50 pages x 20 items from the local stand-in service:
// items per second, and the share of the time spent outside the HTTP
// transfers (reading the replies, building items, paging, logging).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "model/host_link.h"
#include "service/http_retrieval.h"
#include "service/pixolune_client.h"
#include "tests/support/stub_server.h"

namespace {

constexpr int kPages = 50;
constexpr int kPageSize = 20;
const char* const kToken = "tok-alice";

// The stand-in's generated scenario (page size 20), which
// feed_query_vs_curl.sh asks for too, so that both fetch the same pages.
const std::vector<std::string> kGenerate = {"--generate", "items=1000,seed=7,videos=200"};

// A host that takes every log line, so that formatting them is part of the cost.
int CountingHost(int, intptr_t, intptr_t) {
    return 1;
}

double Seconds(std::chrono::steady_clock::duration span) {
    return std::chrono::duration<double>(span).count();
}

void BM_QueryFeed50Pages(benchmark::State& state) {
    pixolune::test::StubServer::Options options;
    options.extraArgs = kGenerate;
    pixolune::test::StubServer stub(options);
    setenv("PIXOLUNE_API_BASE", stub.ApiBase().c_str(), 1);
    pixolune::SetHostCallback(&CountingHost);

    double querySeconds = 0;
    double transferSeconds = 0;
    int64_t items = 0;
    for (auto _ : state) {
        stub.ClearRequests();
        pixolune::CPixoluneClient client(kToken);
        pixolune::CPixoluneFeed feed;
        feed.Type = pixolune::kFeedMine;
        feed.MaxP = kPages * kPageSize;
        const auto start = std::chrono::steady_clock::now();
        if (client.QueryFeed(feed) != pixolune::QueryResult::Ok) {
            state.SkipWithError("QueryFeed failed");
            break;
        }
        querySeconds += Seconds(std::chrono::steady_clock::now() - start);
        items += static_cast<int64_t>(feed.Items.size());

        // The same pages fetched bare, to tell transfer time from the rest.
        state.PauseTiming();
        const std::vector<std::string> targets = stub.Requests();
        const auto fetchStart = std::chrono::steady_clock::now();
        for (const std::string& target : targets) {
            std::string body;
            benchmark::DoNotOptimize(pixolune::ReadWholeUrl(stub.BaseUrl() + target, body));
        }
        transferSeconds += Seconds(std::chrono::steady_clock::now() - fetchStart);
        state.ResumeTiming();
        if (targets.size() != static_cast<size_t>(kPages)) {
            state.SkipWithError("the stand-in did not serve 50 pages");
            break;
        }
    }
    unsetenv("PIXOLUNE_API_BASE");
    pixolune::SetHostCallback(nullptr);
    state.SetItemsProcessed(items);
    state.counters["pages"] = kPages;
    state.counters["outside_http_pct"] =
        querySeconds > 0 ? 100.0 * (1.0 - transferSeconds / querySeconds) : 0.0;
}
BENCHMARK(BM_QueryFeed50Pages)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
