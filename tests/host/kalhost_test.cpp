#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "fake_host.h"
#include "tests/support/stub_server.h"

namespace pixolune::test {
namespace {

struct Outcome {
    int status;
    std::string output;
};

class KalhostTest : public ::testing::Test {
  protected:
    Outcome Run(const std::string& arguments, const std::string& environment = "") {
        const std::string command = environment + " " + std::string(KALHOST_PATH) + " --settings " +
                                    Settings() + " " + arguments + " 2>&1";
        std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
        std::string output;
        char buffer[4096];
        size_t got;
        while ((got = std::fread(buffer, 1, sizeof(buffer), pipe.get())) > 0)
            output.append(buffer, got);
        const int raw = ::pclose(pipe.release());
        return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, output};
    }
    std::string Settings() const { return home.Path() + "/kalhost.ini"; }
    std::string SettingsText() const {
        std::ifstream in(Settings());
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    std::string TokenFolder() const {
        return home.Path() + "/config/Software/Torvane/PixolunePlugin";
    }
    // A token file as a user writes it by hand, with the given mode.
    void WriteTokenFile(const std::string& bytes, std::filesystem::perms mode) {
        std::filesystem::create_directories(TokenFolder());
        for (const std::string& folder : {home.Path() + "/config", home.Path() + "/config/Software",
                                          home.Path() + "/config/Software/Torvane", TokenFolder()})
            std::filesystem::permissions(folder, std::filesystem::perms::owner_all);
        std::ofstream(home.TokenFile("TokenKAL"), std::ios::binary) << bytes;
        std::filesystem::permissions(home.TokenFile("TokenKAL"), mode);
    }
    ScopedConfigHome home;
};

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST_F(KalhostTest, VersionPrintsThePluginsVersionText) {
    const Outcome outcome = Run("version");
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.output, "Pixolune v1.4.0\n");
}

TEST_F(KalhostTest, EnableAndDisablePersistInTheSettingsFile) {
    EXPECT_NE(Run("status").output.find("enabled: no"), std::string::npos);
    ASSERT_EQ(Run("enable").status, 0);
    EXPECT_NE(SettingsText().find("Enabled=1"), std::string::npos);
    EXPECT_NE(SettingsText().find("RebuildList=1"), std::string::npos);
    EXPECT_NE(Run("status").output.find("enabled: yes"), std::string::npos);
    ASSERT_EQ(Run("disable").status, 0);
    EXPECT_NE(Run("status").output.find("enabled: no"), std::string::npos);
}

TEST_F(KalhostTest, LoadShowsTheSettingsAndAMaskedTrimmedToken) {
    std::ofstream(Settings()) << "[PixolunePlugIn]\nEnabled=1\nImgFolder=/srv/slides/\nnFeeds=2\n";
    // Written as `echo` writes it: a line break and no NUL, which is not part of the token.
    WriteTokenFile(" tok-secret-value-9f3e\n",
                   std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    const Outcome outcome = Run("status");
    EXPECT_NE(outcome.output.find("ImgFolder=/srv/slides/, feeds=2, token \xE2\x80\xA6"
                                  "9f3e\n"),
              std::string::npos)
        << outcome.output;
    EXPECT_EQ(outcome.output.find("tok-secret-value"), std::string::npos);
}

TEST_F(KalhostTest, SaveKeepsWhatTheUserWroteAndChangesOnlyChangedLines) {
    const std::string feed = "Feed0_Type=5\nFeed0_Tags=sunset;beach\nFeed0_Flg=1\nFeed0_MaxP=500\n";
    const std::string before =
        "; slides for the hall, do not touch\n"
        "[PixolunePlugIn]\nEnabled=0\ntmUpdate=180\nImgFolder=/srv/slides/\nDwlPhoto=1\n"
        "DwlVideo=0\nRestartKal=1\nKpropTitle=0\nKpropDescr=0\nKpropOwner=0\nOlderDays=7\n"
        "OlderHours=0\nFeedsSynch=0\n# feeds below\nnFeeds=1\n" +
        feed + "UserNote=kept\n\n[Settings]\nRebuildList=1\nTheme=dark\n";
    std::ofstream(Settings()) << before;
    ASSERT_EQ(Run("enable").status, 0);
    // "Enabled" is replaced in place; "AuthPrefix" was missing and joins the end of its section.
    std::string expected = before;
    expected.replace(expected.find("Enabled=0"), 9, "Enabled=1");
    expected.insert(expected.find("UserNote=kept\n") + 14, "AuthPrefix=\n");
    EXPECT_EQ(SettingsText(), expected);
}

TEST_F(KalhostTest, NumbersOutsideTheIntegerRangeAreRefusedNotWrapped) {
    for (const std::string value : {"4294967296", "-2147483649"}) {
        std::ofstream(Settings()) << "[PixolunePlugIn]\nnFeeds=1\nFeed0_Type=1\nFeed0_MaxP="
                                  << value << "\n";
        const Outcome outcome = Run("enable");
        EXPECT_NE(
            outcome.output.find("[kalhost] Feed0_MaxP=" + value + " in section PixolunePlugIn of " +
                                Settings() + " is out of range; the default 100 is used"),
            std::string::npos)
            << outcome.output;
        EXPECT_NE(SettingsText().find("Feed0_MaxP=100\n"), std::string::npos) << SettingsText();
    }
}

TEST_F(KalhostTest, ARefusedTokenFileSurvivesASaveAndTheLogSaysHowToMendIt) {
    const std::string token = std::string("tok-refused-5c2e") + '\0';
    WriteTokenFile(token, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                              std::filesystem::perms::group_read |
                              std::filesystem::perms::others_read);
    Outcome outcome = Run("enable");
    ASSERT_EQ(outcome.status, 0) << outcome.output;
    EXPECT_NE(outcome.output.find("token value TokenKAL not used (readable by others); to use it, "
                                  "run: chmod 600 " +
                                  home.TokenFile("TokenKAL")),
              std::string::npos)
        << outcome.output;
    EXPECT_EQ(Slurp(home.TokenFile("TokenKAL")), token);

    // A link in the token's place is refused as well, and neither it nor its target is replaced.
    const std::string target = home.Path() + "/token-elsewhere";
    std::filesystem::rename(home.TokenFile("TokenKAL"), target);
    std::filesystem::permissions(
        target, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    std::filesystem::create_symlink(target, home.TokenFile("TokenKAL"));
    outcome = Run("enable");
    ASSERT_EQ(outcome.status, 0) << outcome.output;
    EXPECT_NE(outcome.output.find("token value TokenKAL not used (a symbolic link); to use it, "
                                  "replace the link by a plain file of mode 600: " +
                                  home.TokenFile("TokenKAL")),
              std::string::npos)
        << outcome.output;
    EXPECT_TRUE(std::filesystem::is_symlink(home.TokenFile("TokenKAL")));
    EXPECT_EQ(Slurp(target), token);
}

TEST_F(KalhostTest, RunStopsAfterTheGivenTime) {
    const Outcome outcome = Run("run --seconds 0");
    EXPECT_EQ(outcome.status, 0) << outcome.output;
    EXPECT_NE(outcome.output.find("disabled"), std::string::npos);
}

TEST_F(KalhostTest, RunOnceEndsWhenTheWorkerCanNotUseTheFolder) {
    std::ofstream(Settings()) << "[PixolunePlugIn]\nEnabled=1\nImgFolder=" << home.Path()
                              << "/missing\nnFeeds=1\nFeed0_Type=1\nFeed0_Flg=1\n";
    // Without an end of its own, --once would wait out all 60 s.
    const Outcome outcome = Run("run --once --seconds 60", "PIXOLUNE_IDLE_MS=200");
    EXPECT_EQ(outcome.status, 3) << outcome.output;
    EXPECT_NE(outcome.output.find("/missing can't be used (No such file or directory)"),
              std::string::npos)
        << outcome.output;
    EXPECT_NE(outcome.output.find(
                  "no download completed: the worker waits for what the line above names"),
              std::string::npos);
}

TEST_F(KalhostTest, RunOnceWithoutATokenEndsWithItsOwnStatusAndSaysToSignIn) {
    const std::string media = home.Path() + "/media";
    ASSERT_EQ(::mkdir(media.c_str(), 0755), 0);
    std::ofstream(Settings()) << "[PixolunePlugIn]\nEnabled=1\nImgFolder=" << media
                              << "/\nnFeeds=1\nFeed0_Type=1\nFeed0_Flg=1\n";
    const Outcome outcome = Run("run --once --seconds 60", "PIXOLUNE_IDLE_MS=200");
    EXPECT_EQ(outcome.status, 5) << outcome.output;
    EXPECT_NE(outcome.output.find("not signed in to Pixolune"), std::string::npos)
        << outcome.output;
}

TEST_F(KalhostTest, UsageErrorsAndMissingPluginAreReported) {
    EXPECT_EQ(Run("").status, 1);
    EXPECT_EQ(Run("frobnicate").status, 1);
    EXPECT_EQ(Run("--seconds=-3 run").status, 1);
    const Outcome missing = Run("--plugin /nonexistent/libnothing.so version");
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.output.find("can't load the plug-in"), std::string::npos);
    const Outcome help = Run("--help");
    EXPECT_EQ(help.status, 0);
    for (const char* word :
         {"run", "configure", "version", "status", "enable", "disable", "--once"}) {
        EXPECT_NE(help.output.find(word), std::string::npos) << word;
    }
}

TEST_F(KalhostTest, RunOnceFillsTheFolderAndTheTokenLeavesNoTrace) {
    const std::string canary = "tok-canary-4e8d2a61f0";
    StubServer stub(StubServer::Options{
        R"({"tokens":{")" + canary +
            R"(":{"username":"alice"}},"feeds":{"feed":[{"media":"a.jpg","caption":"A"},{"media":"b.jpg"}]}})",
        false,
        "",
        "",
        {}});
    const std::string media = home.Path() + "/media";
    ASSERT_EQ(::mkdir(media.c_str(), 0755), 0);
    std::ofstream(Settings())
        << "[PixolunePlugIn]\nEnabled=1\nImgFolder=" << media
        << "/\nKpropTitle=1\nnFeeds=1\nFeed0_Type=1\nFeed0_Flg=1\nFeed0_MaxP=10\n";
    const std::string folder = home.Path() + "/config/Software/Torvane/PixolunePlugin";
    ASSERT_EQ(std::system(("mkdir -p -m 700 " + folder).c_str()), 0);
    std::ofstream(folder + "/TokenKAL") << canary << '\0';
    ASSERT_EQ(std::system(("chmod 600 " + folder + "/TokenKAL").c_str()), 0);

    const Outcome run = Run("run --once --seconds 60", "PIXOLUNE_API_BASE=" + stub.ApiBase());
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("Download complete"), std::string::npos);
    EXPECT_NE(run.output.find("slide show restart requested (5, 1)"), std::string::npos);
    std::ifstream picture(media + "/b.jpg");
    EXPECT_TRUE(picture.good());
    ASSERT_EQ(Run("enable").status, 0);  // a save rewrites the settings file

    EXPECT_EQ(run.output.find(canary), std::string::npos);
    EXPECT_EQ(SettingsText().find(canary), std::string::npos);
    EXPECT_NE(SettingsText().find("Feed0_Type=1"), std::string::npos);
}

}  // namespace
}  // namespace pixolune::test
