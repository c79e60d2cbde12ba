#include "ui/download_settings_logic.h"

#include <gtest/gtest.h>

#include "ui/dialog_texts.h"

namespace pixolune::ui {
namespace {

// Each of the ten differs from its default, so that a value not copied shows.
DialogSettings SomeValues() {
    DialogSettings values;
    values.RestartKal = 0;
    values.KpropTitle = 1;
    values.KpropOwner = 1;
    values.OlderDays = 7;
    values.OlderHours = 5;
    values.FeedsSynch = 1;
    values.AuthPrefix = "by ";
    values.MaxRateKB = 2048;
    values.QuietFrom = 23;
    values.QuietTo = 7;
    return values;
}

class FeedsSynchLoadTest : public ::testing::TestWithParam<std::pair<int32_t, int>> {};

TEST_P(FeedsSynchLoadTest, SelectsThatButtonOrNone) {
    DialogSettings values = SomeValues();
    values.FeedsSynch = GetParam().first;
    const DownloadSettingsControls controls = LoadDownloadControls(values);
    EXPECT_EQ(GetParam().second, controls.selectedRadio);
    EXPECT_EQ(GetParam().second != 0,
              ComputeDownloadEnabling(controls.selectedRadio, false).ageFields);
}

INSTANTIATE_TEST_SUITE_P(Values, FeedsSynchLoadTest,
                         ::testing::Values(std::make_pair(0, 0), std::make_pair(1, 1),
                                           std::make_pair(-1, -1), std::make_pair(2, -1),
                                           std::make_pair(-7, -1)));

TEST(DownloadSettingsTest, LoadThenSaveGivesTheSameValues) {
    const DialogSettings in = SomeValues();
    DialogSettings out;
    ASSERT_FALSE(SaveDownloadControls(LoadDownloadControls(in), out).has_value());
    EXPECT_EQ(in.RestartKal, out.RestartKal);
    EXPECT_EQ(in.KpropTitle, out.KpropTitle);
    EXPECT_EQ(in.KpropOwner, out.KpropOwner);
    EXPECT_EQ(in.OlderDays, out.OlderDays);
    EXPECT_EQ(in.OlderHours, out.OlderHours);
    EXPECT_EQ(in.FeedsSynch, out.FeedsSynch);
    EXPECT_EQ(in.AuthPrefix, out.AuthPrefix);
    EXPECT_EQ(in.MaxRateKB, out.MaxRateKB);
    EXPECT_EQ(in.QuietFrom, out.QuietFrom);
    EXPECT_EQ(in.QuietTo, out.QuietTo);
}

TEST(DownloadSettingsTest, NoButtonSelectedStoresMinusOneAndZeroAgeIsAccepted) {
    DownloadSettingsControls controls = LoadDownloadControls(SomeValues());
    controls.selectedRadio = -1;
    controls.days = "0";
    controls.hours = "0";
    controls.prefix = "";
    controls.owner = false;
    DialogSettings out;
    ASSERT_FALSE(SaveDownloadControls(controls, out).has_value());
    EXPECT_EQ(-1, out.FeedsSynch);
    EXPECT_EQ(0, out.OlderDays);
    EXPECT_EQ(0, out.OlderHours);
    EXPECT_EQ(0, out.KpropOwner);
}

TEST(DownloadSettingsTest, HoursAreNotLimitedToADay) {
    DownloadSettingsControls controls = LoadDownloadControls(SomeValues());
    controls.hours = "100";
    DialogSettings out;
    ASSERT_FALSE(SaveDownloadControls(controls, out).has_value());
    EXPECT_EQ(100, out.OlderHours);
}

struct AgeFailure {
    const char* days;
    const char* hours;
    DownloadControl control;
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
    controls.selectedRadio = 1;
    controls.days = GetParam().days;
    controls.hours = GetParam().hours;
    controls.rateKB = GetParam().rateKB;
    controls.quietFrom = GetParam().quietFrom;
    controls.quietTo = GetParam().quietTo;
    DialogSettings out = SomeValues();
    out.AuthPrefix = "untouched";
    const auto failure = SaveDownloadControls(controls, out);
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(GetParam().control, failure->control);
    EXPECT_EQ(GetParam().message, English(failure->message));
    EXPECT_EQ("untouched", out.AuthPrefix);
}

TEST(DownloadSettingsTest, GreyedOutAgeFieldsAreNotCheckedAndKeepTheirValues) {
    DownloadSettingsControls controls = LoadDownloadControls(SomeValues());
    controls.selectedRadio = 0;
    controls.days = "10000000";
    controls.hours = "x";
    DialogSettings out = SomeValues();
    ASSERT_FALSE(SaveDownloadControls(controls, out).has_value());
    EXPECT_EQ(SomeValues().OlderDays, out.OlderDays);
    EXPECT_EQ(SomeValues().OlderHours, out.OlderHours);
    EXPECT_EQ(0, out.FeedsSynch);
}

INSTANTIATE_TEST_SUITE_P(
    Edits, AgeValidationTest,
    ::testing::Values(
        AgeFailure{"10000000", "0", DownloadControl::Days, kDaysRange},
        AgeFailure{"99999999999999999999", "0", DownloadControl::Days, kDaysRange},
        AgeFailure{"week", "0", DownloadControl::Days, kDaysRange},
        AgeFailure{"x", "x", DownloadControl::Days, kDaysRange},
        AgeFailure{"1", "-1", DownloadControl::Hours, kHoursRange},
        AgeFailure{"1", "", DownloadControl::Hours, kHoursRange},
        AgeFailure{"1", "x", DownloadControl::Hours, kHoursRange, "-1", "24"},
        AgeFailure{"1", "1", DownloadControl::RateKB, kRateRange, "-1"},
        AgeFailure{"1", "1", DownloadControl::RateKB, kRateRange, "1048577"},
        AgeFailure{"1", "1", DownloadControl::RateKB, kRateRange, "2.5"},
        AgeFailure{"1", "1", DownloadControl::QuietFrom, kQuietFromRange, "0", "24", "99"},
        AgeFailure{"1", "1", DownloadControl::QuietFrom, kQuietFromRange, "512", "", "7"},
        AgeFailure{"1", "1", DownloadControl::QuietTo, kQuietToRange, "512", "23", "-1"}));

TEST(DownloadSettingsTest, LineSharingFieldsAreCheckedAlsoWithTheAgeFieldsGreyedOut) {
    DownloadSettingsControls controls = LoadDownloadControls(SomeValues());
    controls.selectedRadio = 0;
    controls.quietTo = "24";
    DialogSettings out = SomeValues();
    const auto failure = SaveDownloadControls(controls, out);
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(DownloadControl::QuietTo, failure->control);
    controls.quietTo = "23";
    controls.rateKB = "1048576";
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
