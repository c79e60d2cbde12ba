#include "plugin/app.h"

#include <gtest/gtest.h>

#include "fake_host.h"
#include "model/host_link.h"
#include "tests/support/engine_probe.h"

namespace pixolune::test {
namespace {

// The application object linked directly, with a scripted dialog in place of the real one.
class ConfigureTest : public ::testing::Test {
  protected:
    void SetUp() override {
        app.HandleMessage(KAL_MSG_SET_CALLBACK, host.CallbackParam(), 0);
        host.SetValue("PixolunePlugIn", "nFeeds", 1);
        host.SetValue("PixolunePlugIn", "Feed0_Type", 2);
        host.SetValue("PixolunePlugIn", "Feed0_Flg", 1);
        app.HandleMessage(KAL_MSG_LOAD_SETTINGS, 0, 0);
        app.Engine.SetToken("tok-old");
        app.Engine.Configuration().Change(
            [](EngineConfiguration::Live& live) { live.Feeds[0].Retries = 4; });
    }
    void TearDown() override { SetHostCallback(nullptr); }

    ScopedConfigHome home;
    FakeHost host;
    CPixoluneApp app;
};

TEST_F(ConfigureTest, OkCopiesEveryValueBackAndMarksSettingsChanged) {
    app.SetConfigurationDialogRunner([](ConfigurationValues& v, int, intptr_t) {
        EXPECT_EQ(v.Token, "tok-old");
        EXPECT_EQ(v.tmUpdate, 180);
        EXPECT_EQ(v.Feeds.size(), 1u);
        v.Enabled = 1;
        v.tmUpdate = 75;
        v.ImgFolder = "/srv/slides/";
        v.FeedsSynch = -1;
        v.AuthPrefix = "by";
        v.Feeds.assign(2, CPixoluneFeed{});
        v.Feeds[1].Type = 5;
        v.Feeds[1].Tags = "sunset";
        v.Token = "tok-new";
        return true;
    });
    EXPECT_EQ(app.HandleMessage(KAL_MSG_CONFIGURE, 0, 0), 1);
    EXPECT_EQ(app.HandleMessage(KAL_MSG_SETTINGS_CHANGED, 0, 0), 1);
    EXPECT_EQ(app.Settings.Enabled, 1);
    EXPECT_EQ(app.Settings.tmUpdate, 75);
    EXPECT_EQ(app.Settings.ImgFolder, "/srv/slides/");
    EXPECT_EQ(app.Settings.FeedsSynch, -1);
    EXPECT_EQ(app.Settings.AuthPrefix, "by");
    EXPECT_EQ(TokenOf(app.Engine), "tok-new");
    ASSERT_EQ(FeedsOf(app.Engine).size(), 2u);
    EXPECT_EQ(FeedsOf(app.Engine)[1].Tags, "sunset");
    EXPECT_EQ(FeedsOf(app.Engine)[0].Retries, 4) << "an existing entry keeps its retry count";

    app.HandleMessage(KAL_MSG_SAVE_SETTINGS, 0, 0);
    EXPECT_EQ(app.HandleMessage(KAL_MSG_SETTINGS_CHANGED, 0, 0), 0);
}

TEST_F(ConfigureTest, CancelDiscardsEverythingAndKeepsSettingsChanged) {
    app.SetConfigurationDialogRunner([](ConfigurationValues& v, int, intptr_t) {
        v.Enabled = 1;
        v.Token = "tok-from-authorize";
        v.Feeds.clear();
        return false;
    });
    EXPECT_EQ(app.HandleMessage(KAL_MSG_CONFIGURE, 0, 0), 0);
    EXPECT_EQ(app.HandleMessage(KAL_MSG_SETTINGS_CHANGED, 0, 0), 0);
    EXPECT_EQ(app.Settings.Enabled, 0);
    EXPECT_EQ(TokenOf(app.Engine), "tok-old");
    EXPECT_EQ(FeedsOf(app.Engine).size(), 1u);
}

TEST_F(ConfigureTest, DialogSeesTheHostVariantAndOwnerWindow) {
    app.HandleMessage(KAL_MSG_HOST_VARIANT, 1, 0);
    int seenVariant = -1;
    intptr_t seenOwner = 0;
    app.SetConfigurationDialogRunner([&](ConfigurationValues&, int variant, intptr_t owner) {
        seenVariant = variant;
        seenOwner = owner;
        return false;
    });
    app.HandleMessage(KAL_MSG_CONFIGURE, 0x1234, 0);
    EXPECT_EQ(seenVariant, 1);
    EXPECT_EQ(seenOwner, 0x1234);
}

TEST_F(ConfigureTest, WithoutADialogConfigureChangesNothing) {
    EXPECT_EQ(app.HandleMessage(KAL_MSG_CONFIGURE, 0, 0), 0);
    EXPECT_EQ(app.HandleMessage(KAL_MSG_SETTINGS_CHANGED, 0, 0), 0);
}

TEST_F(ConfigureTest, LoadAfterConfigureClearsSettingsChanged) {
    app.SetConfigurationDialogRunner([](ConfigurationValues&, int, intptr_t) { return true; });
    app.HandleMessage(KAL_MSG_CONFIGURE, 0, 0);
    ASSERT_EQ(app.HandleMessage(KAL_MSG_SETTINGS_CHANGED, 0, 0), 1);
    app.HandleMessage(KAL_MSG_LOAD_SETTINGS, 0, 0);
    EXPECT_EQ(app.HandleMessage(KAL_MSG_SETTINGS_CHANGED, 0, 0), 0);
}

TEST(FeedCopyTest, CopyingAnArrayKeepsEachTargetsRetriesAndCopiesTheRest) {
    FeedArray target(1);
    target[0].Retries = 9;
    FeedArray source(3);
    source[0].Type = 4;
    source[0].LastTm = 77;
    source[0].Retries = 1;
    source[0].Items.push_back({"caption", "http://x/a.jpg", "owner"});
    source[2].Retries = 5;
    CopyFeedArray(target, source);
    ASSERT_EQ(target.size(), 3u);
    EXPECT_EQ(target[0].Type, 4);
    EXPECT_EQ(target[0].LastTm, 77u);
    EXPECT_EQ(target[0].Items.size(), 1u);
    EXPECT_EQ(target[0].Retries, 9);
    EXPECT_EQ(target[2].Retries, 0) << "a new entry starts with no retries";
    CopyFeedArray(target, target);
    EXPECT_EQ(target.size(), 3u);
}

}  // namespace
}  // namespace pixolune::test
