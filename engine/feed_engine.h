#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "engine/file_data.h"
#include "plugin/feed.h"
#include "plugin/plugin_settings.h"

namespace pixolune {

class CPixoluneThread;

// The engine: the configured feeds and the token, and the worker's run-time state.
class CFeedEngine {
  public:
    explicit CFeedEngine(PluginSettings& settings);
    ~CFeedEngine();  // stops and joins a running worker before anything is freed
    CFeedEngine(const CFeedEngine&) = delete;
    CFeedEngine& operator=(const CFeedEngine&) = delete;

    // Message 9: starts the worker when there are feeds and none was started yet.
    void StartWorker();
    // Message 10: stops the worker, waiting for it to end.
    void StopWorker();

    FeedArray Feeds;
    std::string Token;  // empty: not authorized

    // Guards Feeds, Token and every field of Settings while a worker may read
    // them; the host's thread replaces them under it (messages 5, 7, 40).
    mutable std::mutex Lock;

    std::unique_ptr<CPixoluneThread> Worker;  // set by the first start, kept after a stop
    std::deque<CPixoluneItem> DownloadQueue;  // oldest first
    std::unordered_map<std::string, CFileData> LocalFiles;
    int32_t NewFiles = 0;
    int32_t BatchActive = 0;

    PluginSettings& Settings;
};

}  // namespace pixolune
