#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
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
    ScopedConfigHome home;
};

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

TEST_F(KalhostTest, LoadShowsTheSettingsAndAMaskedToken) {
    std::ofstream(Settings()) << "[PixolunePlugIn]\nEnabled=1\nImgFolder=/srv/slides/\nnFeeds=2\n";
    const std::string folder = home.Path() + "/config/Software/Torvane/PixolunePlugin";
    ASSERT_EQ(std::system(("mkdir -p -m 700 " + folder).c_str()), 0);
    std::ofstream(folder + "/TokenKAL") << std::string("tok-secret-value-9f3e") << '\0';
    ASSERT_EQ(std::system(("chmod 600 " + folder + "/TokenKAL").c_str()), 0);
    const Outcome outcome = Run("status");
    EXPECT_NE(outcome.output.find("ImgFolder=/srv/slides/, feeds=2, token \xE2\x80\xA6"
                                  "9f3e"),
              std::string::npos)
        << outcome.output;
    EXPECT_EQ(outcome.output.find("tok-secret-value"), std::string::npos);
}

TEST_F(KalhostTest, RunStopsAfterTheGivenTime) {
    const Outcome outcome = Run("run --seconds 0");
    EXPECT_EQ(outcome.status, 0) << outcome.output;
    EXPECT_NE(outcome.output.find("disabled"), std::string::npos);
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
