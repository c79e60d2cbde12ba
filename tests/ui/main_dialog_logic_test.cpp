#include "ui/main_dialog_logic.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>

#include "ui/dialog_texts.h"

namespace pixolune::ui {
namespace {

CPixoluneFeed Feed(int32_t type, int32_t maxP, std::string tags = "") {
    CPixoluneFeed feed;
    feed.Type = type;
    feed.MaxP = maxP;
    feed.Tags = std::move(tags);
    return feed;
}

MainDialogControls ValidControls() {
    MainDialogControls c;
    c.pluginEnabled = true;
    c.folder = "/media/pixolune/";
    c.minutes = "180";
    c.photos = true;
    return c;
}

platform::Outcome AnyFolder(const std::string&) {
    return platform::Outcome::Ok();
}
bool AlwaysOk(const std::string&) {
    return true;
}

TEST(LoadMainControlsTest, FirstFiveFeedsFillTheirRowsByTypeAndTheLaterOneWins) {
    ConfigurationValues values;
    values.Feeds = {Feed(3, 30), Feed(9, 1),  Feed(5, 50, "sunset,sea"),
                    Feed(3, 33), Feed(1, 10), Feed(2, 20)};  // the sixth is not looked at
    const MainDialogControls c = LoadMainControls(values);
    EXPECT_TRUE(c.rows[0].checked);
    EXPECT_EQ("10", c.rows[0].maxFiles);
    EXPECT_FALSE(c.rows[1].checked);
    EXPECT_EQ("100", c.rows[1].maxFiles);
    EXPECT_TRUE(c.rows[2].checked);
    EXPECT_EQ("33", c.rows[2].maxFiles);
    EXPECT_FALSE(c.rows[3].checked);
    EXPECT_TRUE(c.rows[4].checked);
    EXPECT_EQ("50", c.rows[4].maxFiles);
    EXPECT_EQ("sunset,sea", c.tags);
}

TEST(LoadMainControlsTest, FieldsReachTheirControls) {
    ConfigurationValues values;
    values.Enabled = 1;
    values.ImgFolder = "/srv/media";
    values.tmUpdate = 45;
    values.DwlPhoto = 0;
    values.DwlVideo = 1;
    const MainDialogControls c = LoadMainControls(values);
    EXPECT_TRUE(c.pluginEnabled);
    EXPECT_EQ("/srv/media", c.folder);
    EXPECT_EQ("45", c.minutes);
    EXPECT_FALSE(c.photos);
    EXPECT_TRUE(c.videos);
    EXPECT_TRUE(c.tags.empty());
}

// The enabling of a signed-in, enabled first host with the rows as checked.
MainEnabling OpenEnabling(const MainDialogControls& c) {
    std::array<bool, kFeedRowCount> checked{};
    for (int row = 0; row < kFeedRowCount; ++row) checked[row] = c.rows[row].checked;
    return ComputeMainEnabling(c.pluginEnabled, true, 0, checked);
}

std::optional<MainExchangeFailure> Save(const MainDialogControls& c, ConfigurationValues& values,
                                        const ConfirmQuestion& confirm = AlwaysOk,
                                        const FolderProbe& folderProblem = AnyFolder) {
    return SaveMainControls(c, values, OpenEnabling(c), confirm, folderProblem);
}

struct FailureCase {
    const char* name;
    std::function<void(MainDialogControls&)> spoil;
    MainControl control;
    int row;
    std::string message;
};

class MainValidationTest : public ::testing::TestWithParam<FailureCase> {};

TEST_P(MainValidationTest, FirstBadControlGetsItsMessageAndValuesStayUntouched) {
    MainDialogControls controls = ValidControls();
    GetParam().spoil(controls);
    ConfigurationValues values;
    values.ImgFolder = "untouched";
    values.Feeds = {Feed(4, 4)};
    const auto folderProblem = [](const std::string& path) {
        if (path == "/media/pixolune/") return platform::Outcome::Ok();
        return platform::Outcome::Failed("", path == "/read-only/" ? EACCES : ENOENT);
    };
    const auto failure = Save(controls, values, AlwaysOk, folderProblem);
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(GetParam().control, failure->control);
    EXPECT_EQ(GetParam().row, failure->row);
    EXPECT_EQ(GetParam().message, English(failure->message));
    EXPECT_EQ("untouched", values.ImgFolder);
    ASSERT_EQ(1u, values.Feeds.size());
    EXPECT_EQ(4, values.Feeds[0].Type);
}

const std::string kMinutesRange =
    "\"Check downloads at startup and every\" (minutes): enter an integer between 0 and 9999999.";
std::string RowRange(const std::string& row) {
    return "\"" + row + "\", Max N. of files: enter an integer between 1 and 20000.";
}

INSTANTIATE_TEST_SUITE_P(
    Failures, MainValidationTest,
    ::testing::Values(
        FailureCase{"MinutesNotANumber", [](auto& c) { c.minutes = "soon"; }, MainControl::Minutes,
                    -1, kMinutesRange},
        FailureCase{"MinutesEmpty", [](auto& c) { c.minutes = ""; }, MainControl::Minutes, -1,
                    kMinutesRange},
        FailureCase{"MinutesTooLarge", [](auto& c) { c.minutes = "10000000"; },
                    MainControl::Minutes, -1, kMinutesRange},
        FailureCase{"MinutesTooLargeForANumber", [](auto& c) { c.minutes = "99999999999"; },
                    MainControl::Minutes, -1, kMinutesRange},
        FailureCase{"MinutesNegative", [](auto& c) { c.minutes = "-5"; }, MainControl::Minutes, -1,
                    kMinutesRange},
        FailureCase{"CheckedRowZero",
                    [](auto& c) {
                        c.rows[1] = {true, "0"};
                    },
                    MainControl::FeedMaxFiles, 1, RowRange("My Photos/Videos")},
        FailureCase{"CheckedRowTooLarge",
                    [](auto& c) {
                        c.rows[3] = {true, "20001"};
                    },
                    MainControl::FeedMaxFiles, 3, RowRange("Photos/Videos I like")},
        FailureCase{"RowNotANumber",
                    [](auto& c) {
                        c.rows[4] = {true, "many"};
                        c.tags = "sea";
                    },
                    MainControl::FeedMaxFiles, 4, RowRange("Photos/Videos with tags")},
        FailureCase{"RowsInOrder",
                    [](auto& c) {
                        c.rows[2] = {true, "x"};
                        c.rows[0] = {true, "0"};
                    },
                    MainControl::FeedMaxFiles, 0, RowRange("My Feed")},
        FailureCase{"MinutesBeforeRows",
                    [](auto& c) {
                        c.rows[0] = {true, "0"};
                        c.minutes = "x";
                    },
                    MainControl::Minutes, -1, kMinutesRange},
        FailureCase{"TagRowWithoutTags",
                    [](auto& c) {
                        c.rows[4].checked = true;
                        c.tags = " , ";
                    },
                    MainControl::Tags, -1,
                    "\"Photos/Videos with tags\": enter at least one tag; separate tags with "
                    "commas."},
        FailureCase{"FolderEmpty", [](auto& c) { c.folder = ""; }, MainControl::Folder, -1,
                    kTextFolderEmpty},
        FailureCase{"FolderMissing", [](auto& c) { c.folder = "/nowhere/"; }, MainControl::Folder,
                    -1, kTextFolderMissing},
        FailureCase{"FolderRelative", [](auto& c) { c.folder = "media/pixolune/"; },
                    MainControl::Folder, -1, kTextFolderRelative},
        FailureCase{"FolderNotWritable", [](auto& c) { c.folder = "/read-only/"; },
                    MainControl::Folder, -1,
                    "The folder /read-only/ can't be used for downloads (Permission denied). "
                    "Please choose a folder you may write to."},
        FailureCase{"FolderBeforeMediaKinds",
                    [](auto& c) {
                        c.folder = "";
                        c.photos = false;
                    },
                    MainControl::Folder, -1, kTextFolderEmpty},
        FailureCase{"RowsBeforeFolder",
                    [](auto& c) {
                        c.folder = "";
                        c.rows[2] = {true, ""};
                    },
                    MainControl::FeedMaxFiles, 2, RowRange("Popular")},
        FailureCase{"NoMediaKinds", [](auto& c) { c.photos = c.videos = false; },
                    MainControl::Photos, -1, kTextNoMediaTypes}),
    [](const auto& info) { return std::string(info.param.name); });

class ShortPollingTest : public ::testing::TestWithParam<std::pair<const char*, bool>> {};

TEST_P(ShortPollingTest, BelowSixtyMinutesAsksAndCancelReturnsToTheMinutes) {
    MainDialogControls controls = ValidControls();
    controls.minutes = GetParam().first;
    int asked = 0;
    const auto refuse = [&](const std::string& text) {
        ++asked;
        EXPECT_EQ(kTextShortPolling, text);
        return false;
    };
    ConfigurationValues values;
    const auto failure = Save(controls, values, refuse);
    if (GetParam().second) {
        EXPECT_EQ(1, asked);
        ASSERT_TRUE(failure.has_value());
        EXPECT_EQ(MainControl::Minutes, failure->control);
        EXPECT_TRUE(failure->message.empty()) << "the question was the message";
    } else {
        EXPECT_EQ(0, asked);
        EXPECT_FALSE(failure.has_value());
    }
}

INSTANTIATE_TEST_SUITE_P(Minutes, ShortPollingTest,
                         ::testing::Values(std::make_pair("0", true), std::make_pair("59", true),
                                           std::make_pair("60", false),
                                           std::make_pair("1440", false)));

TEST(MainSaveTest, ConfirmingShortPollingGoesOnToTheFolderCheck) {
    MainDialogControls controls = ValidControls();
    controls.minutes = "5";
    controls.folder = "";
    ConfigurationValues values;
    const auto failure = Save(controls, values);
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(kTextFolderEmpty, English(failure->message));
}

TEST(MainSaveTest, OkRebuildsTheFeedsFromCheckedRowsInTypeOrder) {
    MainDialogControls controls = ValidControls();
    controls.minutes = "75";
    controls.folder = "  /media/pixolune/";  // taken as typed
    controls.rows[4] = {true, "5"};
    controls.rows[1] = {true, "20"};
    controls.rows[2] = {false, "333"};
    controls.tags = " sunset,sea ";
    controls.videos = true;
    ConfigurationValues values;
    values.Feeds = {Feed(3, 33), Feed(1, 1), Feed(1, 2), Feed(4, 4), Feed(5, 5), Feed(2, 6)};
    values.Feeds[1].Retries = 7;
    values.KpropDescr = 1;
    values.Token = "kept";
    const auto folderProblem = [](const std::string& path) {
        return path == "  /media/pixolune/" ? platform::Outcome::Ok()
                                            : platform::Outcome::Failed("refused");
    };
    ASSERT_FALSE(Save(controls, values, AlwaysOk, folderProblem).has_value());

    ASSERT_EQ(2u, values.Feeds.size());
    EXPECT_EQ(2, values.Feeds[0].Type);
    EXPECT_EQ(20, values.Feeds[0].MaxP);
    EXPECT_EQ("", values.Feeds[0].Tags);
    EXPECT_EQ(5, values.Feeds[1].Type);
    EXPECT_EQ(5, values.Feeds[1].MaxP);
    EXPECT_EQ(" sunset,sea ", values.Feeds[1].Tags);
    for (const CPixoluneFeed& feed : values.Feeds) {
        EXPECT_EQ(kFeedEnabledFlag, feed.Flg);
        EXPECT_TRUE(feed.Items.empty());
        EXPECT_EQ(0u, feed.LastTm);
        EXPECT_EQ(0, feed.Retries);
    }
    EXPECT_EQ(1, values.Enabled);
    EXPECT_EQ("  /media/pixolune/", values.ImgFolder);
    EXPECT_EQ(75, values.tmUpdate);
    EXPECT_EQ(1, values.DwlPhoto);
    EXPECT_EQ(1, values.DwlVideo);
    EXPECT_EQ(1, values.KpropDescr);
    EXPECT_EQ("kept", values.Token);
}

// Greyed out (signed out, or the plug-in disabled), a field is not checked:
// its number keeps the value it was loaded with (a number above the limit of
// items a list loads as that limit), and OK goes through.
TEST(MainSaveTest, GreyedOutFieldsAreNotCheckedAndKeepTheirLoadedValues) {
    ConfigurationValues values;
    values.tmUpdate = 120;
    values.Feeds = {Feed(2, 50000), Feed(5, 50, "")};
    MainDialogControls controls = LoadMainControls(values);
    controls.pluginEnabled = false;
    controls.minutes = "x";
    controls.folder = "relative";
    controls.rows[1].maxFiles = "0";
    const MainEnabling signedOut =
        ComputeMainEnabling(false, false, 0, {false, true, false, false, true});
    ASSERT_FALSE(SaveMainControls(controls, values, signedOut, AlwaysOk, AnyFolder).has_value());
    EXPECT_EQ(120, values.tmUpdate);
    ASSERT_EQ(2u, values.Feeds.size());
    EXPECT_EQ(kMaxItemsPerList, values.Feeds[0].MaxP);
    EXPECT_EQ(5, values.Feeds[1].Type);
}

TEST(MainSaveTest, SixthFeedIsDroppedOnOk) {
    ConfigurationValues values;
    values.Feeds = {Feed(1, 1), Feed(1, 2), Feed(1, 3), Feed(1, 4), Feed(1, 5), Feed(2, 6)};
    MainDialogControls controls = LoadMainControls(values);
    controls.folder = "/x";
    controls.minutes = "60";
    controls.photos = true;
    ASSERT_FALSE(Save(controls, values).has_value());
    ASSERT_EQ(1u, values.Feeds.size());
    EXPECT_EQ(1, values.Feeds[0].Type);
    EXPECT_EQ(5, values.Feeds[0].MaxP);
}

struct EnablingCase {
    bool pluginEnabled;
    bool hasToken;
    int hostVariant;
    bool folderAndTiming;
    bool mediaKinds;
    bool feedChecks;
};

class MainEnablingTest : public ::testing::TestWithParam<EnablingCase> {};

TEST_P(MainEnablingTest, FollowsEnabledTokenAndHostVariant) {
    const EnablingCase& c = GetParam();
    const MainEnabling e = ComputeMainEnabling(c.pluginEnabled, c.hasToken, c.hostVariant,
                                               {true, false, true, false, true});
    EXPECT_EQ(c.folderAndTiming, e.folderAndTiming);
    EXPECT_EQ(c.mediaKinds, e.mediaKinds);
    EXPECT_EQ(c.feedChecks, e.feedChecks);
    const std::array<bool, kFeedRowCount> rows{c.feedChecks, false, c.feedChecks, false,
                                               c.feedChecks};
    EXPECT_EQ(rows, e.rowFields);
    // A failed validation may focus only what these rules leave open.
    EXPECT_EQ(c.mediaKinds, IsEnabledByRules(e, MainControl::Videos, -1));
    EXPECT_EQ(c.folderAndTiming, IsEnabledByRules(e, MainControl::Minutes, -1));
    EXPECT_EQ(c.feedChecks, IsEnabledByRules(e, MainControl::FeedMaxFiles, 4));
    EXPECT_FALSE(IsEnabledByRules(e, MainControl::FeedMaxFiles, 1)) << "an unchecked row";
    EXPECT_FALSE(IsEnabledByRules(e, MainControl::FeedMaxFiles, kFeedRowCount));
}

INSTANTIATE_TEST_SUITE_P(Rules, MainEnablingTest,
                         ::testing::Values(EnablingCase{true, true, 0, true, true, true},
                                           EnablingCase{true, false, 0, true, true, false},
                                           EnablingCase{false, true, 0, false, false, false},
                                           EnablingCase{false, false, 1, false, false, false},
                                           EnablingCase{true, true, 1, true, false, true},
                                           EnablingCase{true, true, 2, true, true, true},
                                           EnablingCase{true, true, -1, true, true, true}));

TEST(HasTokenTest, WhiteSpaceAloneIsNoToken) {
    EXPECT_FALSE(HasToken(""));
    EXPECT_FALSE(HasToken(" \t\r\n"));
    EXPECT_TRUE(HasToken(" t "));
}

}  // namespace
}  // namespace pixolune::ui
