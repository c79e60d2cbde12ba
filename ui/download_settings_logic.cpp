#include "ui/download_settings_logic.h"

#include "ui/integer_exchange.h"

namespace pixolune::ui {
namespace {

constexpr const SettingRow& kSynchronization = SettingOf(&DialogSettings::FeedsSynch);
constexpr const SettingRow& kOwner = SettingOf(&DialogSettings::KpropOwner);

bool EditedHere(const SettingRow& row) {
    return row.dialog == SettingDialog::Download;
}

int ChoiceOrNone(const SettingRow& row, int32_t value) {
    return value >= row.range.lowest && value <= row.range.highest ? value : -1;
}

template <typename Value>
Value Held(const std::map<std::string, Value>& controls, const SettingRow& row, Value none) {
    const auto found = controls.find(row.key);
    return found == controls.end() ? none : found->second;
}

// Greyed out, the age fields are not the user's to fix.
bool CheckedOnOk(const SettingRow& row, const DownloadEnabling& enabling) {
    const bool ageField =
        row.number == &DialogSettings::OlderDays || row.number == &DialogSettings::OlderHours;
    return !ageField || enabling.ageFields;
}

// Takes one setting from its control into `values`; only a number can fail.
std::optional<DownloadExchangeFailure> TakeSetting(const SettingRow& row,
                                                   const DownloadSettingsControls& controls,
                                                   const DownloadEnabling& enabling,
                                                   DialogSettings& values) {
    switch (row.kind) {
        case SettingKind::Flag:
            values.*row.number = Held(controls.checks, row, false) ? 1 : 0;
            break;
        case SettingKind::Choice:
            values.*row.number = ChoiceOrNone(row, Held(controls.choices, row, -1));
            break;
        case SettingKind::Text:
            values.*row.text = Held(controls.edits, row, std::string());
            break;
        case SettingKind::Number: {
            if (!CheckedOnOk(row, enabling)) break;
            const auto typed = IntegerInRange(Held(controls.edits, row, std::string()),
                                              row.range.lowest, row.range.highest);
            if (!typed) return DownloadExchangeFailure{&row, RangeMessage(row)};
            values.*row.number = *typed;
            break;
        }
    }
    return std::nullopt;
}

}  // namespace

DownloadSettingsControls LoadDownloadControls(const DialogSettings& values) {
    DownloadSettingsControls controls;
    for (const SettingRow& row : kSettings) {
        if (!EditedHere(row)) continue;
        switch (row.kind) {
            case SettingKind::Flag:
                controls.checks[row.key] = values.*row.number != 0;
                break;
            case SettingKind::Choice:
                controls.choices[row.key] = ChoiceOrNone(row, values.*row.number);
                break;
            case SettingKind::Number:
                controls.edits[row.key] = std::to_string(values.*row.number);
                break;
            case SettingKind::Text:
                controls.edits[row.key] = values.*row.text;
                break;
        }
    }
    return controls;
}

std::optional<DownloadExchangeFailure> SaveDownloadControls(
    const DownloadSettingsControls& controls, DialogSettings& values) {
    const DownloadEnabling enabling = ComputeDownloadEnabling(
        Held(controls.choices, kSynchronization, -1), Held(controls.checks, kOwner, false));
    DialogSettings taken = values;
    for (const SettingRow& row : kSettings) {
        if (!EditedHere(row)) continue;
        if (auto failure = TakeSetting(row, controls, enabling, taken)) return failure;
    }
    values = std::move(taken);
    return std::nullopt;
}

DownloadEnabling ComputeDownloadEnabling(int selectedRadio, bool ownerChecked) {
    return {selectedRadio != 0, ownerChecked};
}

}  // namespace pixolune::ui
