// kalhost against the stand-in service with a canary token: after a run with
// a failing request, neither its output nor its settings file nor the media
// folder holds the token.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "fake_host.h"
#include "tests/support/stub_server.h"

namespace pixolune::test {
namespace {

constexpr const char* kCanary = "tok-canary-9b1f3c7d5e";

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string RunCommand(const std::string& command, int& status) {
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
    std::string output;
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof(buffer), pipe.get())) > 0)
        output.append(buffer, got);
    const int raw = ::pclose(pipe.release());
    status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return output;
}

TEST(KalhostCanary, TokenIsInNeitherOutputNorSettingsFileNorMediaFolder) {
    ScopedConfigHome home;
    StubServer stub{
        StubServer::Options{std::string(R"({"page_size":1,"tokens":{")") + kCanary +
                                R"(":{"username":"canary"}},"feeds":{"feed":[)"
                                R"({"type":"image","media":"a.jpg","caption":"A","user":"Ann"},)"
                                R"({"type":"image","media":"b.jpg","caption":"B","user":"Ann"}]}})",
                            false,
                            "",
                            "",
                            {}}};
    // The second feed fails, with the token quoted back in the reply.
    stub.SetFault(
        std::string(R"({"path":"/v1/users/self/media/liked","mode":"status","status":500,)") +
        R"("body":"access_token=)" + kCanary + R"("})");

    const std::string tokenFolder = home.Path() + "/config/Software/Torvane/PixolunePlugin";
    std::filesystem::create_directories(tokenFolder);
    std::filesystem::permissions(tokenFolder.substr(0, tokenFolder.rfind('/')),
                                 std::filesystem::perms::owner_all);
    std::filesystem::permissions(tokenFolder, std::filesystem::perms::owner_all);
    std::ofstream(home.TokenFile("TokenKAL"), std::ios::binary) << kCanary << '\0';
    std::filesystem::permissions(
        home.TokenFile("TokenKAL"),
        std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    const std::string media = home.Path() + "/media";
    std::filesystem::create_directories(media);
    const std::string ini = home.Path() + "/kalhost.ini";
    std::ofstream(ini) << "[PixolunePlugIn]\nEnabled=1\nImgFolder=" << media
                       << "/\ntmUpdate=0\nDwlPhoto=1\nDwlVideo=1\nKpropTitle=1\nKpropOwner=1\n"
                          "nFeeds=2\nFeed0_Type=1\nFeed0_Flg=1\nFeed0_MaxP=10\n"
                          "Feed1_Type=4\nFeed1_Flg=1\nFeed1_MaxP=10\n";

    int status = -1;
    const std::string output =
        RunCommand("PIXOLUNE_API_BASE=" + stub.ApiBase() + " PIXOLUNE_IDLE_MS=100 " + KALHOST_PATH +
                       " --settings " + ini + " run --once --seconds 30 2>&1",
                   status);
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("HttpQueryInfo()  error returned by server: 500"), std::string::npos)
        << output;
    EXPECT_TRUE(std::filesystem::exists(media + "/a.jpg")) << output;
    EXPECT_EQ(output.find(kCanary), std::string::npos) << output;
    ASSERT_NE(Slurp(ini).find("nFeeds=2"), std::string::npos);
    EXPECT_EQ(Slurp(ini).find(kCanary), std::string::npos) << Slurp(ini);
    for (const auto& entry : std::filesystem::directory_iterator(media))
        EXPECT_EQ(Slurp(entry.path()).find(kCanary), std::string::npos) << entry.path();
    // The search can find it where it belongs.
    EXPECT_NE(Slurp(home.TokenFile("TokenKAL")).find(kCanary), std::string::npos);
}

}  // namespace
}  // namespace pixolune::test
