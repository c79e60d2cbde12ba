#include "plugin/settings_io.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

#include "model/host_link.h"
#include "platform/token_store.h"
#include "platform/user_registry.h"
#include "plugin/host_store.h"

namespace pixolune {
namespace {

// One integer setting: its key, its field and the default passed on load.
struct IntSetting {
    const char* key;
    int32_t PluginSettings::*field;
    int loadDefault;
    // Values outside [lowest, highest] take the default; both 0: any value.
    int lowest = 0;
    int highest = 0;
};

// Keys in the order they are read and written, split where the text keys fall.
constexpr IntSetting kLeadingInts[] = {
    {"Enabled", &PluginSettings::Enabled, 0},
    {"tmUpdate", &PluginSettings::tmUpdate, 180},
};
constexpr IntSetting kTrailingInts[] = {
    {"DwlPhoto", &PluginSettings::DwlPhoto, 1},
    {"DwlVideo", &PluginSettings::DwlVideo, 0},
    {"RestartKal", &PluginSettings::RestartKal, 1},
    {"KpropTitle", &PluginSettings::KpropTitle, 0},
    {"KpropDescr", &PluginSettings::KpropDescr, 0},
    {"KpropOwner", &PluginSettings::KpropOwner, 0},
    {"OlderDays", &PluginSettings::OlderDays, 7},
    {"OlderHours", &PluginSettings::OlderHours, 0},
    {"FeedsSynch", &PluginSettings::FeedsSynch, 0},
    {"MaxRateKB", &PluginSettings::MaxRateKB, 0, 0, kMaxRateKBLimit},
    {"QuietFrom", &PluginSettings::QuietFrom, 0, 0, kLastHourOfDay},
    {"QuietTo", &PluginSettings::QuietTo, 0, 0, kLastHourOfDay},
};

int ReadBoundedInt(const char* section, const IntSetting& setting) {
    const int stored = ReadHostInt(section, setting.key, setting.loadDefault);
    if (setting.lowest == setting.highest) return stored;
    if (stored >= setting.lowest && stored <= setting.highest) return stored;
    Log("LoadSettings: %s=%d is out of range (%d to %d), %d used", setting.key, stored,
        setting.lowest, setting.highest, setting.loadDefault);
    return setting.loadDefault;
}

std::string FeedKey(size_t index, const char* suffix) {
    char key[64];
    std::snprintf(key, sizeof(key), "Feed%zu_%s", index, suffix);
    return key;
}

// White space around a token is never part of it: a file written with echo
// ends in a line break, which would otherwise travel inside every API URL.
std::string TrimmedToken(const std::string& text) {
    const char* const blanks = " \t\r\n\v\f";
    const size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// Tells the user what to do about a token file the plug-in refused to read.
void LogRefusedToken(const char* valueName, platform::RegistryReadStatus status) {
    const std::string path = platform::RegistryKeyFolder(kTokenKeyPath) + "/" + valueName;
    const char* why = platform::DescribeRegistryStatus(status);
    switch (status) {
        case platform::RegistryReadStatus::NotPrivate:
            Log("LoadFeedsAndToken: token value %s not used (%s); to use it, run: chmod 600 %s",
                valueName, why, path.c_str());
            break;
        case platform::RegistryReadStatus::SymbolicLink:
            Log("LoadFeedsAndToken: token value %s not used (%s); to use it, replace the link by "
                "a plain file of mode 600: %s",
                valueName, why, path.c_str());
            break;
        default:
            Log("LoadFeedsAndToken: token value %s not used (%s): %s", valueName, why,
                path.c_str());
    }
}

platform::TokenStore Tokens() {
    return platform::TokenStore();
}

// A person reading the log learns once why the token is not in the keyring,
// not at every load; a new reason is said again.
void SayOnceWhyTheFileIsUsed(const char* operation, const std::string& path,
                             const std::string& why) {
    static std::mutex mutex;
    static std::string lastSaid;  // guarded by mutex
    {
        const std::lock_guard<std::mutex> lock(mutex);
        if (why == lastSaid) return;
        lastSaid = why;
    }
    Log("%s: the token is kept in the file %s, not in the desktop's keyring: %s", operation,
        path.c_str(), why.c_str());
}

std::string LoadToken(int hostVariant) {
    const char* valueName = TokenValueName(hostVariant);
    const platform::TokenStore tokens = Tokens();
    const platform::StoredToken read = tokens.Read(valueName);
    if (read.fileStatus != platform::RegistryReadStatus::Ok &&
        read.fileStatus != platform::RegistryReadStatus::Missing) {
        LogRefusedToken(valueName, read.fileStatus);
    }
    if (read.place == platform::TokenPlace::File) {
        SayOnceWhyTheFileIsUsed(
            "LoadFeedsAndToken", tokens.FilePath(valueName),
            read.keyring.Usable() ? "it moves there at the next save" : read.keyring.problem);
    } else if (read.keyring.state == platform::KeyringState::Locked) {
        Log("LoadFeedsAndToken: token value %s in the desktop's keyring not used: %s", valueName,
            read.keyring.problem.c_str());
    }
    return TrimmedToken(read.text);
}

// An empty token replaces the stored value only when the user cleared the
// token or nothing is stored: a token the load refused, or one another
// session stored since, is the user's login and must survive the save.
bool MayStoreEmptyToken(const char* valueName, const std::string& tokenAtLoad) {
    if (!tokenAtLoad.empty()) return true;  // the user cleared it in the dialog
    const platform::StoredToken stored = Tokens().Read(valueName);
    const bool refusedFile = stored.fileStatus != platform::RegistryReadStatus::Ok &&
                             stored.fileStatus != platform::RegistryReadStatus::Missing;
    if (!refusedFile && stored.place == platform::TokenPlace::None) return true;
    Log("SaveFeedsAndToken: stored token value %s left as it is (%s)", valueName,
        refusedFile ? platform::DescribeRegistryStatus(stored.fileStatus) : "not loaded");
    return false;
}

// The keyring's manager lists the item under this label.
std::string TokenLabel(int hostVariant) {
    return hostVariant == 1 ? "Pixolune plug-in sign-in (second host product, TokenNVX)"
                            : "Pixolune plug-in sign-in (Kaleidra, TokenKAL)";
}

void SaveToken(int hostVariant, const std::string& token, const std::string& tokenAtLoad) {
    const char* valueName = TokenValueName(hostVariant);
    if (token.empty() && !MayStoreEmptyToken(valueName, tokenAtLoad)) return;
    const platform::TokenStore tokens = Tokens();
    const platform::SavedToken saved = tokens.Write(valueName, TokenLabel(hostVariant), token);
    if (!saved.outcome) {
        // The token stays in memory; the next save tries again.
        Log("SaveFeedsAndToken: token not stored, %s", saved.outcome.Error().c_str());
    } else if (saved.place == platform::TokenPlace::File) {
        SayOnceWhyTheFileIsUsed("SaveFeedsAndToken", tokens.FilePath(valueName),
                                saved.keyring.problem);
    } else if (saved.place == platform::TokenPlace::Keyring) {
        Log("SaveFeedsAndToken: token value %s kept in the desktop's keyring", valueName);
    }
}

int BoundFeedCount(int stored) {
    if (stored >= 0 && stored <= kMaxStoredFeeds) return stored;
    Log("LoadFeedsAndToken: nFeeds=%d is out of range, %d feeds loaded", stored,
        stored < 0 ? 0 : kMaxStoredFeeds);
    return stored < 0 ? 0 : kMaxStoredFeeds;
}

}  // namespace

LoadedSettings LoadSettings(int hostVariant) {
    LoadedSettings loaded;
    PluginSettings& v = loaded.values;
    const char* s = kSettingsSection;
    for (const IntSetting& setting : kLeadingInts) {
        v.*setting.field = ReadHostInt(s, setting.key, setting.loadDefault);
    }
    v.ImgFolder = ReadHostText(s, "ImgFolder", "");
    for (const IntSetting& setting : kTrailingInts) v.*setting.field = ReadBoundedInt(s, setting);
    v.AuthPrefix = ReadHostText(s, "AuthPrefix", "");

    loaded.token = LoadToken(hostVariant);
    const int count = BoundFeedCount(ReadHostInt(s, "nFeeds", 0));
    loaded.feeds.resize(static_cast<size_t>(count));
    for (size_t i = 0; i < loaded.feeds.size(); ++i) {
        StoredFeed& feed = loaded.feeds[i];
        feed.Type = ReadHostInt(s, FeedKey(i, "Type").c_str(), 0);
        feed.Tags = ReadHostText(s, FeedKey(i, "Tags").c_str(), "");
        feed.Flg = ReadHostInt(s, FeedKey(i, "Flg").c_str(), 0);
        feed.MaxP = ReadHostInt(s, FeedKey(i, "MaxP").c_str(), 100);
    }
    return loaded;
}

void ApplyLoadedSettings(const LoadedSettings& loaded, PluginSettings& settings, FeedArray& feeds,
                         std::string& token) {
    const PluginSettings& v = loaded.values;
    for (const IntSetting& setting : kLeadingInts) settings.*setting.field = v.*setting.field;
    for (const IntSetting& setting : kTrailingInts) settings.*setting.field = v.*setting.field;
    settings.ImgFolder = v.ImgFolder;
    settings.AuthPrefix = v.AuthPrefix;
    token = loaded.token;
    feeds.resize(loaded.feeds.size());
    for (size_t i = 0; i < feeds.size(); ++i) {
        feeds[i].Type = loaded.feeds[i].Type;
        feeds[i].Tags = loaded.feeds[i].Tags;
        feeds[i].Flg = loaded.feeds[i].Flg;
        feeds[i].MaxP = loaded.feeds[i].MaxP;
    }
    if (settings.IsSecondHost()) {
        settings.DwlPhoto = 1;
        settings.DwlVideo = 0;
    }
    settings.SettingsChanged = 0;
}

void SaveSettings(const PluginSettings& settings, const FeedArray& feeds, const std::string& token,
                  const std::string& tokenAtLoad) {
    const char* s = kSettingsSection;
    for (const IntSetting& setting : kLeadingInts) {
        WriteHostInt(s, setting.key, settings.*setting.field);
    }
    WriteHostText(s, "ImgFolder", settings.ImgFolder);
    for (const IntSetting& setting : kTrailingInts) {
        WriteHostInt(s, setting.key, settings.*setting.field);
    }
    WriteHostText(s, "AuthPrefix", settings.AuthPrefix);

    SaveToken(settings.HostVariant, token, tokenAtLoad);
    WriteHostInt(s, "nFeeds", static_cast<int>(feeds.size()));
    for (size_t i = 0; i < feeds.size(); ++i) {
        WriteHostInt(s, FeedKey(i, "Type").c_str(), feeds[i].Type);
        WriteHostText(s, FeedKey(i, "Tags").c_str(), feeds[i].Tags);
        WriteHostInt(s, FeedKey(i, "Flg").c_str(), feeds[i].Flg);
        WriteHostInt(s, FeedKey(i, "MaxP").c_str(), feeds[i].MaxP);
    }
    WriteHostInt(kHostSection, kRebuildListKey, 1);
}

}  // namespace pixolune
