#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "model/plugin_settings.h"
#include "ui/dialog_texts.h"

namespace pixolune::ui {

inline constexpr int32_t kAgeMax = 9999999;

struct DownloadSettingsControls {
    bool restart = false;
    bool caption = false;
    bool owner = false;
    std::string days;
    std::string hours;
    int selectedRadio = -1;  // 0, 1, or -1 for none
    std::string prefix;
    std::string rateKB;     // KB/s, "0": no limit
    std::string quietFrom;  // hours of the day; equal: no quiet hours
    std::string quietTo;
};

enum class DownloadControl { Days, Hours, RateKB, QuietFrom, QuietTo };

struct DownloadExchangeFailure {
    DownloadControl control;
    UiText message;
};

// Fills the controls from the ten settings the dialog edits: RestartKal,
// KpropTitle, KpropOwner, OlderDays, OlderHours, FeedsSynch, AuthPrefix,
// MaxRateKB, QuietFrom and QuietTo.
// FeedsSynch 0 or 1 selects that button; any other value selects none.
[[nodiscard]] DownloadSettingsControls LoadDownloadControls(const DialogSettings& values);

// The exchange on OK; only the number edits can fail, checked in tab order:
// the age fields only while enabled (greyed out, they keep the values handed
// in), then the rate and the quiet hours.
// `values` is left untouched on a failure. On success the ten settings are
// replaced (FeedsSynch -1 when no button is selected); the others stay as they were.
[[nodiscard]] std::optional<DownloadExchangeFailure> SaveDownloadControls(
    const DownloadSettingsControls& controls, DialogSettings& values);

struct DownloadEnabling {
    bool ageFields = false;  // days and hours edits and their labels
    bool prefix = false;     // "Prefix:" and its edit
};

[[nodiscard]] DownloadEnabling ComputeDownloadEnabling(int selectedRadio, bool ownerChecked);

}  // namespace pixolune::ui
