#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace pixolune::ui {

inline constexpr int32_t kAgeMax = 9999999;

// The seven settings the download settings dialog edits.
struct DownloadSettingsValues {
    int32_t RestartKal = 0;
    int32_t KpropTitle = 0;
    int32_t KpropOwner = 0;
    int32_t OlderDays = 0;
    int32_t OlderHours = 0;
    int32_t FeedsSynch = -1;  // 0 or 1: the selected radio button; -1: none
    std::string AuthPrefix;
};

struct DownloadSettingsControls {
    bool restart = false;
    bool caption = false;
    bool owner = false;
    std::string days;
    std::string hours;
    int selectedRadio = -1;  // 0, 1, or -1 for none
    std::string prefix;
};

enum class DownloadControl { Days, Hours };

struct DownloadExchangeFailure {
    DownloadControl control;
    std::string message;
};

// FeedsSynch 0 or 1 selects that button; any other value selects none.
[[nodiscard]] DownloadSettingsControls LoadDownloadControls(const DownloadSettingsValues& values);

// The exchange on OK; only the two number edits can fail, and `values` is
// left untouched when one does.
[[nodiscard]] std::optional<DownloadExchangeFailure> SaveDownloadControls(
    const DownloadSettingsControls& controls, DownloadSettingsValues& values);

struct DownloadEnabling {
    bool ageFields = false;  // days and hours edits and their labels
    bool prefix = false;     // "Prefix:" and its edit
};

[[nodiscard]] DownloadEnabling ComputeDownloadEnabling(int selectedRadio, bool ownerChecked);

}  // namespace pixolune::ui
