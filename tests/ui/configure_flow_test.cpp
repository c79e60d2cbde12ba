// Message 5 driven through the application object with a dialog runner that
// applies the main dialog's decisions to scripted control values, as the
// widgets do, so that what OK copies back and what Cancel discards is seen
// from the host's side.
#include <gtest/gtest.h>

#include <fstream>

#include "kaleidra/kal_plugin_api.h"
#include "model/media_folder_rule.h"
#include "plugin/app.h"
#include "tests/support/engine_probe.h"
#include "tests/support/temp_dir.h"
#include "ui/account_status.h"
#include "ui/folder_choice.h"
#include "ui/main_dialog_logic.h"

namespace pixolune::ui {
namespace {

using pixolune::test::FeedsOf;
using pixolune::test::TokenOf;

class ConfigureFlowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(media.Path().empty());
        app.Settings.Enabled = 0;
        app.Settings.ImgFolder = "/old/";
        app.Settings.tmUpdate = 180;
        app.Settings.DwlPhoto = 1;
        app.Settings.KpropDescr = 1;
        app.Engine.SetToken("old-token");
        CPixoluneFeed feed;
        feed.Type = kFeedPopular;
        feed.MaxP = 30;
        app.Engine.Configuration().Change(
            [&](EngineConfiguration::Live& live) { live.Feeds = {feed}; });
    }

    // Runs message 5 with `script` as the user's typing; `answer` is the user's
    // answer to the short-polling question.
    int Configure(std::function<void(MainDialogControls&, AccountState&)> script, bool okPressed,
                  bool answer = true) {
        app.SetConfigurationDialogRunner([=](ConfigurationValues& values, int, intptr_t) {
            MainDialogControls controls = LoadMainControls(values);
            AccountState account = InitialAccountState(values.Token);
            script(controls, account);
            ConfigurationValues edited = values;
            const auto confirm = [&](const std::string&) { return answer; };
            std::array<bool, kFeedRowCount> checked{};
            for (int row = 0; row < kFeedRowCount; ++row) checked[row] = controls.rows[row].checked;
            const MainEnabling enabling =
                ComputeMainEnabling(controls.pluginEnabled, HasToken(account.token), 0, checked);
            const auto folderProblem = [](const std::string& path) {
                return MediaFolderProblem(platform::RealFileSystem(), path);
            };
            if (SaveMainControls(controls, edited, enabling, confirm, folderProblem)) return false;
            if (!okPressed) return false;
            edited.Token = account.token;
            values = edited;
            return true;
        });
        return app.HandleMessage(KAL_MSG_CONFIGURE, 0, 0);
    }

    pixolune::test::TempDir media;
    CPixoluneApp app;
};

TEST_F(ConfigureFlowTest, OkCopiesTheTypedValuesAndTheNewTokenBack) {
    const std::string folder = media.Path() + "/";
    const int result = Configure(
        [&](MainDialogControls& c, AccountState& account) {
            c.pluginEnabled = true;
            c.folder = folder;
            c.minutes = "90";
            c.rows[2].checked = false;
            c.rows[4] = {true, "12"};
            c.tags = "sunset";
            c.videos = true;
            const AddressVerdict login{AddressVerdict::Kind::Authorized, "tok-alice", ""};
            account = AfterAuthorize(login, account, [](const std::string&) {
                          return AccountCheckResult{true, "Alice Example", "alice", "", {}, ""};
                      }).state;
        },
        true);
    EXPECT_EQ(1, result);
    EXPECT_EQ(1, app.HandleMessage(KAL_MSG_SETTINGS_CHANGED, 0, 0));
    EXPECT_EQ(1, app.Settings.Enabled);
    EXPECT_EQ(folder, app.Settings.ImgFolder);
    EXPECT_EQ(90, app.Settings.tmUpdate);
    EXPECT_EQ(1, app.Settings.DwlVideo);
    EXPECT_EQ(1, app.Settings.KpropDescr) << "no control edits it; it passes through";
    EXPECT_EQ("tok-alice", TokenOf(app.Engine));
    ASSERT_EQ(1u, FeedsOf(app.Engine).size());
    EXPECT_EQ(kFeedTagged, FeedsOf(app.Engine)[0].Type);
    EXPECT_EQ(12, FeedsOf(app.Engine)[0].MaxP);
    EXPECT_EQ("sunset", FeedsOf(app.Engine)[0].Tags);
}

TEST_F(ConfigureFlowTest, CancelAfterASuccessfulLoginKeepsTheOldTokenAndEverythingElse) {
    const int result = Configure(
        [&](MainDialogControls& c, AccountState& account) {
            c.folder = media.Path();
            c.minutes = "5";
            account.token = "tok-alice";
        },
        false);
    EXPECT_EQ(0, result);
    EXPECT_EQ(0, app.HandleMessage(KAL_MSG_SETTINGS_CHANGED, 0, 0));
    EXPECT_EQ("old-token", TokenOf(app.Engine));
    EXPECT_EQ("/old/", app.Settings.ImgFolder);
    EXPECT_EQ(180, app.Settings.tmUpdate);
    ASSERT_EQ(1u, FeedsOf(app.Engine).size());
    EXPECT_EQ(kFeedPopular, FeedsOf(app.Engine)[0].Type);
}

class FailedCheckFlowTest : public ConfigureFlowTest,
                            public ::testing::WithParamInterface<AccountCheckFailure> {};

// One 503 while the dialog opens must not sign the plug-in out: only a token
// the service refused is stored empty on OK.
TEST_P(FailedCheckFlowTest, OkStoresAnEmptyTokenOnlyWhenTheServiceRefusedIt) {
    const AccountCheckFailure failure = GetParam();
    const int result = Configure(
        [&](MainDialogControls& c, AccountState& account) {
            c.folder = media.Path();
            account = CheckAccount(account.token, [failure](const std::string&) {
                          return AccountCheckResult{false, "", "", "gone", failure, "detail"};
                      }).state;
        },
        true);
    EXPECT_EQ(1, result);
    EXPECT_EQ(failure == AccountCheckFailure::Refused ? "" : "old-token", TokenOf(app.Engine));
}

INSTANTIATE_TEST_SUITE_P(Failures, FailedCheckFlowTest,
                         ::testing::Values(AccountCheckFailure::Refused,
                                           AccountCheckFailure::ServiceFailed,
                                           AccountCheckFailure::Unreachable));

TEST_F(ConfigureFlowTest, AFileWhereTheFolderShouldBeIsRefused) {
    const std::string file = media.Path() + "/not-a-folder";
    ASSERT_TRUE(std::ofstream(file).put('x'));
    const int result = Configure(
        [&](MainDialogControls& c, AccountState&) {
            c.pluginEnabled = true;
            c.folder = file;
        },
        true);
    EXPECT_EQ(0, result);
    EXPECT_EQ("/old/", app.Settings.ImgFolder);
}

}  // namespace
}  // namespace pixolune::ui
