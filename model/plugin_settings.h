#pragma once

#include <cstdint>
#include <string>

namespace pixolune {

// The stored settings, which the configuration dialogs edit. The settings
// record and the dialog's values both embed them; each has its row, with its
// key, load default and range, in kSettings (model/settings_table.h).
// The defaults here are the values at library load.
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
