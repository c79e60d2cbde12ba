#include "fake_host.h"

#include <dlfcn.h>

#include <atomic>
#include <cstring>
#include <stdexcept>

namespace pixolune::test {
namespace {

std::atomic<FakeHost*> g_current{nullptr};

std::string Name(const HostSettingRequest& request) {
    return std::string(request.section ? request.section : "(null)") + "/" +
           (request.key ? request.key : "(null)");
}

}  // namespace

FakeHost::FakeHost() {
    g_current.store(this);
}

FakeHost::~FakeHost() {
    FakeHost* self = this;
    g_current.compare_exchange_strong(self, nullptr);
}

int FakeHost::Callback(int code, intptr_t param1, intptr_t param2) {
    FakeHost* host = g_current.load();
    return host ? host->Handle(code, param1, param2) : 0;
}

int FakeHost::Handle(int code, intptr_t param1, intptr_t param2) {
    switch (code) {
        case KAL_CB_WRITE_SETTING:
            Write(*reinterpret_cast<HostSettingRequest*>(param1));
            return 1;
        case KAL_CB_READ_SETTING:
            Read(*reinterpret_cast<HostSettingRequest*>(param1));
            return 1;
        case KAL_CB_LOG: {
            std::lock_guard<std::mutex> lock(mutex_);
            logSources_.emplace_back(reinterpret_cast<const char*>(param1));
            logLines_.emplace_back(reinterpret_cast<const char*>(param2));
            logged_.notify_all();
            return 1;
        }
        case KAL_CB_RESTART: {
            std::lock_guard<std::mutex> lock(mutex_);
            restarts_.emplace_back(param1, param2);
            return 1;
        }
        default:
            return 0;
    }
}

void FakeHost::Read(HostSettingRequest& request) {
    std::lock_guard<std::mutex> lock(mutex_);
    reads_.push_back(Name(request));
    const bool isInt = request.kind == KAL_SETTING_INT;
    readDefaults_.push_back(
        isInt
            ? std::to_string(request.defaultValue)
            : std::string(request.defaultValue ? reinterpret_cast<const char*>(request.defaultValue)
                                               : "(null)"));
    if (!answerReads_) return;
    const auto found = store_.find({request.section, request.key});
    if (isInt) {
        request.value = found != store_.end() ? std::stol(found->second) : request.defaultValue;
        return;
    }
    lastText_ =
        found != store_.end() ? found->second : reinterpret_cast<const char*>(request.defaultValue);
    char* buffer = reinterpret_cast<char*>(request.value);
    if (lastText_.size() <= static_cast<size_t>(request.capacity)) {
        std::memcpy(buffer, lastText_.c_str(), lastText_.size() + 1);
    } else {
        // Too long for the plug-in's buffer: hand over the host's own text instead.
        request.value = reinterpret_cast<intptr_t>(lastText_.c_str());
    }
}

void FakeHost::Write(const HostSettingRequest& request) {
    std::lock_guard<std::mutex> lock(mutex_);
    writes_.push_back(Name(request));
    store_[{request.section, request.key}] =
        request.kind == KAL_SETTING_INT ? std::to_string(static_cast<int32_t>(request.value))
                                        : std::string(reinterpret_cast<const char*>(request.value));
}

void FakeHost::SetValue(const std::string& section, const std::string& key,
                        const std::string& value) {
    std::lock_guard<std::mutex> lock(mutex_);
    store_[{section, key}] = value;
}

void FakeHost::SetValue(const std::string& section, const std::string& key, int value) {
    SetValue(section, key, std::to_string(value));
}

void FakeHost::Erase(const std::string& section, const std::string& key) {
    std::lock_guard<std::mutex> lock(mutex_);
    store_.erase({section, key});
}

std::optional<std::string> FakeHost::Value(const std::string& section,
                                           const std::string& key) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = store_.find({section, key});
    if (found == store_.end()) return std::nullopt;
    return found->second;
}

std::map<std::pair<std::string, std::string>, std::string> FakeHost::Store() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return store_;
}

std::vector<std::string> FakeHost::Reads() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return reads_;
}

std::vector<std::string> FakeHost::Writes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return writes_;
}

std::vector<std::string> FakeHost::ReadDefaults() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return readDefaults_;
}

void FakeHost::ClearTrace() {
    std::lock_guard<std::mutex> lock(mutex_);
    reads_.clear();
    writes_.clear();
    readDefaults_.clear();
}

void FakeHost::SetAnswerReads(bool answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    answerReads_ = answer;
}

std::vector<std::string> FakeHost::LogLines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return logLines_;
}

std::vector<std::string> FakeHost::LogSources() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return logSources_;
}

bool FakeHost::HasLogContaining(const std::string& text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const std::string& line : logLines_) {
        if (line.find(text) != std::string::npos) return true;
    }
    return false;
}

int FakeHost::WaitForLog(const std::string& text, std::chrono::milliseconds timeout,
                         size_t from) const {
    std::unique_lock<std::mutex> lock(mutex_);
    int found = -1;
    logged_.wait_for(lock, timeout, [&] {
        for (size_t i = from; i < logLines_.size(); ++i) {
            if (logLines_[i].find(text) != std::string::npos) {
                found = static_cast<int>(i);
                return true;
            }
        }
        return false;
    });
    return found;
}

int FakeHost::RestartRequests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(restarts_.size());
}

std::vector<std::pair<intptr_t, intptr_t>> FakeHost::RestartParams() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return restarts_;
}

PluginLibrary::PluginLibrary(const std::string& path) {
    handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) throw std::runtime_error(std::string("dlopen failed: ") + ::dlerror());
    handler_ = reinterpret_cast<KalPlugInMsgHandler>(::dlsym(handle_, KAL_PLUGIN_ENTRY_NAME));
    if (!handler_) {
        ::dlclose(handle_);
        throw std::runtime_error("kalPlugInMsgHandler not exported");
    }
}

PluginLibrary::~PluginLibrary() {
    ::dlclose(handle_);
}

int PluginLibrary::Send(int code, intptr_t param1, intptr_t param2) const {
    return handler_(code, param1, param2);
}

void PluginLibrary::Open(const FakeHost& host, int hostVariant) const {
    Send(KAL_MSG_SET_CALLBACK, host.CallbackParam());
    Send(KAL_MSG_HOST_VARIANT, hostVariant);
    Send(KAL_MSG_LOAD_SETTINGS);
}

}  // namespace pixolune::test

#include <stdlib.h>

namespace pixolune::test {
namespace {

std::optional<std::string> GetEnv(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::optional<std::string>(value) : std::nullopt;
}

void RestoreEnv(const char* name, const std::optional<std::string>& value) {
    if (value) {
        ::setenv(name, value->c_str(), 1);
    } else {
        ::unsetenv(name);
    }
}

}  // namespace

ScopedConfigHome::ScopedConfigHome()
    : oldXdg_(GetEnv("XDG_CONFIG_HOME")),
      oldState_(GetEnv("XDG_STATE_HOME")),
      oldHome_(GetEnv("HOME")),
      oldRuntime_(GetEnv("XDG_RUNTIME_DIR")),
      oldBus_(GetEnv("DBUS_SESSION_BUS_ADDRESS")) {
    const std::string& home = folder_.Path();
    ::setenv("XDG_CONFIG_HOME", (home + "/config").c_str(), 1);
    ::setenv("XDG_STATE_HOME", (home + "/state").c_str(), 1);
    ::setenv("HOME", home.c_str(), 1);
    // Not made: a runtime folder without a bus socket in it is all that is needed.
    ::setenv("XDG_RUNTIME_DIR", (home + "/runtime").c_str(), 1);
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
}

ScopedConfigHome::~ScopedConfigHome() {
    RestoreEnv("XDG_CONFIG_HOME", oldXdg_);
    RestoreEnv("XDG_STATE_HOME", oldState_);
    RestoreEnv("HOME", oldHome_);
    RestoreEnv("XDG_RUNTIME_DIR", oldRuntime_);
    RestoreEnv("DBUS_SESSION_BUS_ADDRESS", oldBus_);
}

std::string ScopedConfigHome::TokenFile(const std::string& valueName) const {
    return folder_.Path() + "/config/Software/Torvane/PixolunePlugin/" + valueName;
}

}  // namespace pixolune::test
