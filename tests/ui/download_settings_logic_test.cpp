#include "ui/download_settings_logic.h"

#include <gtest/gtest.h>

#include "ui/dialog_texts.h"

namespace pixolune::ui {
namespace {

bool EditedHere(const SettingRow& row) {
    return row.dialog == SettingDialog::Download;
}

// Each setting the dialog edits (or, with `ours` false, each other one)
// differs from its value at load, so that a value not copied shows.
DialogSettings SomeValues(bool ours = true) {
    DialogSettings values;
    for (const SettingRow& row : kSettings) {
        if (EditedHere(row) != ours) continue;
        if (row.text)
            values.*row.text = row.key + std::string(" text");
        else
            values.*row.number =
                values.*row.number == row.range.highest ? row.range.lowest : row.range.highest;
    }
    return values;
}

class FeedsSynchLoadTest : public ::testing::TestWithParam<std::pair<int32_t, int>> {};

TEST_P(FeedsSynchLoadTest, SelectsThatButtonOrNone) {
    DialogSettings values = SomeValues();
    values.FeedsSynch = GetParam().first;
    const DownloadSettingsControls controls = LoadDownloadControls(values);
    EXPECT_EQ(GetParam().second, controls.choices.at("FeedsSynch"));
    EXPECT_EQ(GetParam().second != 0,
              ComputeDownloadEnabling(controls.choices.at("FeedsSynch"), false).ageFields);
}

INSTANTIATE_TEST_SUITE_P(Values, FeedsSynchLoadTest,
                         ::testing::Values(std::make_pair(0, 0), std::make_pair(1, 1),
                                           std::make_pair(-1, -1), std::make_pair(2, -1),
                                           std::make_pair(-7, -1)));

TEST(DownloadSettingsTest, LoadThenSaveGivesTheSameValuesAndLeavesTheOthers) {
    const DialogSettings in = SomeValues();
    const DialogSettings others = SomeValues(false);
    DialogSettings out = others;
    ASSERT_FALSE(SaveDownloadControls(LoadDownloadControls(in), out).has_value());
    for (const SettingRow& row : kSettings) {
        const DialogSettings& expected = EditedHere(row) ? in : others;
        if (row.text)
            EXPECT_EQ(expected.*row.text, out.*row.text) << row.key;
        else
            EXPECT_EQ(expected.*row.number, out.*row.number) << row.key;
    }
}

TEST(DownloadSettingsTest, NoButtonSelectedStoresMinusOneAndZeroAgeIsAccepted) {
    DownloadSettingsControls controls = LoadDownloadControls(SomeValues());
    controls.choices["FeedsSynch"] = -1;
    controls.edits["OlderDays"] = "0";
    controls.edits["OlderHours"] = "0";
    controls.edits["AuthPrefix"] = "";
    controls.checks["KpropOwner"] = false;
    DialogSettings out;
    ASSERT_FALSE(SaveDownloadControls(controls, out).has_value());
    EXPECT_EQ(-1, out.FeedsSynch);
    EXPECT_EQ(0, out.OlderDays);
    EXPECT_EQ(0, out.OlderHours);
    EXPECT_EQ(0, out.KpropOwner);
}

TEST(DownloadSettingsTest, HoursAreNotLimitedToADay) {
    DownloadSettingsControls controls = LoadDownloadControls(SomeValues());
    controls.edits["OlderHours"] = "100";
    DialogSettings out;
    ASSERT_FALSE(SaveDownloadControls(controls, out).has_value());
    EXPECT_EQ(100, out.OlderHours);
}

struct AgeFailure {
    const char* days;
    const char* hours;
    const char* failedKey;
    std::string message;
    // The line-sharing fields, checked after the age fields.
    const char* rateKB = "0";
    const char* quietFrom = "0";
    const char* quietTo = "0";
};

const std::string kDaysRange = "Days: enter an integer between 0 and 9999999.";
const std::string kHoursRange = "Hours: enter an integer between 0 and 9999999.";
const std::string kRateRange =
    "\"Limit downloads to\" (KB/s, 0 = no limit): enter an integer between 0 and 1048576.";
const std::string kQuietFromRange = "\"Quiet hours from\": enter an hour between 0 and 23.";
const std::string kQuietToRange = "\"Quiet hours to\": enter an hour between 0 and 23.";

class AgeValidationTest : public ::testing::TestWithParam<AgeFailure> {};

TEST_P(AgeValidationTest, BadNumberNamesItsEditAndLeavesTheValues) {
    DownloadSettingsControls controls = LoadDownloadControls(SomeValues());
    controls.choices["FeedsSynch"] = 1;
    controls.edits["OlderDays"] = GetParam().days;
    controls.edits["OlderHours"] = GetParam().hours;
    controls.edits["MaxRateKB"] = GetParam().rateKB;
    controls.edits["QuietFrom"] = GetParam().quietFrom;
    controls.edits["QuietTo"] = GetParam().quietTo;
    DialogSettings out = SomeValues();
    out.AuthPrefix = "untouched";
    const auto failure = SaveDownloadControls(controls, out);
    ASSERT_TRUE(failure.has_value());
    EXPECT_STREQ(GetParam().failedKey, failure->setting->key);
    EXPECT_EQ(GetParam().message, English(failure->message));
    EXPECT_EQ("untouched", out.AuthPrefix);
}

TEST(DownloadSettingsTest, GreyedOutAgeFieldsAreNotCheckedAndKeepTheirValues) {
    DownloadSettingsControls controls = LoadDownloadControls(SomeValues());
    controls.choices["FeedsSynch"] = 0;
    controls.edits["OlderDays"] = "10000000";
    controls.edits["OlderHours"] = "x";
    DialogSettings out = SomeValues();
    ASSERT_FALSE(SaveDownloadControls(controls, out).has_value());
    EXPECT_EQ(SomeValues().OlderDays, out.OlderDays);
    EXPECT_EQ(SomeValues().OlderHours, out.OlderHours);
    EXPECT_EQ(0, out.FeedsSynch);
}

INSTANTIATE_TEST_SUITE_P(
    Edits, AgeValidationTest,
    ::testing::Values(AgeFailure{"10000000", "0", "OlderDays", kDaysRange},
                      AgeFailure{"99999999999999999999", "0", "OlderDays", kDaysRange},
                      AgeFailure{"week", "0", "OlderDays", kDaysRange},
                      AgeFailure{"x", "x", "OlderDays", kDaysRange},
                      AgeFailure{"1", "-1", "OlderHours", kHoursRange},
                      AgeFailure{"1", "", "OlderHours", kHoursRange},
                      AgeFailure{"1", "x", "OlderHours", kHoursRange, "-1", "24"},
                      AgeFailure{"1", "1", "MaxRateKB", kRateRange, "-1"},
                      AgeFailure{"1", "1", "MaxRateKB", kRateRange, "1048577"},
                      AgeFailure{"1", "1", "MaxRateKB", kRateRange, "2.5"},
                      AgeFailure{"1", "1", "QuietFrom", kQuietFromRange, "0", "24", "99"},
                      AgeFailure{"1", "1", "QuietFrom", kQuietFromRange, "512", "", "7"},
                      AgeFailure{"1", "1", "QuietTo", kQuietToRange, "512", "23", "-1"}));

TEST(DownloadSettingsTest, LineSharingFieldsAreCheckedAlsoWithTheAgeFieldsGreyedOut) {
    DownloadSettingsControls controls = LoadDownloadControls(SomeValues());
    controls.choices["FeedsSynch"] = 0;
    controls.edits["QuietTo"] = "24";
    DialogSettings out = SomeValues();
    const auto failure = SaveDownloadControls(controls, out);
    ASSERT_TRUE(failure.has_value());
    EXPECT_STREQ("QuietTo", failure->setting->key);
    controls.edits["QuietTo"] = "23";
    controls.edits["MaxRateKB"] = "1048576";
    ASSERT_FALSE(SaveDownloadControls(controls, out).has_value());
    EXPECT_EQ(1048576, out.MaxRateKB);
    EXPECT_EQ(23, out.QuietTo);
}

TEST(DownloadEnablingTest, PrefixFollowsTheOwnerBoxAndAgeFieldsTheFirstButton) {
    EXPECT_FALSE(ComputeDownloadEnabling(0, false).ageFields);
    EXPECT_TRUE(ComputeDownloadEnabling(1, false).ageFields);
    EXPECT_TRUE(ComputeDownloadEnabling(-1, false).ageFields);
    EXPECT_FALSE(ComputeDownloadEnabling(1, false).prefix);
    EXPECT_TRUE(ComputeDownloadEnabling(1, true).prefix);
}

}  // namespace
}  // namespace pixolune::ui
