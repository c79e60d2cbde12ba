#include "plugin/app.h"

#include <cstdio>
#include <limits>
#include <utility>

#include "generated/pixolune_version.h"
#include "plugin/host_link.h"
#include "plugin/settings_io.h"

namespace pixolune {
namespace {

// The host's buffer for the version text is not passed; it holds at least this much.
constexpr size_t kVersionBufferSize = 28;

ConfigurationValues CopyForDialog(const PluginSettings& s, const CFeedEngine& engine) {
    ConfigurationValues v;
    v.Enabled = s.Enabled;
    v.tmUpdate = s.tmUpdate;
    v.ImgFolder = s.ImgFolder;
    v.DwlPhoto = s.DwlPhoto;
    v.DwlVideo = s.DwlVideo;
    v.RestartKal = s.RestartKal;
    v.KpropTitle = s.KpropTitle;
    v.KpropDescr = s.KpropDescr;
    v.KpropOwner = s.KpropOwner;
    v.AuthPrefix = s.AuthPrefix;
    v.OlderDays = s.OlderDays;
    v.OlderHours = s.OlderHours;
    v.FeedsSynch = s.FeedsSynch;
    CopyFeedArray(v.Feeds, engine.Feeds);
    v.Token = engine.Token;
    return v;
}

void CopyBackFromDialog(const ConfigurationValues& v, PluginSettings& s, CFeedEngine& engine) {
    s.Enabled = v.Enabled;
    s.tmUpdate = v.tmUpdate;
    s.ImgFolder = v.ImgFolder;
    s.DwlPhoto = v.DwlPhoto;
    s.DwlVideo = v.DwlVideo;
    s.RestartKal = v.RestartKal;
    s.KpropTitle = v.KpropTitle;
    s.KpropDescr = v.KpropDescr;
    s.KpropOwner = v.KpropOwner;
    s.AuthPrefix = v.AuthPrefix;
    s.OlderDays = v.OlderDays;
    s.OlderHours = v.OlderHours;
    s.FeedsSynch = v.FeedsSynch;
    CopyFeedArray(engine.Feeds, v.Feeds);
}

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
            return 256;
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
        case KAL_MSG_SETTINGS_CHANGED: {
            std::lock_guard<std::mutex> guard(Engine.Lock);
            return Settings.SettingsChanged;
        }
        case KAL_MSG_START: {
            bool enabled;
            {
                std::lock_guard<std::mutex> guard(Engine.Lock);
                enabled = Settings.Enabled != 0;
            }
            if (enabled) Engine.StartWorker();
            return 0;
        }
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
    ConfigurationValues values;
    int hostVariant;
    {
        std::lock_guard<std::mutex> guard(Engine.Lock);
        values = CopyForDialog(Settings, Engine);
        hostVariant = Settings.HostVariant;
    }
    // The dialog runs without the lock: the worker keeps going on the old values.
    if (!dialogRunner_(values, hostVariant, ownerWindow)) return 0;
    {
        std::lock_guard<std::mutex> guard(Engine.Lock);
        CopyBackFromDialog(values, Settings, Engine);
        Settings.SettingsChanged = 1;
    }
    // Through the engine, so that a worker holding back a refused token resumes;
    // it wakes the worker too, so that a new folder is taken up at once.
    Engine.SetToken(std::move(values.Token));
    return 1;
}

int CPixoluneApp::Save() {
    PluginSettings settings;
    FeedArray feeds;
    std::string token;
    std::string tokenAtLoad;
    {
        std::lock_guard<std::mutex> guard(Engine.Lock);
        settings = Settings;
        CopyFeedArray(feeds, Engine.Feeds);
        token = Engine.Token;
        tokenAtLoad = tokenAtLoad_;
    }
    SaveSettings(settings, feeds, token, tokenAtLoad);
    std::lock_guard<std::mutex> guard(Engine.Lock);
    tokenAtLoad_ = token;
    Settings.SettingsChanged = 0;
    return 1;
}

int CPixoluneApp::Load() {
    int hostVariant;
    {
        std::lock_guard<std::mutex> guard(Engine.Lock);
        hostVariant = Settings.HostVariant;
    }
    const LoadedSettings loaded = LoadSettings(hostVariant);
    std::string token;
    {
        std::lock_guard<std::mutex> guard(Engine.Lock);
        ApplyLoadedSettings(loaded, Settings, Engine.Feeds, token);
        tokenAtLoad_ = loaded.token;
    }
    Engine.SetToken(std::move(token));
    Log("LoadSettings: Enabled=%d, ImgFolder=%s, feeds=%zu, token %s", loaded.values.Enabled,
        loaded.values.ImgFolder.c_str(), loaded.feeds.size(), MaskSecret(loaded.token).c_str());
    return 1;
}

int CPixoluneApp::SetHostVariant(intptr_t variant) {
    const bool fits = variant >= std::numeric_limits<int32_t>::min() &&
                      variant <= std::numeric_limits<int32_t>::max();
    {
        std::lock_guard<std::mutex> guard(Engine.Lock);
        // A value that does not fit the field is kept as -1, which acts as variant 0 like
        // every other value but 1.
        Settings.HostVariant = fits ? static_cast<int32_t>(variant) : -1;
    }
    return variant == 0 || variant == 1 ? static_cast<int>(variant) : -1;
}

int CPixoluneApp::Enabled(intptr_t setFlag, intptr_t value) {
    std::lock_guard<std::mutex> guard(Engine.Lock);
    // The host's words are 32 bits wide: only the low half of the value counts.
    if (setFlag != 0) Settings.Enabled = static_cast<int32_t>(static_cast<uint32_t>(value));
    // Enabled + 1 in 32-bit unsigned arithmetic, so the largest value wraps as the
    // host's does instead of overflowing a signed int.
    return static_cast<int32_t>(static_cast<uint32_t>(Settings.Enabled) + 1u);
}

}  // namespace pixolune
