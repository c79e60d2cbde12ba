#include "engine/feed_engine.h"

#include <cstdlib>
#include <utility>

#include "engine/pixolune_thread.h"
#include "engine/quiet_hours.h"
#include "model/host_link.h"

namespace pixolune {
namespace {

constexpr std::chrono::milliseconds kDefaultIdleIntervalMs{30000};

// Test-only: lets end-to-end tests run several passes in seconds.
std::chrono::milliseconds IdleIntervalFromEnvironment() {
    const char* text = std::getenv("PIXOLUNE_IDLE_MS");
    if (!text || !*text) return kDefaultIdleIntervalMs;
    char* end = nullptr;
    const long ms = std::strtol(text, &end, 10);
    if (*end != '\0' || ms < 1 || ms > kDefaultIdleIntervalMs.count())
        return kDefaultIdleIntervalMs;
    return std::chrono::milliseconds(ms);
}

}  // namespace

CFeedEngine::CFeedEngine(PluginSettings& settings, platform::FileSystem& fileSystem,
                         platform::Clock& clock,
                         std::unique_ptr<platform::HttpSession> transfers)
    : FileSystem(fileSystem),
      clock_(clock),
      configuration_(settings),
      idleInterval_(IdleIntervalFromEnvironment()),
      Transfers(transfers ? std::move(transfers) : std::make_unique<platform::HttpSession>()),
      Health(fileSystem,
             [&clock] { return platform::WallTime(std::chrono::seconds(clock.WallSeconds())); }),
      folderHold_(fileSystem),
      tokenHold_(clock),
      pruneDeferral_(clock) {
    queryFactory_ = ServiceFeedQueryFactory(Transfers.get());
}

CFeedEngine::~CFeedEngine() {
    StopWorker();
    Worker.reset();  // joins, should the stop have given up
    CancelDownloads(DownloadPipeline::Parts::KeptToResume);
}

void CFeedEngine::StartWorker() {
    // A host that disables and enables the plug-in gets a worker again; one
    // that would not stop is still there, and never gets a second beside it.
    if (!configuration_.HasFeeds() || WorkerRunning()) return;
    Worker.reset();
    Worker = CPixoluneThread::Start(this);
}

void CFeedEngine::StopWorker() {
    if (Worker) Worker->Stop();
}

bool CFeedEngine::WorkerRunning() const {
    return Worker && Worker->Running();
}

void CFeedEngine::SetToken(std::string token) {
    bool newToken = false;
    configuration_.Change([&](EngineConfiguration::Live& live) {
        newToken = !token.empty() && live.Token != token;
        live.Token = std::move(token);
    });
    if (newToken) Health.TokenGiven();
    if (Worker) Worker->WakeEvent.Set();
}

DownloadStep CFeedEngine::RunPass(const std::atomic<int32_t>* stop) {
    // Nothing is queried or downloaded for a folder that is not ours, nor
    // while its records are unknown: results could not be recorded without
    // replacing the list.
    if (!TakeMediaFolder()) return DownloadStep::BatchClosed;
    if (localListUnreadable_) {
        ReadLocalFileList();
        if (localListUnreadable_) return DownloadStep::BatchClosed;
    }
    PluginSettings settings = configuration_.Settings();
    if (KeepQuiet(settings)) {
        // What was stored before the hours began is shown now, not when they end.
        if (BatchActive) {
            settings.ImgFolder = MediaFolder();
            CloseBatch(settings);
        }
        return DownloadStep::BatchClosed;
    }
    // One budget for every transfer of the worker, API pages included.
    Transfers->SetRateCap(static_cast<int64_t>(settings.MaxRateKB) * 1024);
    (void)Refresh(stop);  // a failed feed is retried on its own schedule
    if (stop && stop->load() != 0) return DownloadStep::BatchClosed;
    return DownloadNext(stop);
}

void CFeedEngine::BeginWork() {
    Health.WorkerStarted();
}

void CFeedEngine::EndWork() {
    LeaveMediaFolder(DownloadPipeline::Parts::KeptToResume);
    Health.WorkerStopped();
}

bool CFeedEngine::KeepQuiet(const PluginSettings& settings) {
    const bool quiet =
        IsQuietHour(LocalHourAt(clock_.WallSeconds()), settings.QuietFrom, settings.QuietTo);
    if (quiet && inQuietHours_) Health.ClockReadAgain();
    if (quiet == inQuietHours_) return quiet;
    inQuietHours_ = quiet;
    Health.QuietHours(quiet, settings.QuietFrom, settings.QuietTo);
    if (quiet) {
        Log("Refresh: quiet hours begin (%02d:00 to %02d:00); no requests until they end",
            settings.QuietFrom, settings.QuietTo);
        // Parts are kept: the transfers go on with Range once the hours are over.
        downloads_.Suspend();
    } else {
        Log("Refresh: quiet hours end; queries and downloads go on");
    }
    return quiet;
}

uint64_t CFeedEngine::TEST_ConnectionsOpened() const {
    return Transfers->ConnectionsOpened();
}

}  // namespace pixolune
