#pragma once

#include <string>

#include "model/feed.h"
#include "model/plugin_settings.h"
#include "platform/token_store.h"

namespace pixolune {

inline constexpr const char* kSettingsSection = "PixolunePlugIn";
inline constexpr const char* kHostSection = "Settings";
inline constexpr const char* kRebuildListKey = "RebuildList";
using platform::kTokenKeyPath;

// A damaged store must not size the feed array without bound.
inline constexpr int kMaxStoredFeeds = 1000;

// Everything message 7 reads, gathered before any of it replaces the live
// values, so that the host is never called while the engine's lock is held.
struct LoadedSettings {
    PluginSettings values;  // the stored fields; SettingsChanged and HostVariant untouched
    std::string token;
    FeedArray feeds;  // the stored fields of each feed (kFeedSettings)
};

// Reads, in the host's order: the settings keys (kSettings), the token, "nFeeds" and each
// feed's keys (kFeedSettings).
[[nodiscard]] LoadedSettings LoadSettings(int hostVariant);

// Replaces the stored fields of `settings`, the token and the feeds (entries
// that already existed keep their items and schedule), applies the host-variant
// override and clears SettingsChanged.
void ApplyLoadedSettings(const LoadedSettings& loaded, PluginSettings& settings, FeedArray& feeds,
                         std::string& token);

// Writes every setting, the token, the feeds and finally "RebuildList" = 1.
// `tokenAtLoad` is the token as the last load or save left it: an empty token
// is stored only when it was cleared since, or when no token is stored at all.
void SaveSettings(const PluginSettings& settings, const FeedArray& feeds, const std::string& token,
                  const std::string& tokenAtLoad);

// The registry value that holds the token for a host variant.
using platform::TokenValueName;

}  // namespace pixolune
