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
    int32_t days = values.OlderDays;
    int32_t hours = values.OlderHours;
    if (ComputeDownloadEnabling(controls.selectedRadio, controls.owner).ageFields) {
        const std::vector<UiArg> bounds = {{"0"}, {std::to_string(kAgeMax)}};
        const auto typedDays = IntegerInRange(controls.days, 0, kAgeMax);
        if (!typedDays)
            return DownloadExchangeFailure{DownloadControl::Days, {kTextDaysRange, bounds}};
        const auto typedHours = IntegerInRange(controls.hours, 0, kAgeMax);
        if (!typedHours)
            return DownloadExchangeFailure{DownloadControl::Hours, {kTextHoursRange, bounds}};
        days = *typedDays;
        hours = *typedHours;
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
