#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "fake_host.h"
#include "model/host_link.h"
#include "model/settings_table.h"
#include "platform/user_registry.h"
#include "plugin/app.h"

namespace pixolune::test {
namespace {

const char* const kSection = "PixolunePlugIn";
const char* const kTokenKey = "Software\\Torvane\\PixolunePlugin";

// The application object linked directly, talking to `host`, for what only the
// dialog can do: its OK sets SettingsChanged and may clear the token.
class LinkedApp {
  public:
    LinkedApp(const FakeHost& host, ConfigurationDialogRunner dialog) {
        app.SetConfigurationDialogRunner(std::move(dialog));
        app.HandleMessage(KAL_MSG_SET_CALLBACK, host.CallbackParam(), 0);
        app.HandleMessage(KAL_MSG_LOAD_SETTINGS, 0, 0);
    }
    ~LinkedApp() { SetHostCallback(nullptr); }
    int Send(int code, intptr_t param1 = 0, intptr_t param2 = 0) {
        return app.HandleMessage(code, param1, param2);
    }
    CPixoluneApp app;
};

bool ClickOk(ConfigurationValues&, int, intptr_t) {
    return true;
}

std::vector<std::string> SettingKeys() {
    std::vector<std::string> keys;
    for (const SettingRow& row : kSettings) keys.push_back(std::string(kSection) + "/" + row.key);
    return keys;
}

// Every feed's keys after "nFeeds", as "section/key".
std::vector<std::string> FeedKeys(int count) {
    std::vector<std::string> keys;
    for (int i = 0; i < count; ++i) {
        for (const FeedSettingRow& row : kFeedSettings) {
            keys.push_back(std::string(kSection) + "/Feed" + std::to_string(i) + "_" + row.suffix);
        }
    }
    return keys;
}

std::string LoadDefault(const SettingRow& row) {
    return row.text ? "" : std::to_string(row.loadDefault);
}

// A stored value other than the load default that every load takes as it is.
std::string SomeStoredValue(const SettingRow& row) {
    if (row.text) return std::string("value of ") + row.key;
    return std::to_string(row.loadDefault == row.range.highest ? row.range.lowest
                                                               : row.range.highest);
}

const char* KindName(SettingKind kind) {
    switch (kind) {
        case SettingKind::Flag:
            return "flag";
        case SettingKind::Number:
            return "number";
        case SettingKind::Choice:
            return "choice";
        case SettingKind::Text:
            return "text";
    }
    return "?";
}

const char* DialogName(SettingDialog dialog) {
    switch (dialog) {
        case SettingDialog::None:
            return "none";
        case SettingDialog::Main:
            return "main";
        case SettingDialog::Download:
            return "download";
    }
    return "?";
}

// A text of the table as the golden file writes it: "-" when there is none.
std::string Shown(const std::string& text) {
    return text.empty() ? "-" : text;
}

// The tables as the golden file writes them, one row a line.
std::string DescribeTables() {
    std::ostringstream out;
    for (const SettingRow& row : kSettings) {
        out << row.key << " | " << KindName(row.kind) << " | ";
        if (row.text) {
            out << "\"\" | -";
        } else {
            out << row.loadDefault << " | " << row.range.lowest << " to " << row.range.highest
                << (row.range.stored == StoredRange::Refused ? ", also on load" : "");
        }
        out << " | " << DialogName(row.dialog) << " | " << Shown(row.texts.label) << " | "
            << Shown(row.texts.unit) << "\n";
    }
    for (const FeedSettingRow& row : kFeedSettings) {
        out << "Feed%d_" << row.suffix << " | "
            << (row.text ? "text | \"\"" : "number | " + std::to_string(row.loadDefault)) << "\n";
    }
    return out.str();
}

std::string GoldenTables() {
    std::ifstream file(SETTINGS_TABLE_GOLDEN);
    std::string text, line;
    while (std::getline(file, line))
        if (!line.empty() && line[0] != '#') text += line + "\n";
    return text;
}

// The keys, their defaults and order are what hosts have stored for years:
// a change to them is deliberate, made in the golden file too.
TEST(SettingsTableTest, KeysDefaultsRangesAndLabelsAreTheGoldenOnes) {
    EXPECT_EQ(GoldenTables(), DescribeTables());
}

void StoreFeed(FakeHost& host, int index, int type, const std::string& tags, int flg, int maxP) {
    const std::string prefix = "Feed" + std::to_string(index) + "_";
    host.SetValue(kSection, prefix + "Type", type);
    host.SetValue(kSection, prefix + "Tags", tags);
    host.SetValue(kSection, prefix + "Flg", flg);
    host.SetValue(kSection, prefix + "MaxP", maxP);
}

class SettingsTest : public ::testing::Test {
  protected:
    ScopedConfigHome home;
    FakeHost host;
    PluginLibrary plugin;
};

TEST_F(SettingsTest, LoadReadsEveryKeyInOrderWithItsDefault) {
    host.SetValue(kSection, "nFeeds", 2);
    plugin.Open(host);
    std::vector<std::string> expected = SettingKeys();
    expected.push_back(std::string(kSection) + "/nFeeds");
    for (const std::string& key : FeedKeys(2)) expected.push_back(key);
    EXPECT_EQ(host.Reads(), expected);
    std::vector<std::string> defaults;
    for (const SettingRow& row : kSettings) defaults.push_back(LoadDefault(row));
    defaults.push_back("0");
    for (int i = 0; i < 2; ++i)
        for (const FeedSettingRow& row : kFeedSettings)
            defaults.push_back(row.text ? "" : std::to_string(row.loadDefault));
    EXPECT_EQ(host.ReadDefaults(), defaults);
}

TEST_F(SettingsTest, FirstLoadFromAnEmptyStoreSavesTheLoadDefaults) {
    plugin.Open(host);
    plugin.Send(6);
    std::map<std::pair<std::string, std::string>, std::string> expected{
        {{kSection, "nFeeds"}, "0"}, {{"Settings", "RebuildList"}, "1"}};
    for (const SettingRow& row : kSettings) expected[{kSection, row.key}] = LoadDefault(row);
    EXPECT_EQ(host.Store(), expected);
    const auto token =
        platform::ReadRegistryString("Software\\Torvane\\PixolunePlugin", "TokenKAL");
    EXPECT_EQ(token.status, platform::RegistryReadStatus::Ok);
    EXPECT_EQ(token.text, "");
}

TEST_F(SettingsTest, SaveWritesEveryKeyInOrderAndEndsWithRebuildList) {
    host.SetValue(kSection, "nFeeds", 3);
    plugin.Open(host);
    host.ClearTrace();
    EXPECT_EQ(plugin.Send(6), 1);
    std::vector<std::string> expected = SettingKeys();
    expected.push_back(std::string(kSection) + "/nFeeds");
    for (const std::string& key : FeedKeys(3)) expected.push_back(key);
    expected.push_back("Settings/RebuildList");
    EXPECT_EQ(host.Writes(), expected);
}

TEST_F(SettingsTest, EverySettingFeedAndTokenSurvivesSaveAndLoad) {
    for (const SettingRow& row : kSettings) host.SetValue(kSection, row.key, SomeStoredValue(row));
    host.SetValue(kSection, "nFeeds", 2);
    StoreFeed(host, 0, 2, "", 0x10001, 250);
    StoreFeed(host, 1, 5, " sunset, beach ,", 0, 999999);
    ASSERT_TRUE(platform::WriteRegistryString("Software\\Torvane\\PixolunePlugin", "TokenKAL",
                                              "tok-round-trip-0001"));
    plugin.Open(host);
    const auto before = host.Store();

    // Save into a clean store and a clean token, then load that back and save again.
    for (const auto& entry : before) host.Erase(entry.first.first, entry.first.second);
    ASSERT_TRUE(
        platform::WriteRegistryString("Software\\Torvane\\PixolunePlugin", "TokenKAL", "x"));
    plugin.Send(6);
    auto saved = host.Store();
    EXPECT_EQ(saved[std::make_pair(std::string("Settings"), std::string("RebuildList"))], "1");
    saved.erase({"Settings", "RebuildList"});
    EXPECT_EQ(saved, before);
    EXPECT_EQ(platform::ReadRegistryString("Software\\Torvane\\PixolunePlugin", "TokenKAL").text,
              "tok-round-trip-0001");
}

TEST_F(SettingsTest, PoliteKeysOutOfRangeTakeTheirDefaultWithOneLineEach) {
    host.SetValue(kSection, "MaxRateKB", -5);
    host.SetValue(kSection, "QuietFrom", 24);
    host.SetValue(kSection, "QuietTo", 23);  // in range: kept
    plugin.Open(host);
    plugin.Send(6);
    EXPECT_EQ(host.Value(kSection, "MaxRateKB"), "0");
    EXPECT_EQ(host.Value(kSection, "QuietFrom"), "0");
    EXPECT_EQ(host.Value(kSection, "QuietTo"), "23");
    int rangeLines = 0;
    for (const std::string& line : host.LogLines())
        if (line.find("is out of range") != std::string::npos) ++rangeLines;
    EXPECT_EQ(rangeLines, 2);
    EXPECT_TRUE(host.HasLogContaining("LoadSettings: QuietFrom=24 is out of range"));
}

TEST_F(SettingsTest, SecondHostForcesPhotosOnlyAndUsesItsOwnTokenValue) {
    host.SetValue(kSection, "DwlPhoto", 0);
    host.SetValue(kSection, "DwlVideo", 1);
    ASSERT_TRUE(
        platform::WriteRegistryString("Software\\Torvane\\PixolunePlugin", "TokenNVX", "nvx"));
    ASSERT_TRUE(
        platform::WriteRegistryString("Software\\Torvane\\PixolunePlugin", "TokenKAL", "kal"));
    plugin.Open(host, 1);
    plugin.Send(6);
    EXPECT_EQ(host.Value(kSection, "DwlPhoto"), "1");
    EXPECT_EQ(host.Value(kSection, "DwlVideo"), "0");

    // Switching the variant between two loads reads the other token.
    plugin.Send(28, 0);
    plugin.Send(7);
    ASSERT_TRUE(platform::WriteRegistryString("Software\\Torvane\\PixolunePlugin", "TokenNVX", ""));
    plugin.Send(28, 1);
    plugin.Send(6);
    EXPECT_EQ(platform::ReadRegistryString("Software\\Torvane\\PixolunePlugin", "TokenNVX").text,
              "kal");
}

TEST_F(SettingsTest, MissingFeedKeysLoadAsDisabledWithTheDefaultLimit) {
    host.SetValue(kSection, "nFeeds", 1);
    host.SetValue(kSection, "Feed0_Type", 3);
    plugin.Open(host);
    plugin.Send(6);
    EXPECT_EQ(host.Value(kSection, "Feed0_Type"), "3");
    EXPECT_EQ(host.Value(kSection, "Feed0_MaxP"), "100");
    EXPECT_EQ(host.Value(kSection, "Feed0_Flg"), "0");
    EXPECT_EQ(host.Value(kSection, "Feed0_Tags"), "");
}

TEST_F(SettingsTest, ShrinkingTheFeedListLeavesOldKeysUnread) {
    host.SetValue(kSection, "nFeeds", 3);
    for (int i = 0; i < 3; ++i) StoreFeed(host, i, i + 1, "", 1, 10 + i);
    plugin.Open(host);
    host.SetValue(kSection, "nFeeds", 1);
    host.ClearTrace();
    plugin.Send(7);
    plugin.Send(6);
    EXPECT_EQ(host.Value(kSection, "nFeeds"), "1");
    EXPECT_EQ(host.Value(kSection, "Feed2_MaxP"), "12") << "keys beyond nFeeds are left alone";
    for (const std::string& key : host.Reads()) EXPECT_EQ(key.find("Feed1_"), std::string::npos);
}

TEST_F(SettingsTest, DamagedFeedCountsAreBounded) {
    host.SetValue(kSection, "nFeeds", -3);
    plugin.Open(host);
    plugin.Send(6);
    EXPECT_EQ(host.Value(kSection, "nFeeds"), "0");
    EXPECT_TRUE(host.HasLogContaining("nFeeds=-3"));

    host.SetValue(kSection, "nFeeds", 2000000000);
    plugin.Send(7);
    plugin.Send(6);
    EXPECT_EQ(host.Value(kSection, "nFeeds"), "1000");
}

TEST_F(SettingsTest, UntouchedRequestsGiveZeroAndEmptyTextNotTheDefaults) {
    host.SetAnswerReads(false);
    plugin.Open(host);
    host.SetAnswerReads(true);
    plugin.Send(6);
    EXPECT_EQ(host.Value(kSection, "tmUpdate"), "0");
    EXPECT_EQ(host.Value(kSection, "DwlPhoto"), "0");
    EXPECT_EQ(host.Value(kSection, "OlderDays"), "0");
    EXPECT_EQ(host.Value(kSection, "ImgFolder"), "");
}

TEST_F(SettingsTest, LongTextsComeBackWhole) {
    const std::string folder = "/media/" + std::string(1500, 'f');
    host.SetValue(kSection, "ImgFolder", folder);
    plugin.Open(host);
    plugin.Send(6);
    EXPECT_EQ(host.Value(kSection, "ImgFolder"), folder);
}

TEST_F(SettingsTest, SettingsChangedFollowsLoadAndSave) {
    LinkedApp linked(host, ClickOk);
    EXPECT_EQ(linked.Send(8), 0);
    ASSERT_EQ(linked.Send(5), 1);
    EXPECT_EQ(linked.Send(8), 1);
    linked.Send(40, 1, 1);
    EXPECT_EQ(linked.Send(8), 1) << "message 40 leaves the flag alone";
    linked.Send(6);
    EXPECT_EQ(linked.Send(8), 0);
    linked.Send(5);
    linked.Send(7);
    EXPECT_EQ(linked.Send(8), 0);
}

TEST_F(SettingsTest, TokenReadableByOthersIsRefusedLeftAsItIsAndNeverLogged) {
    const std::string secret = "tok-canary-7f3a9b2c";
    ASSERT_TRUE(platform::WriteRegistryString(kTokenKey, "TokenKAL", secret));
    ASSERT_EQ(::chmod(home.TokenFile("TokenKAL").c_str(), 0644), 0);
    plugin.Open(host);
    EXPECT_TRUE(host.HasLogContaining("chmod 600 " + home.TokenFile("TokenKAL")));
    plugin.Send(6);  // the refused token was never loaded: the save must not wipe it
    struct stat info {};
    ASSERT_EQ(::stat(home.TokenFile("TokenKAL").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);
    ASSERT_EQ(::chmod(home.TokenFile("TokenKAL").c_str(), 0600), 0);
    EXPECT_EQ(platform::ReadRegistryString(kTokenKey, "TokenKAL").text, secret);
    for (const std::string& line : host.LogLines()) EXPECT_EQ(line.find(secret), std::string::npos);
}

TEST_F(SettingsTest, ATokenClearedInTheDialogIsStoredEmpty) {
    ASSERT_TRUE(platform::WriteRegistryString(kTokenKey, "TokenKAL", "tok-to-forget"));
    LinkedApp linked(host, [](ConfigurationValues& values, int, intptr_t) {
        values.Token.clear();
        return true;
    });
    ASSERT_EQ(linked.Send(5), 1);
    linked.Send(6);
    const platform::RegistryRead stored = platform::ReadRegistryString(kTokenKey, "TokenKAL");
    EXPECT_EQ(stored.status, platform::RegistryReadStatus::Ok);
    EXPECT_EQ(stored.text, "");
}

}  // namespace
}  // namespace pixolune::test
