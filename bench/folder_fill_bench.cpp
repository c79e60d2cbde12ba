// A first fill of many small items, and an idle pass over them once listed:
// what a file costs as the folder's list grows.
//   bench_folder_fill [ITEMS]   (100000 by default)
// Prints, for each tenth of the fill, the items stored per second and the CPU
// per item; then the idle pass (every item delivered again, none new) and the
// peak resident memory. A loopback server in the process serves each file
// (200 bytes) at once, so that the figures are the engine's; the feed is
// handed to the engine whole, as a service with no page limit would.
#include <httplib.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/feed_engine.h"
#include "model/host_link.h"
#include "tests/support/loopback_server.h"
#include "tests/support/temp_dir.h"

namespace {

using Clock = std::chrono::steady_clock;

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long PeakResidentKb() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

class WholeFeed : public pixolune::FeedQuery {
  public:
    explicit WholeFeed(const std::vector<pixolune::CPixoluneItem>& items) : items_(items) {}
    pixolune::FeedQueryOutcome Query(pixolune::CPixoluneFeed& feed) override {
        feed.Items = items_;
        return {pixolune::QueryResult::Ok, 0, pixolune::RetrievalResult::Ok};
    }

  private:
    const std::vector<pixolune::CPixoluneItem>& items_;
};

// PIXOLUNE_BENCH_LOG=1 shows the engine's lines on stderr.
int LogToStderr(int code, intptr_t, intptr_t text) {
    if (code == KAL_CB_LOG) std::fprintf(stderr, "%s\n", reinterpret_cast<const char*>(text));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 100000;
    if (count < 10) return 2;
    if (std::getenv("PIXOLUNE_BENCH_LOG")) pixolune::SetHostCallback(LogToStderr);
    const std::string body(200, 'x');
    // As a real server does: no 40 ms wait for an acknowledgement between
    // a reply's header and its body.
    pixolune::test::LoopbackServer media(pixolune::test::LoopbackServer::Options{0, true});
    media.Http().Get(R"(/m/.*)", [&body](const httplib::Request&, httplib::Response& response) {
        response.set_content(body, "image/jpeg");
    });
    const std::string base = media.Url("");
    pixolune::test::TempDir folder;
    std::vector<pixolune::CPixoluneItem> items(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        items[i].Url = base + "/m/f" + std::to_string(i) + ".jpg";
    }

    pixolune::PluginSettings settings;
    settings.ImgFolder = folder.Path();
    settings.tmUpdate = 24 * 60;  // one refresh for the fill; the idle pass asks for another
    settings.RestartKal = 0;
    settings.FeedsSynch = 0;
    pixolune::CFeedEngine engine(settings);
    engine.SetToken("tok");
    engine.Options().queryFactory = [&items](const std::string&, const pixolune::PluginSettings&,
                                             const std::atomic<int32_t>*) {
        return std::make_unique<WholeFeed>(items);
    };
    pixolune::CPixoluneFeed feed;
    feed.MaxP = count;
    engine.Configuration().Change(
        [&](pixolune::EngineConfiguration::Live& live) { live.Feeds = {feed}; });

    std::printf("%d items, %zu stored per row\n", count, static_cast<size_t>(count / 10));
    std::printf("%-12s %12s %16s\n", "stored", "items/s", "CPU ms/item");
    std::atomic<int32_t> stop{0};
    engine.BeginWork();
    const size_t slice = static_cast<size_t>(count) / 10;
    size_t nextRow = slice;
    auto sliceStart = Clock::now();
    double sliceCpu = CpuSeconds();
    while (engine.TEST_Records().Map().size() < static_cast<size_t>(count)) {
        (void)engine.RunPass(&stop);
        if (engine.TEST_Records().Map().size() < nextRow) continue;
        const double seconds = std::chrono::duration<double>(Clock::now() - sliceStart).count();
        const double cpu = CpuSeconds() - sliceCpu;
        std::printf("%-12zu %12.0f %16.3f\n", nextRow, static_cast<double>(slice) / seconds,
                    1000.0 * cpu / static_cast<double>(slice));
        std::fflush(stdout);
        nextRow += slice;
        sliceStart = Clock::now();
        sliceCpu = CpuSeconds();
    }
    while (engine.RunPass(&stop) == pixolune::DownloadStep::ItemTaken) {
    }

    // The idle pass: every item is delivered again and each is still there.
    engine.Configuration().MakeFeedsDue();
    const auto idleStart = Clock::now();
    const double idleCpu = CpuSeconds();
    while (engine.RunPass(&stop) == pixolune::DownloadStep::ItemTaken) {
    }
    std::printf(
        "idle pass over %zu listed: %.2f s, %.2f s CPU\n", engine.TEST_Records().Map().size(),
        std::chrono::duration<double>(Clock::now() - idleStart).count(), CpuSeconds() - idleCpu);
    std::printf("peak resident memory: %.1f MB\n", static_cast<double>(PeakResidentKb()) / 1024);
    engine.EndWork();
    return 0;
}
