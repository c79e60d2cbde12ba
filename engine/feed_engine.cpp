#include "engine/feed_engine.h"

#include <cstdlib>
#include <utility>

#include "engine/pixolune_thread.h"

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

CFeedEngine::CFeedEngine(PluginSettings& settings, platform::FileSystem& fileSystem)
    : Settings(settings),
      FileSystem(fileSystem),
      Transfers(std::make_unique<platform::HttpSession>()),
      QueryFactory(ServiceFeedQueryFactory(Transfers.get())),
      IdleInterval(IdleIntervalFromEnvironment()),
      Health(fileSystem) {}

CFeedEngine::~CFeedEngine() {
    StopWorker();
    Worker.reset();  // joins, should the stop have given up
    CancelDownloads();
}

void CFeedEngine::StartWorker() {
    bool hasFeeds;
    {
        std::lock_guard<std::mutex> guard(Lock);
        hasFeeds = !Feeds.empty();
    }
    if (!hasFeeds || Worker) return;
    Worker = CPixoluneThread::Start(this);
}

void CFeedEngine::StopWorker() {
    if (Worker) Worker->Stop();
}

void CFeedEngine::SetToken(std::string token) {
    {
        std::lock_guard<std::mutex> guard(Lock);
        Token = std::move(token);
        ++tokenGeneration_;
    }
    if (Worker) Worker->WakeEvent.Set();
}

PluginSettings CFeedEngine::SettingsSnapshot() const {
    std::lock_guard<std::mutex> guard(Lock);
    return Settings;
}

}  // namespace pixolune
