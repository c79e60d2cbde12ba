#pragma once

#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>

#include "model/feed.h"
#include "model/plugin_settings.h"
#include "model/translatable.h"

namespace pixolune {

// What a setting holds, and so which kind of control edits it.
enum class SettingKind {
    Flag,    // 0 or 1: a check box
    Number,  // a whole number: an edit whose text must lie in the range on OK
    Choice,  // the selected radio button, an index in the range; -1 when none is
    Text,    // an edit, taken as typed
};

// The dialog whose control edits a setting.
enum class SettingDialog { None, Main, Download };

// What a load does with a stored number outside the range. The settings the
// host has always had are taken as stored; the later ones take their default
// and the log says so.
enum class StoredRange { Taken, Refused };

// The numbers the dialog takes for a setting.
struct SettingRange {
    int32_t lowest = 0;
    int32_t highest = 0;
    StoredRange stored = StoredRange::Taken;
};

// A setting's words in its dialog, translated there; empty where it has none.
struct SettingTexts {
    const char* label = "";  // the check box's text, or the label naming the edit
    const char* unit = "";   // shown after a number's edit: its unit, what 0 means
    // For a number outside the range; %1 and %2 are the bounds.
    const char* rangeMessage = "";
};

// One setting: where the host keeps it, the field that holds it, the default
// a load passes, the numbers the dialog takes and what the dialog calls it.
struct SettingRow {
    const char* key;  // in the host's section "PixolunePlugIn"
    SettingKind kind;
    int32_t DialogSettings::*number;    // every kind but Text
    std::string DialogSettings::*text;  // Text; its load default is empty
    int32_t loadDefault;
    SettingRange range;
    SettingDialog dialog;
    SettingTexts texts;
};

constexpr SettingRow FlagSetting(const char* key, int32_t DialogSettings::*field,
                                 int32_t loadDefault, SettingDialog dialog,
                                 const char* label = "") {
    return {key, SettingKind::Flag, field, nullptr, loadDefault, {0, 1}, dialog, {label}};
}

constexpr SettingRow NumberSetting(const char* key, int32_t DialogSettings::*field,
                                   int32_t loadDefault, SettingRange range, SettingDialog dialog,
                                   SettingTexts texts) {
    return {key, SettingKind::Number, field, nullptr, loadDefault, range, dialog, texts};
}

// The buttons' ids run from 0 to `highest`.
constexpr SettingRow ChoiceSetting(const char* key, int32_t DialogSettings::*field,
                                   int32_t loadDefault, int32_t highest, SettingDialog dialog,
                                   const char* label) {
    return {key, SettingKind::Choice, field, nullptr, loadDefault, {0, highest}, dialog, {label}};
}

constexpr SettingRow TextSetting(const char* key, std::string DialogSettings::*field,
                                 SettingDialog dialog, const char* label) {
    return {key, SettingKind::Text, nullptr, field, 0, {}, dialog, {label}};
}

// The longest time the dialogs take, in minutes, days or hours: seven digits,
// as they have always taken.
inline constexpr int32_t kLongestTypedNumber = 9999999;
// The highest rate cap, in KiB/s: 1 GiB/s, more than any home line.
inline constexpr int32_t kMaxRateKBLimit = 1024 * 1024;
// Quiet hours are hours of the day.
inline constexpr int32_t kLastHourOfDay = 23;

// Every stored setting, in the order a load reads and a save writes them. A
// new setting is a field of DialogSettings, a row here and, when a dialog
// edits it, its control.
inline constexpr SettingRow kSettings[] = {
    FlagSetting("Enabled", &DialogSettings::Enabled, 0, SettingDialog::Main,
                QT_TRANSLATE_NOOP("pixolune::ui", "&PlugIn Enabled")),
    NumberSetting("tmUpdate", &DialogSettings::tmUpdate, 180, {0, kLongestTypedNumber},
                  SettingDialog::Main,
                  {QT_TRANSLATE_NOOP("pixolune::ui", "Check downloads at startup and &every :"),
                   QT_TRANSLATE_NOOP("pixolune::ui", "Minutes   (0=Disable)"),
                   QT_TRANSLATE_NOOP("pixolune::ui",
                                     "\"Check downloads at startup and every\" (minutes): "
                                     "enter an integer between %1 and %2.")}),
    TextSetting("ImgFolder", &DialogSettings::ImgFolder, SettingDialog::Main,
                QT_TRANSLATE_NOOP("pixolune::ui",
                                  "&Folder to store downloaded media files (photo and video):")),
    FlagSetting("DwlPhoto", &DialogSettings::DwlPhoto, 1, SettingDialog::Main,
                QT_TRANSLATE_NOOP("pixolune::ui", "P&hotos")),
    FlagSetting("DwlVideo", &DialogSettings::DwlVideo, 0, SettingDialog::Main,
                QT_TRANSLATE_NOOP("pixolune::ui", "&Videos")),
    FlagSetting(
        "RestartKal", &DialogSettings::RestartKal, 1, SettingDialog::Download,
        QT_TRANSLATE_NOOP("pixolune::ui", "Restart slideshow when all files have been downloaded")),
    FlagSetting(
        "KpropTitle", &DialogSettings::KpropTitle, 0, SettingDialog::Download,
        QT_TRANSLATE_NOOP("pixolune::ui", "Add item &caption to description in kprop file")),
    // No dialog sets it; it only counts in whether sidecars are written.
    FlagSetting("KpropDescr", &DialogSettings::KpropDescr, 0, SettingDialog::None),
    FlagSetting("KpropOwner", &DialogSettings::KpropOwner, 0, SettingDialog::Download,
                QT_TRANSLATE_NOOP("pixolune::ui", "Add &owner name to description in kprop file")),
    NumberSetting("OlderDays", &DialogSettings::OlderDays, 7, {0, kLongestTypedNumber},
                  SettingDialog::Download,
                  {QT_TRANSLATE_NOOP("pixolune::ui", "&Days"), "",
                   QT_TRANSLATE_NOOP("pixolune::ui", "Days: enter an integer between %1 and %2.")}),
    NumberSetting(
        "OlderHours", &DialogSettings::OlderHours, 0, {0, kLongestTypedNumber},
        SettingDialog::Download,
        {QT_TRANSLATE_NOOP("pixolune::ui", "&Hours"), "",
         QT_TRANSLATE_NOOP("pixolune::ui", "Hours: enter an integer between %1 and %2.")}),
    // 0 removes a file that left the feeds at once, 1 once it is older than the age limit.
    ChoiceSetting("FeedsSynch", &DialogSettings::FeedsSynch, 0, 1, SettingDialog::Download,
                  QT_TRANSLATE_NOOP("pixolune::ui", "Synchronization")),
    NumberSetting("MaxRateKB", &DialogSettings::MaxRateKB, 0,
                  {0, kMaxRateKBLimit, StoredRange::Refused}, SettingDialog::Download,
                  {QT_TRANSLATE_NOOP("pixolune::ui", "&Limit downloads to"),
                   QT_TRANSLATE_NOOP("pixolune::ui", "KB/s, 0 = no limit"),
                   QT_TRANSLATE_NOOP("pixolune::ui",
                                     "\"Limit downloads to\" (KB/s, 0 = no limit): enter an "
                                     "integer between %1 and %2.")}),
    NumberSetting("QuietFrom", &DialogSettings::QuietFrom, 0,
                  {0, kLastHourOfDay, StoredRange::Refused}, SettingDialog::Download,
                  {QT_TRANSLATE_NOOP("pixolune::ui", "&Quiet hours from"), "",
                   QT_TRANSLATE_NOOP("pixolune::ui",
                                     "\"Quiet hours from\": enter an hour between %1 and %2.")}),
    NumberSetting("QuietTo", &DialogSettings::QuietTo, 0, {0, kLastHourOfDay, StoredRange::Refused},
                  SettingDialog::Download,
                  {QT_TRANSLATE_NOOP("pixolune::ui", "&to"), "",
                   QT_TRANSLATE_NOOP("pixolune::ui",
                                     "\"Quiet hours to\": enter an hour between %1 and %2.")}),
    TextSetting("AuthPrefix", &DialogSettings::AuthPrefix, SettingDialog::Download,
                QT_TRANSLATE_NOOP("pixolune::ui", "&Prefix:")),
};

// What each configured feed keeps; its keys are "Feed%d_" and the suffix,
// %d the feed's index in the array, from 0.
struct FeedSettingRow {
    const char* suffix;
    int32_t CPixoluneFeed::*number;
    std::string CPixoluneFeed::*text;  // its load default is empty
    int32_t loadDefault;
};

// In the order a load reads and a save writes them, after "nFeeds".
inline constexpr FeedSettingRow kFeedSettings[] = {
    {"Type", &CPixoluneFeed::Type, nullptr, 0},
    {"Tags", nullptr, &CPixoluneFeed::Tags, 0},
    {"Flg", &CPixoluneFeed::Flg, nullptr, 0},  // a feed without its flags loads disabled
    {"MaxP", &CPixoluneFeed::MaxP, nullptr, 100},
};

// The row of a field; asked at compile time, a field without one fails the build.
constexpr const SettingRow& SettingOf(int32_t DialogSettings::*field) {
    for (const SettingRow& row : kSettings)
        if (row.number == field) return row;
    throw "no row in kSettings for this field";
}

constexpr const SettingRow& SettingOf(std::string DialogSettings::*field) {
    for (const SettingRow& row : kSettings)
        if (row.text == field) return row;
    throw "no row in kSettings for this field";
}

// The row of a field, found at compile time.
template <auto field>
inline constexpr const SettingRow& kRowOf = SettingOf(field);

// Each row names one field of its kind, a key of its own, and a default that
// a load refusing out-of-range values would take.
constexpr bool SettingsTableIsSound() {
    const int count = static_cast<int>(std::size(kSettings));
    for (int i = 0; i < count; ++i) {
        const SettingRow& row = kSettings[i];
        if ((row.kind == SettingKind::Text) != (row.text != nullptr)) return false;
        if ((row.kind == SettingKind::Text) == (row.number != nullptr)) return false;
        const SettingRange& range = row.range;
        if (range.lowest > range.highest) return false;
        if (range.stored == StoredRange::Refused &&
            (row.loadDefault < range.lowest || row.loadDefault > range.highest))
            return false;
        for (int j = i + 1; j < count; ++j) {
            if (std::string_view(row.key) == kSettings[j].key) return false;
            if (row.number && row.number == kSettings[j].number) return false;
            if (row.text && row.text == kSettings[j].text) return false;
        }
    }
    return true;
}
static_assert(SettingsTableIsSound(), "kSettings: one row per field and key, defaults in range");

}  // namespace pixolune
