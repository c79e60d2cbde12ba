#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kaleidra/kal_plugin_api.h"
#include "tests/support/temp_dir.h"

namespace pixolune::test {

// A host for tests: an in-memory settings store behind callback codes 5 and 6,
// and a record of every log line (code 7) and restart request (code 9). The
// callback is a plain function, so one FakeHost is current at a time.
class FakeHost {
  public:
    FakeHost();
    ~FakeHost();
    FakeHost(const FakeHost&) = delete;
    FakeHost& operator=(const FakeHost&) = delete;

    static int Callback(int code, intptr_t param1, intptr_t param2);
    intptr_t CallbackParam() const { return reinterpret_cast<intptr_t>(&Callback); }

    void SetValue(const std::string& section, const std::string& key, const std::string& value);
    void SetValue(const std::string& section, const std::string& key, int value);
    void Erase(const std::string& section, const std::string& key);
    std::optional<std::string> Value(const std::string& section, const std::string& key) const;
    std::map<std::pair<std::string, std::string>, std::string> Store() const;

    // "section/key" of every read and write, in the order they came.
    std::vector<std::string> Reads() const;
    std::vector<std::string> Writes() const;
    // Default passed with each read, as text, keyed like Reads().
    std::vector<std::string> ReadDefaults() const;
    void ClearTrace();

    // When false the host leaves read requests untouched.
    void SetAnswerReads(bool answer);

    std::vector<std::string> LogLines() const;
    std::vector<std::string> LogSources() const;
    bool HasLogContaining(const std::string& text) const;
    // Waits until a line at index >= from contains `text`; returns its index or -1.
    int WaitForLog(const std::string& text, std::chrono::milliseconds timeout,
                   size_t from = 0) const;
    int RestartRequests() const;
    std::vector<std::pair<intptr_t, intptr_t>> RestartParams() const;

  private:
    int Handle(int code, intptr_t param1, intptr_t param2);
    void Read(HostSettingRequest& request);
    void Write(const HostSettingRequest& request);

    mutable std::mutex mutex_;  // guards every member below
    mutable std::condition_variable logged_;
    std::map<std::pair<std::string, std::string>, std::string> store_;
    std::vector<std::string> reads_, writes_, readDefaults_;
    std::vector<std::string> logLines_, logSources_;
    std::vector<std::pair<intptr_t, intptr_t>> restarts_;
    std::string lastText_;  // keeps text handed to the plug-in valid after the call
    bool answerReads_ = true;
};

// The plug-in library loaded as the host loads it.
class PluginLibrary {
  public:
    explicit PluginLibrary(const std::string& path = PIXOLUNE_PLUGIN_PATH);
    ~PluginLibrary();
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;

    int Send(int code, intptr_t param1 = 0, intptr_t param2 = 0) const;
    // Sends the host's opening messages: 3 with the callback, 28, then 7.
    void Open(const FakeHost& host, int hostVariant = 0) const;

  private:
    void* handle_ = nullptr;
    KalPlugInMsgHandler handler_ = nullptr;
};

}  // namespace pixolune::test

namespace pixolune::test {

// Points XDG_CONFIG_HOME, XDG_STATE_HOME, XDG_RUNTIME_DIR and HOME at a fresh
// temporary folder and hides the session bus for the life of the object, so
// the per-user token store, the desktop's keyring, desktop notifications and
// the health record of a test never touch the real ones.
class ScopedConfigHome {
  public:
    ScopedConfigHome();
    ~ScopedConfigHome();
    ScopedConfigHome(const ScopedConfigHome&) = delete;
    ScopedConfigHome& operator=(const ScopedConfigHome&) = delete;
    const std::string& Path() const { return folder_.Path(); }
    std::string TokenFile(const std::string& valueName) const;

  private:
    std::optional<std::string> oldXdg_, oldState_, oldHome_, oldRuntime_, oldBus_;
    TempDir folder_;  // removed after the environment is restored
};

}  // namespace pixolune::test
