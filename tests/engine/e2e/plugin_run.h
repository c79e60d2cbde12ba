#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace pixolune::test {

// One run of the real plug-in in a child process: it loads the library,
// hands it the settings, sends message 9, waits for the first "Download
// complete" (or for `during` to finish), sends message 10, saves (message 6)
// and exits. What the host saw comes back through files in `workDir`: the log
// lines, the result and the host's settings store.
struct PluginRunConfig {
    std::string workDir;     // config home and result files
    std::string mediaDir;    // ImgFolder
    std::string apiBase;     // the stand-in's ApiBase()
    std::string currentDir;  // the child's working folder, when set
    std::string token = "tok-alice";
    std::map<std::string, int> intSettings;  // over the defaults below
    std::map<std::string, std::string> textSettings;
    std::chrono::milliseconds timeout{20000};
    // Runs on the child's host thread once the worker has started, instead of
    // waiting for the batch; gets the library's send function.
    std::function<void(const std::function<int(int, intptr_t, intptr_t)>& send)> during;
    // After `during`, wait (up to `timeout`) for the first batch to complete too:
    // under a sanitizer on a busy machine it may outlast `during`.
    bool awaitBatchAfterDuring = false;
};

struct PluginRunResult {
    int exitStatus = -1;  // the child's wait status
    bool completed = false;
    std::vector<std::string> log;
    std::vector<std::string> store;  // the host's settings after the save, "section/key=value"
    int restarts = 0;
    long long stopMs = -1;  // how long message 10 took
    // The files of the libraries mapped into the child when it was done, before unloading.
    std::vector<std::string> mapped;
    bool Logged(const std::string& text) const;
    bool Mapped(const std::string& name) const;
};

// Forks, runs, waits. The child process gets a fresh copy of the library's
// process-wide state.
PluginRunResult RunPluginOnce(const PluginRunConfig& config);

// Forks and starts the run without waiting: the caller kills or waits for it.
pid_t StartPluginRun(const PluginRunConfig& config);
PluginRunResult CollectPluginRun(const PluginRunConfig& config, pid_t child);

}  // namespace pixolune::test
