#include "plugin_run.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>

#include "fake_host.h"
#include "platform/user_registry.h"
#include "plugin/settings_io.h"

namespace pixolune::test {
namespace {

void SetSettings(FakeHost& host, const PluginRunConfig& config) {
    std::map<std::string, int> ints = {{"Enabled", 1},    {"tmUpdate", 0},   {"DwlPhoto", 1},
                                       {"DwlVideo", 1},   {"RestartKal", 1}, {"KpropTitle", 1},
                                       {"KpropDescr", 0}, {"KpropOwner", 1}, {"OlderDays", 7},
                                       {"OlderHours", 0}, {"FeedsSynch", 0}, {"nFeeds", 1},
                                       {"Feed0_Type", 1}, {"Feed0_Flg", 1},  {"Feed0_MaxP", 1000}};
    for (const auto& [key, value] : config.intSettings) ints[key] = value;
    for (const auto& [key, value] : ints) host.SetValue(kSettingsSection, key, value);
    host.SetValue(kSettingsSection, "ImgFolder", config.mediaDir);
    host.SetValue(kSettingsSection, "AuthPrefix", std::string("by"));
    host.SetValue(kSettingsSection, "Feed0_Tags", std::string(""));
    for (const auto& [key, value] : config.textSettings)
        host.SetValue(kSettingsSection, key, value);
}

void WriteMappedFiles(const std::string& path) {
    std::ifstream maps("/proc/self/maps");
    std::ofstream out(path);
    for (std::string line; std::getline(maps, line);) {
        const size_t file = line.find('/');
        if (file != std::string::npos) out << line.substr(file) << "\n";
    }
}

int ChildMain(const PluginRunConfig& config) {
    ::setenv("XDG_CONFIG_HOME", config.workDir.c_str(), 1);
    ::setenv("HOME", config.workDir.c_str(), 1);
    ::setenv("XDG_STATE_HOME", (config.workDir + "/state").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", config.workDir.c_str(), 1);  // no session bus, no keyring
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    ::setenv("PIXOLUNE_API_BASE", config.apiBase.c_str(), 1);
    ::setenv("PIXOLUNE_IDLE_MS", "100", 1);
    if (!config.currentDir.empty() && ::chdir(config.currentDir.c_str()) != 0) return 5;
    if (!platform::WriteRegistryString(kTokenKeyPath, "TokenKAL", config.token)) return 3;
    FakeHost host;
    SetSettings(host, config);
    int completed = 0;
    long long stopMs = -1;
    {
        PluginLibrary library;
        library.Open(host);
        library.Send(KAL_MSG_START);
        if (config.during) {
            config.during(
                [&](int code, intptr_t p1, intptr_t p2) { return library.Send(code, p1, p2); });
            completed = !config.awaitBatchAfterDuring ||
                        host.WaitForLog("Download complete", config.timeout) >= 0;
        } else {
            completed = host.WaitForLog("Download complete", config.timeout) >= 0;
        }
        const auto start = std::chrono::steady_clock::now();
        library.Send(KAL_MSG_STOP, 0, 1);
        stopMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::steady_clock::now() - start)
                     .count();
        library.Send(KAL_MSG_SAVE_SETTINGS);
        WriteMappedFiles(config.workDir + "/mapped.txt");
    }
    std::ofstream store(config.workDir + "/store.txt");
    for (const auto& [name, value] : host.Store()) {
        store << name.first << "/" << name.second << "=" << value << "\n";
    }
    std::ofstream log(config.workDir + "/log.txt");
    for (const std::string& line : host.LogLines()) log << line << "\n";
    std::ofstream(config.workDir + "/result.txt")
        << completed << " " << host.RestartRequests() << " " << stopMs << "\n";
    return completed ? 0 : 2;
}

}  // namespace

bool PluginRunResult::Logged(const std::string& text) const {
    for (const std::string& line : log)
        if (line.find(text) != std::string::npos) return true;
    return false;
}

bool PluginRunResult::Mapped(const std::string& name) const {
    for (const std::string& file : mapped)
        if (file.find(name) != std::string::npos) return true;
    return false;
}

pid_t StartPluginRun(const PluginRunConfig& config) {
    const pid_t child = ::fork();
    if (child == 0) {
        int status = 4;
        try {
            status = ChildMain(config);
        } catch (...) {
        }
        ::_exit(status);
    }
    return child;
}

PluginRunResult CollectPluginRun(const PluginRunConfig& config, pid_t child) {
    PluginRunResult result;
    ::waitpid(child, &result.exitStatus, 0);
    std::ifstream log(config.workDir + "/log.txt");
    for (std::string line; std::getline(log, line);) result.log.push_back(line);
    std::ifstream summary(config.workDir + "/result.txt");
    int completed = 0;
    summary >> completed >> result.restarts >> result.stopMs;
    result.completed = completed == 1;
    std::ifstream store(config.workDir + "/store.txt");
    for (std::string line; std::getline(store, line);) result.store.push_back(line);
    std::ifstream mapped(config.workDir + "/mapped.txt");
    for (std::string line; std::getline(mapped, line);) result.mapped.push_back(line);
    for (const char* name : {"/log.txt", "/result.txt", "/store.txt", "/mapped.txt"})
        ::unlink((config.workDir + name).c_str());
    return result;
}

PluginRunResult RunPluginOnce(const PluginRunConfig& config) {
    return CollectPluginRun(config, StartPluginRun(config));
}

}  // namespace pixolune::test
