#include "ui/download_settings_logic.h"

#include "ui/integer_exchange.h"

namespace pixolune::ui {

DownloadSettingsControls LoadDownloadControls(const DialogSettings& values) {
    DownloadSettingsControls controls;
    controls.restart = values.RestartKal != 0;
    controls.caption = values.KpropTitle != 0;
    controls.owner = values.KpropOwner != 0;
    controls.days = std::to_string(values.OlderDays);
    controls.hours = std::to_string(values.OlderHours);
    controls.selectedRadio =
        values.FeedsSynch == 0 || values.FeedsSynch == 1 ? values.FeedsSynch : -1;
    controls.prefix = values.AuthPrefix;
    return controls;
}

std::optional<DownloadExchangeFailure> SaveDownloadControls(
    const DownloadSettingsControls& controls, DialogSettings& values) {
    int32_t days = 0;
    int32_t hours = 0;
    if (auto message = ExchangeInteger(controls.days, 0, kAgeMax, days)) {
        return DownloadExchangeFailure{DownloadControl::Days, *message};
    }
    if (auto message = ExchangeInteger(controls.hours, 0, kAgeMax, hours)) {
        return DownloadExchangeFailure{DownloadControl::Hours, *message};
    }
    values.RestartKal = controls.restart ? 1 : 0;
    values.KpropTitle = controls.caption ? 1 : 0;
    values.KpropOwner = controls.owner ? 1 : 0;
    values.OlderDays = days;
    values.OlderHours = hours;
    values.FeedsSynch =
        controls.selectedRadio == 0 || controls.selectedRadio == 1 ? controls.selectedRadio : -1;
    values.AuthPrefix = controls.prefix;
    return std::nullopt;
}

DownloadEnabling ComputeDownloadEnabling(int selectedRadio, bool ownerChecked) {
    return {selectedRadio != 0, ownerChecked};
}

}  // namespace pixolune::ui
