#include "plugin/app.h"

#include <cstdio>
#include <limits>
#include <utility>

#include "generated/pixolune_version.h"
#include "model/host_link.h"
#include "model/secret_mask.h"
#include "platform/state_folder.h"
#include "plugin/settings_io.h"

namespace pixolune {
namespace {

// The version of the host's plug-in interface this library answers message 1 with.
constexpr int kInterfaceVersion = 256;

// The host's buffer for the version text is not passed; it holds at least this much.
constexpr size_t kVersionBufferSize = 28;

ConfigurationValues CopyForDialog(const EngineConfiguration::Live& live) {
    ConfigurationValues values;
    static_cast<DialogSettings&>(values) = live.Settings;
    CopyFeedArray(values.Feeds, live.Feeds);
    values.Token = live.Token;
    return values;
}

void CopyBackFromDialog(const ConfigurationValues& values, EngineConfiguration::Live& live) {
    static_cast<DialogSettings&>(live.Settings) = values;
    CopyFeedArray(live.Feeds, values.Feeds);
}

// What a save writes, copied in one locked step.
struct SaveSnapshot {
    PluginSettings settings;
    FeedArray feeds;
    std::string token;
    std::string tokenAtLoad;
};

}  // namespace

CPixoluneApp::CPixoluneApp() = default;

// The engine member stops and joins a running worker in its own destructor,
// before the settings it reads go away.
CPixoluneApp::~CPixoluneApp() = default;

void CPixoluneApp::SetConfigurationDialogRunner(ConfigurationDialogRunner runner) {
    dialogRunner_ = std::move(runner);
}

int CPixoluneApp::HandleMessage(int code, intptr_t param1, intptr_t param2) {
    switch (code) {
        case KAL_MSG_INTERFACE_VERSION:
            return kInterfaceVersion;
        case KAL_MSG_VERSION_TEXT:
            return WriteVersionText(reinterpret_cast<char*>(param1));
        case KAL_MSG_SET_CALLBACK:
            SetHostCallback(reinterpret_cast<HostCallback>(param1));
            return 1;
        case KAL_MSG_CONFIGURE:
            return Configure(param1);
        case KAL_MSG_SAVE_SETTINGS:
            return Save();
        case KAL_MSG_LOAD_SETTINGS:
            return Load();
        case KAL_MSG_SETTINGS_CHANGED:
            return Locked([](Live& live) { return live.Settings.SettingsChanged; });
        case KAL_MSG_START:
            if (Locked([](Live& live) { return live.Settings.Enabled != 0; })) StartWorker();
            return 0;
        case KAL_MSG_STOP:
            if (param2 != 0) Engine.StopWorker();
            return 0;
        case KAL_MSG_HOST_VARIANT:
            return SetHostVariant(param1);
        case KAL_MSG_ENABLED:
            return Enabled(param1, param2);
        default:
            return 0;
    }
}

void CPixoluneApp::StartWorker() {
    if (!Engine.WorkerRunning()) {
        // Before the worker runs, so that its first reports are kept.
        Engine.OpenHealthRecord(platform::HealthRecordPath(
            Locked([](Live& live) { return live.Settings.HostVariant; })));
    }
    Engine.StartWorker();
}

int CPixoluneApp::WriteVersionText(char* buffer) const {
    if (!buffer) return 0;
    std::snprintf(buffer, kVersionBufferSize, "Pixolune v%d.%d.%d", PIXOLUNE_VERSION_MAJOR,
                  PIXOLUNE_VERSION_MINOR, PIXOLUNE_VERSION_PATCH);
    return 1;
}

int CPixoluneApp::Configure(intptr_t ownerWindow) {
    if (!dialogRunner_) {
        Log("Configure: no configuration dialog in this build");
        return 0;
    }
    auto [values, hostVariant] = Locked([](Live& live) {
        return std::make_pair(CopyForDialog(live), int{live.Settings.HostVariant});
    });
    // The dialog runs without the lock: the worker keeps going on the old values.
    if (!dialogRunner_(values, hostVariant, ownerWindow)) return 0;
    Locked([&](Live& live) {
        CopyBackFromDialog(values, live);
        live.Settings.SettingsChanged = 1;
    });
    // Through the engine, so that a worker holding back a refused token resumes;
    // it wakes the worker too, so that a new folder is taken up at once.
    Engine.SetToken(std::move(values.Token));
    return 1;
}

int CPixoluneApp::Save() {
    const SaveSnapshot saved = Locked([&](Live& live) {
        SaveSnapshot snapshot{live.Settings, {}, live.Token, tokenAtLoad_};
        CopyFeedArray(snapshot.feeds, live.Feeds);
        return snapshot;
    });
    SaveSettings(saved.settings, saved.feeds, saved.token, saved.tokenAtLoad);
    Locked([&](Live& live) {
        tokenAtLoad_ = saved.token;
        live.Settings.SettingsChanged = 0;
    });
    return 1;
}

int CPixoluneApp::Load() {
    const LoadedSettings loaded =
        LoadSettings(Locked([](Live& live) { return live.Settings.HostVariant; }));
    std::string token;
    Locked([&](Live& live) {
        ApplyLoadedSettings(loaded, live.Settings, live.Feeds, token);
        tokenAtLoad_ = loaded.token;
    });
    Engine.SetToken(std::move(token));
    Log("LoadSettings: Enabled=%d, ImgFolder=%s, feeds=%zu, token %s", loaded.values.Enabled,
        loaded.values.ImgFolder.c_str(), loaded.feeds.size(), MaskSecret(loaded.token).c_str());
    return 1;
}

int CPixoluneApp::SetHostVariant(intptr_t variant) {
    const bool fits = variant >= std::numeric_limits<int32_t>::min() &&
                      variant <= std::numeric_limits<int32_t>::max();
    // A value that does not fit the field is kept as -1, which acts as variant 0 like
    // every other value but 1.
    Locked(
        [&](Live& live) { live.Settings.HostVariant = fits ? static_cast<int32_t>(variant) : -1; });
    return variant == 0 || variant == 1 ? static_cast<int>(variant) : -1;
}

int CPixoluneApp::Enabled(intptr_t setFlag, intptr_t value) {
    return Locked([&](Live& live) {
        // The host's words are 32 bits wide: only the low half of the value counts.
        if (setFlag != 0)
            live.Settings.Enabled = static_cast<int32_t>(static_cast<uint32_t>(value));
        // Enabled + 1 in 32-bit unsigned arithmetic, so the largest value wraps as the
        // host's does instead of overflowing a signed int.
        return static_cast<int32_t>(static_cast<uint32_t>(live.Settings.Enabled) + 1u);
    });
}

}  // namespace pixolune
