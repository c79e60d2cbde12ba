#include "plugin/settings_io.h"

#include <algorithm>
#include <cstdio>

#include "model/host_link.h"
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

std::string LoadToken(int hostVariant) {
    const char* valueName = TokenValueName(hostVariant);
    const platform::RegistryRead read = platform::ReadRegistryString(kTokenKeyPath, valueName);
    if (read.status != platform::RegistryReadStatus::Ok &&
        read.status != platform::RegistryReadStatus::Missing) {
        LogRefusedToken(valueName, read.status);
    }
    return TrimmedToken(read.text);
}

// An empty token replaces the stored value only when the user cleared the
// token or nothing is stored: a token the load refused, or one another
// session stored since, is the user's login and must survive the save.
bool MayStoreEmptyToken(const char* valueName, const std::string& tokenAtLoad) {
    if (!tokenAtLoad.empty()) return true;  // the user cleared it in the dialog
    const platform::RegistryRead stored = platform::ReadRegistryString(kTokenKeyPath, valueName);
    if (stored.status == platform::RegistryReadStatus::Missing ||
        (stored.status == platform::RegistryReadStatus::Ok && stored.text.empty())) {
        return true;
    }
    Log("SaveFeedsAndToken: stored token value %s left as it is (%s)", valueName,
        stored.status == platform::RegistryReadStatus::Ok
            ? "not loaded"
            : platform::DescribeRegistryStatus(stored.status));
    return false;
}

void SaveToken(int hostVariant, const std::string& token, const std::string& tokenAtLoad) {
    const char* valueName = TokenValueName(hostVariant);
    if (token.empty() && !MayStoreEmptyToken(valueName, tokenAtLoad)) return;
    const platform::Outcome stored = platform::WriteRegistryString(kTokenKeyPath, valueName, token);
    if (!stored) {
        // The token stays in memory; the next save tries again.
        Log("SaveFeedsAndToken: token not stored, %s", stored.Error().c_str());
    }
}

int BoundFeedCount(int stored) {
    if (stored >= 0 && stored <= kMaxStoredFeeds) return stored;
    Log("LoadFeedsAndToken: nFeeds=%d is out of range, %d feeds loaded", stored,
        stored < 0 ? 0 : kMaxStoredFeeds);
    return stored < 0 ? 0 : kMaxStoredFeeds;
}

}  // namespace

const char* TokenValueName(int hostVariant) {
    return hostVariant == 1 ? "TokenNVX" : "TokenKAL";
}

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
