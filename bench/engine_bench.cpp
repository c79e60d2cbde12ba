// The engine's three measurements, each beside its reference, in one run:
//   1. 200 media files of 256 KiB from the stand-in through the worker, and
//      the same URLs fetched one after another by the curl command line;
//   2. peak resident memory while one 1 GiB file downloads, and while 16
//      files of 64 MiB download side by side, above the idle process, and
//      how long a stop takes with 16 transfers in flight;
//   3. writing and reading a list file of 100,000 entries.
// Usage: bench_engine [--skip-huge]
//        bench_engine --worker-batch   (one batch from $PIXOLUNE_API_BASE; prints
//                                        "worker_seconds=S connections=N files=F")
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "engine/feed_engine.h"
#include "engine/list_file.h"
#include "engine/media_transfer.h"
#include "model/host_link.h"
#include "tests/support/stub_server.h"

namespace {

using Clock = std::chrono::steady_clock;
using pixolune::test::StubServer;
using pixolune::test::TempDir;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::atomic<bool> g_batchDone{false};

// PIXOLUNE_BENCH_LOG=1 shows the worker's lines on stderr, each with the
// milliseconds since the program started: where a batch's seconds go.
int QuietHost(int code, intptr_t, intptr_t text) {
    static const bool show = std::getenv("PIXOLUNE_BENCH_LOG") != nullptr;
    static const Clock::time_point started = Clock::now();
    if (code == KAL_CB_LOG && show)
        std::fprintf(stderr, "%7.1f %s\n", SecondsSince(started) * 1000,
                     reinterpret_cast<const char*>(text));
    if (code == KAL_CB_LOG &&
        std::strcmp(reinterpret_cast<const char*>(text), "Download complete") == 0)
        g_batchDone = true;
    return 0;
}

std::string Scenario(int count, long long size) {
    std::string items;
    for (int i = 0; i < count; ++i) {
        items += (i ? "," : "") + std::string(R"({"type":"image","media":"m)") + std::to_string(i) +
                 R"(.jpg","caption":"c","user":"u","size":)" + std::to_string(size) + "}";
    }
    return R"({"page_size":100,"tokens":{"tok-alice":{"username":"alice"}},"feeds":{"feed":[)" +
           items + "]}}";
}

struct BatchFigures {
    double seconds = 0;
    unsigned long long connections = 0;
};

BatchFigures WorkerBatch(const std::string& folder) {
    pixolune::PluginSettings settings;
    settings.ImgFolder = folder;
    settings.DwlPhoto = 1;
    settings.DwlVideo = 1;
    settings.tmUpdate = 0;
    settings.RestartKal = 0;
    // With a rate cap the bytes in the folder are printed once a second.
    const char* rateKB = std::getenv("PIXOLUNE_BENCH_MAX_RATE_KB");
    if (rateKB) settings.MaxRateKB = std::atoi(rateKB);
    auto transfers = std::make_unique<pixolune::platform::HttpSession>();
    const pixolune::platform::HttpSession& session = *transfers;
    pixolune::CFeedEngine engine(settings, pixolune::platform::RealFileSystem(),
                                 pixolune::platform::RealClock(), std::move(transfers));
    engine.SetToken("tok-alice");
    pixolune::CPixoluneFeed feed;
    feed.MaxP = 1000;
    engine.Configuration().Change(
        [&](pixolune::EngineConfiguration::Live& live) { live.Feeds = {feed}; });
    g_batchDone = false;
    const auto start = Clock::now();
    engine.StartWorker();
    auto nextSample = start + std::chrono::seconds(1);
    uintmax_t bytesBefore = 0;
    while (!g_batchDone) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (!rateKB || Clock::now() < nextSample) continue;
        uintmax_t bytes = 0;
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(folder, error))
            if (entry.is_regular_file(error)) bytes += entry.file_size(error);
        std::printf("second=%.0f bytes_per_second=%ju\n", SecondsSince(start), bytes - bytesBefore);
        bytesBefore = bytes;
        nextSample += std::chrono::seconds(1);
    }
    const double seconds = SecondsSince(start);
    engine.StopWorker();
    return {seconds, static_cast<unsigned long long>(session.ConnectionsOpened())};
}

double WorkerBatchSeconds(const StubServer& stub, const std::string& folder) {
    ::setenv("PIXOLUNE_API_BASE", stub.ApiBase().c_str(), 1);
    return WorkerBatch(folder).seconds;
}

double CurlSeconds(const StubServer& stub, int count, const std::string& folder) {
    const std::string config = folder + "/curl.cfg";
    {
        std::ofstream out(config);
        for (int i = 0; i < count; ++i) {
            const std::string name = "m" + std::to_string(i) + ".jpg";
            out << "url = \"" << stub.BaseUrl() << "/media/" << name << "\"\n"
                << "output = \"" << folder << "/" << name << "\"\n";
        }
    }
    const auto start = Clock::now();
    const std::string command = "curl -s -S -K '" + config + "'";
    if (std::system(command.c_str()) != 0) std::fprintf(stderr, "curl failed\n");
    return SecondsSince(start);
}

long ProcStatusKb(const char* field) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
    return -1;
}

void ResetPeakRss() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

void HugeDownload() {
    StubServer stub(StubServer::Options{Scenario(1, 1LL << 30), false, "", "", {}});
    TempDir folder;
    pixolune::platform::HttpSession session;
    std::atomic<int32_t> stop{0};
    ResetPeakRss();
    const long idle = ProcStatusKb("VmRSS:");
    const auto start = Clock::now();
    const pixolune::DownloadResult result =
        pixolune::DownloadImage({session, pixolune::platform::RealFileSystem(), {}},
                                stub.BaseUrl() + "/media/m0.jpg", folder.Path() + "/m0.__t", &stop);
    const double seconds = SecondsSince(start);
    const long peak = ProcStatusKb("VmHWM:");
    std::printf(
        "1 GiB download: result %d, %.1f s, peak RSS %ld KiB, idle %ld KiB, above idle "
        "%.1f MiB (goal < 20 MiB)\n",
        static_cast<int>(result), seconds, peak, idle, (peak - idle) / 1024.0);
}

// A stop with 16 transfers under way, as the worker's Stop makes it: the
// flag, then the wake-up of the transfer loop.
void StopWithAllInFlight(StubServer& stub) {
    TempDir folder;
    pixolune::PluginSettings settings;
    settings.ImgFolder = folder.Path();
    pixolune::CFeedEngine engine(settings);
    for (int i = 0; i < 16; ++i)
        engine.TEST_DownloadQueue().push_back(
            {"", stub.BaseUrl() + "/media/m" + std::to_string(i) + ".jpg", ""});
    std::atomic<int32_t> stop{0};
    std::atomic<int64_t> stoppedAtNs{0};
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        stoppedAtNs = Clock::now().time_since_epoch().count();
        stop.store(1);
        engine.WakeTransfers();
    });
    while (stop.load() == 0) (void)engine.TEST_DownloadNext(&stop);
    const auto returned = Clock::now().time_since_epoch().count();
    stopper.join();
    std::printf("stop with 16 in flight: %.3f s until the step returned (goal < 1 s)\n",
                (returned - stoppedAtNs.load()) / 1e9);
}

// Sixteen large files in flight at once: each transfer streams through its
// own small buffer into its file, so the peak must stay near the single file's.
void HugeWindow() {
    constexpr int kFiles = 16;
    StubServer stub(StubServer::Options{Scenario(kFiles, 64LL << 20), false, "", "", {}});
    TempDir folder;
    pixolune::PluginSettings settings;
    settings.ImgFolder = folder.Path();
    pixolune::CFeedEngine engine(settings);
    for (int i = 0; i < kFiles; ++i)
        engine.TEST_DownloadQueue().push_back(
            {"", stub.BaseUrl() + "/media/m" + std::to_string(i) + ".jpg", ""});
    std::atomic<int32_t> stop{0};
    ResetPeakRss();
    const long idle = ProcStatusKb("VmRSS:");
    const auto start = Clock::now();
    while (engine.TEST_DownloadNext(&stop) == pixolune::DownloadStep::ItemTaken) {
    }
    const double seconds = SecondsSince(start);
    const long peak = ProcStatusKb("VmHWM:");
    std::printf(
        "16 x 64 MiB side by side: %zu stored, %.1f s, peak RSS %ld KiB, idle %ld KiB, above "
        "idle %.1f MiB (goal < 20 MiB)\n",
        engine.TEST_Records().Map().size(), seconds, peak, idle, (peak - idle) / 1024.0);
    StopWithAllInFlight(stub);
}

void ListFile() {
    TempDir folder;
    pixolune::LocalFileMap files;
    for (int i = 0; i < 100000; ++i) {
        const std::string name = "photo_" + std::to_string(i) + "_n.jpg";
        const std::string url = "https://scontent.example.org/t51.2885-15/e35/" + name +
                                "?ig_cache_key=" + std::to_string(i * 7919);
        files[url] = pixolune::CFileData{name, url, 1};
    }
    const std::string path = folder.Path() + "/kal_pxln_files.lst";
    auto start = Clock::now();
    if (!pixolune::WriteListFile(pixolune::platform::RealFileSystem(), path, files))
        std::fprintf(stderr, "write failed\n");
    const double writeMs = SecondsSince(start) * 1000;
    pixolune::LocalFileMap read;
    start = Clock::now();
    const auto result = pixolune::ReadListFile(pixolune::platform::RealFileSystem(), path, read);
    const double readMs = SecondsSince(start) * 1000;
    std::printf(
        "list file of 100000 entries (%ju bytes): write %.1f ms, read %.1f ms (%zu read, "
        "status %d; goal < 150 ms each)\n",
        static_cast<uintmax_t>(std::filesystem::file_size(path)), writeMs, readMs, read.size(),
        static_cast<int>(result.status));
}

}  // namespace

int main(int argc, char** argv) {
    pixolune::SetHostCallback(&QuietHost);
    if (argc > 1 && std::strcmp(argv[1], "--worker-batch") == 0) {
        TempDir folder;
        const BatchFigures figures = WorkerBatch(folder.Path());
        size_t files = 0;
        for (const auto& entry : std::filesystem::directory_iterator(folder.Path()))
            files += entry.path().extension() == ".jpg" || entry.path().extension() == ".mp4";
        std::printf("worker_seconds=%.3f connections=%llu files=%zu\n", figures.seconds,
                    figures.connections, files);
        pixolune::SetHostCallback(nullptr);
        return 0;
    }
    const bool skipHuge = argc > 1 && std::strcmp(argv[1], "--skip-huge") == 0;
    // First, while the process is small: the figure is the growth over its idle size.
    if (!skipHuge) {
        HugeDownload();
        HugeWindow();
    }
    {
        constexpr int kCount = 200;
        StubServer stub(StubServer::Options{Scenario(kCount, 256 * 1024), false, "", "", {}});
        // Three rounds: loopback figures on a shared machine vary from run to run.
        for (int round = 0; round < 3; ++round) {
            TempDir workerFolder, curlFolder;
            const double worker = WorkerBatchSeconds(stub, workerFolder.Path());
            const double curl = CurlSeconds(stub, kCount, curlFolder.Path());
            std::printf(
                "200 x 256 KiB: worker %.3f s (feed query included), curl %.3f s, ratio "
                "%.2f (goal <= 1.3)\n",
                worker, curl, worker / curl);
        }
    }
    ListFile();
    pixolune::SetHostCallback(nullptr);
    return 0;
}
