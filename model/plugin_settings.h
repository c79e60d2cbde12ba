#pragma once

#include <cstdint>
#include <string>

namespace pixolune {

// The highest rate cap, in KiB/s: 1 GiB/s, more than any home line.
inline constexpr int32_t kMaxRateKBLimit = 1024 * 1024;
// Quiet hours are hours of the day.
inline constexpr int32_t kLastHourOfDay = 23;

// The settings the configuration dialog edits. The settings record and the
// dialog's values both embed them, so a new setting is added here once.
// The defaults are the values at library load.
struct DialogSettings {
    int32_t Enabled = 0;
    int32_t tmUpdate = 0;  // minutes between two queries of one feed
    std::string ImgFolder;
    int32_t DwlPhoto = 0;
    int32_t DwlVideo = 0;
    int32_t RestartKal = 1;
    int32_t KpropTitle = 0;
    int32_t KpropDescr = 0;
    int32_t KpropOwner = 0;
    std::string AuthPrefix;
    int32_t OlderDays = 1;
    int32_t OlderHours = 0;
    int32_t FeedsSynch = 0;  // 0: remove unseen files at once; else only when older than the limit
    int32_t MaxRateKB = 0;   // KiB/s over all the worker's transfers; 0: no cap
    int32_t QuietFrom = 0;   // hour of the day (local) the quiet hours begin
    int32_t QuietTo = 0;     // hour they end; equal to QuietFrom: no quiet hours

    bool WantsSidecars() const { return KpropTitle || KpropDescr || KpropOwner; }
};

// The plug-in's settings record. The values here are those at library load;
// message 7 replaces them with the host's stored values (or the load defaults).
struct PluginSettings : DialogSettings {
    int32_t SettingsChanged = 0;  // not stored
    int32_t HostVariant = 0;      // not stored; 1 is the second host product

    bool IsSecondHost() const { return HostVariant == 1; }
};

}  // namespace pixolune
