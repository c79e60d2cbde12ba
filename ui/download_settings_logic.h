#pragma once

#include <map>
#include <optional>
#include <string>

#include "model/plugin_settings.h"
#include "model/settings_table.h"
#include "ui/dialog_texts.h"

namespace pixolune::ui {

// What the download settings dialog's controls hold, by the key of the
// setting each edits: the rows of kSettings whose dialog is this one.
struct DownloadSettingsControls {
    std::map<std::string, bool> checks;        // Flag settings
    std::map<std::string, int> choices;        // Choice settings: the button's id, -1 for none
    std::map<std::string, std::string> edits;  // Number and Text settings, as typed
};

struct DownloadExchangeFailure {
    const SettingRow* setting;  // whose edit gets the focus
    UiText message;
};

// Fills the controls from the settings the dialog edits. A choice outside its
// buttons' ids (FeedsSynch -1 or 2) selects none.
[[nodiscard]] DownloadSettingsControls LoadDownloadControls(const DialogSettings& values);

// The exchange on OK; only the number edits can fail, checked in the table's
// order. The age fields are checked only while enabled (greyed out, they keep
// the values handed in). `values` is left untouched on a failure; on success
// the settings the dialog edits are replaced (a choice with no button
// selected as -1), the others stay as they were.
[[nodiscard]] std::optional<DownloadExchangeFailure> SaveDownloadControls(
    const DownloadSettingsControls& controls, DialogSettings& values);

struct DownloadEnabling {
    bool ageFields = false;  // days and hours edits and their labels
    bool prefix = false;     // "Prefix:" and its edit
};

[[nodiscard]] DownloadEnabling ComputeDownloadEnabling(int selectedRadio, bool ownerChecked);

}  // namespace pixolune::ui
