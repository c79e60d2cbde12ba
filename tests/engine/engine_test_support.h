#pragma once

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/feed_engine.h"
#include "engine/list_file.h"
#include "tests/support/engine_probe.h"

namespace pixolune::test {

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it.
class ScratchFolder {
  public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
bool Exists(const std::string& path);
// The names in a folder, sorted, without "." and "..".
std::vector<std::string> FolderNames(const std::string& folder);
// Sets a file's modification time to `secondsAgo` before now.
void SetAge(const std::string& path, int64_t secondsAgo);

// A cpp-httplib server on 127.0.0.1 with an OS-picked port, on its own thread.
class MediaServer {
  public:
    MediaServer();
    ~MediaServer();
    httplib::Server& Http() { return server_; }
    std::string Url(const std::string& path) const;
    // Serves `size` bytes of a fixed pattern under `path`.
    void ServeBytes(const std::string& path, size_t size);
    // Handlers that stall wait here until Release() or the time-out.
    void Stall(std::chrono::milliseconds longest);
    void Release();

  private:
    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
    std::mutex mutex_;  // guards released_
    std::condition_variable changed_;
    bool released_ = false;
};

// The engine's configured feeds, replaced, read or edited as the host's thread does it.
void SetFeeds(CFeedEngine& engine, FeedArray feeds);
template <typename Edit>
void EditFeeds(CFeedEngine& engine, Edit&& edit) {
    engine.Configuration().Change([&](EngineConfiguration::Live& live) { edit(live.Feeds); });
}

// The records of the list file in `folder`; a failure when it does not load.
[[nodiscard]] LocalFileMap ListedIn(const std::string& folder);

// The pattern ServeBytes sends.
std::string PatternBytes(size_t size);

}  // namespace pixolune::test
