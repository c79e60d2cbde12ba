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
    controls.rateKB = std::to_string(values.MaxRateKB);
    controls.quietFrom = std::to_string(values.QuietFrom);
    controls.quietTo = std::to_string(values.QuietTo);
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
    const auto rateKB = IntegerInRange(controls.rateKB, 0, kMaxRateKBLimit);
    if (!rateKB)
        return DownloadExchangeFailure{
            DownloadControl::RateKB, {kTextRateRange, {{"0"}, {std::to_string(kMaxRateKBLimit)}}}};
    const std::vector<UiArg> hourBounds = {{"0"}, {std::to_string(kLastHourOfDay)}};
    const auto quietFrom = IntegerInRange(controls.quietFrom, 0, kLastHourOfDay);
    if (!quietFrom)
        return DownloadExchangeFailure{DownloadControl::QuietFrom,
                                       {kTextQuietFromRange, hourBounds}};
    const auto quietTo = IntegerInRange(controls.quietTo, 0, kLastHourOfDay);
    if (!quietTo)
        return DownloadExchangeFailure{DownloadControl::QuietTo, {kTextQuietToRange, hourBounds}};
    values.RestartKal = controls.restart ? 1 : 0;
    values.KpropTitle = controls.caption ? 1 : 0;
    values.KpropOwner = controls.owner ? 1 : 0;
    values.OlderDays = days;
    values.OlderHours = hours;
    values.FeedsSynch =
        controls.selectedRadio == 0 || controls.selectedRadio == 1 ? controls.selectedRadio : -1;
    values.AuthPrefix = controls.prefix;
    values.MaxRateKB = *rateKB;
    values.QuietFrom = *quietFrom;
    values.QuietTo = *quietTo;
    return std::nullopt;
}

DownloadEnabling ComputeDownloadEnabling(int selectedRadio, bool ownerChecked) {
    return {selectedRadio != 0, ownerChecked};
}

}  // namespace pixolune::ui
