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
};

enum class DownloadControl { Days, Hours };

struct DownloadExchangeFailure {
    DownloadControl control;
    UiText message;
};

// Fills the controls from the seven settings the dialog edits: RestartKal,
// KpropTitle, KpropOwner, OlderDays, OlderHours, FeedsSynch and AuthPrefix.
// FeedsSynch 0 or 1 selects that button; any other value selects none.
[[nodiscard]] DownloadSettingsControls LoadDownloadControls(const DialogSettings& values);

// The exchange on OK; only the two number edits can fail, and only while the
// age fields are enabled (greyed out, they keep the values handed in).
// `values` is left untouched on a failure. On success the seven settings are
// replaced (FeedsSynch -1 when no button is selected); the others stay as they were.
[[nodiscard]] std::optional<DownloadExchangeFailure> SaveDownloadControls(
    const DownloadSettingsControls& controls, DialogSettings& values);

struct DownloadEnabling {
    bool ageFields = false;  // days and hours edits and their labels
    bool prefix = false;     // "Prefix:" and its edit
};

[[nodiscard]] DownloadEnabling ComputeDownloadEnabling(int selectedRadio, bool ownerChecked);

}  // namespace pixolune::ui
