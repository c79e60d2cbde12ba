// A canary token through the real plug-in: a batch with failing requests and
// settings loads and saves, then every place the plug-in writes is searched
// for it. Only the token store itself may hold it.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "engine/list_file.h"
#include "engine/local_names.h"
#include "engine_test_support.h"
#include "kaleidra/kal_plugin_api.h"
#include "plugin_run.h"
#include "tests/support/stub_server.h"

namespace pixolune::test {
namespace {

using namespace std::chrono_literals;

constexpr const char* kCanary = "tok-canary-9b1f3c7d5e";

std::string Media(const std::string& name) {
    return R"({"type":"image","media":")" + name + R"(","caption":"C","user":"Ann"})";
}

std::string CanaryScenario() {
    return std::string(R"({"page_size":1,"tokens":{")") + kCanary +
           R"(":{"username":"canary","full_name":"Canary Bird"}},"feeds":{)"
           R"("feed":[)" +
           Media("f1.jpg") + "," + Media("f2.jpg") +
           R"(],)"
           R"("recent":[)" +
           Media("r1.jpg") +
           R"(],)"
           R"("liked":[)" +
           Media("l1.jpg") + "," + Media("l2.jpg") + R"(]}})";
}

// The files of `folder` and below, except the token store.
std::vector<std::string> WrittenFiles(const std::string& folder, const std::string& tokenStore) {
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
        if (entry.is_regular_file() && entry.path().string() != tokenStore)
            files.push_back(entry.path().string());
    return files;
}

bool ListHolds(const std::string& listFile, size_t entries) {
    LocalFileMap listed;
    return ReadListFile(platform::RealFileSystem(), listFile, listed).status ==
               ListReadStatus::Loaded &&
           listed.size() >= entries;
}

TEST(CanaryToken, AppearsInNoLogLineFileOrSettingOfARunWithFailures) {
    StubServer stub{StubServer::Options{CanaryScenario(), false, "", "", {}}};
    // A 500, a 429 and an error reply that quotes the token back, each once;
    // the liked list then pages to a next_url of the wrong type once.
    stub.SetFault(R"({"path":"/v1/users/self/feed","mode":"status","status":500,"count":1})");
    stub.SetFault(std::string(R"({"path":"/v1/users/self/media/recent","mode":"status",)") +
                  R"("status":200,"count":1,"body":"{\"meta\":{\"code\":400,)" +
                  R"(\"error_type\":\"OAuthAccessTokenException\",\"error_message\":)" +
                  R"(\"The access_token )" + kCanary + R"( is invalid.\"}}"})");
    stub.SetFault(
        R"({"path":"/v1/users/self/media/liked","mode":"status","status":429,"retry_after":1,"count":1})");
    stub.SetFault(
        R"({"path":"/v1/users/self/media/liked","mode":"wrong_types","variant":"next_url_number","count":1})");

    TempDir work, media;
    PluginRunConfig config;
    config.workDir = work.Path();
    config.mediaDir = media.Path();
    config.apiBase = stub.ApiBase();
    config.token = kCanary;
    config.intSettings = {{"nFeeds", 3},       {"Feed1_Type", 2}, {"Feed1_Flg", 1},
                          {"Feed1_MaxP", 100}, {"Feed2_Type", 4}, {"Feed2_Flg", 1},
                          {"Feed2_MaxP", 100}, {"tmUpdate", 0}};
    const std::string listFile = media.File(pixolune::kListFileName);
    config.during = [&listFile](const auto& send) {
        send(KAL_MSG_SAVE_SETTINGS, 0, 0);
        send(KAL_MSG_LOAD_SETTINGS, 0, 0);
        const auto end = std::chrono::steady_clock::now() + 30s;
        while (!ListHolds(listFile, 5) && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(50ms);
        send(KAL_MSG_LOAD_SETTINGS, 0, 0);
        send(KAL_MSG_SAVE_SETTINGS, 0, 0);
    };
    const PluginRunResult run = RunPluginOnce(config);
    ASSERT_TRUE(WIFEXITED(run.exitStatus)) << "status " << run.exitStatus;

    // The run met every failure and still stored everything.
    EXPECT_TRUE(run.Logged("HttpQueryInfo()  error returned by server: 500"));
    EXPECT_TRUE(run.Logged("HttpQueryInfo()  error returned by server: 429"));
    EXPECT_TRUE(run.Logged("QueryFeed: error returned by server: 400"));
    EXPECT_TRUE(run.Logged("QueryFeed: wrong JSON type of pagination.next_url"));
    EXPECT_TRUE(ListHolds(listFile, 5));
    EXPECT_FALSE(run.store.empty());

    for (const std::string& line : run.log)
        EXPECT_EQ(line.find(kCanary), std::string::npos) << "log line: " << line;
    for (const std::string& line : run.store)
        EXPECT_EQ(line.find(kCanary), std::string::npos) << "host setting: " << line;
    const std::string tokenStore = work.Path() + "/Software/Torvane/PixolunePlugin/TokenKAL";
    // The search must be able to find it: the store itself holds it.
    ASSERT_NE(ReadFile(tokenStore).find(kCanary), std::string::npos);
    size_t searched = 0;
    for (const std::string& folder : {media.Path(), work.Path()}) {
        for (const std::string& file : WrittenFiles(folder, tokenStore)) {
            EXPECT_EQ(ReadFile(file).find(kCanary), std::string::npos) << "in " << file;
            ++searched;
        }
    }
    // Five media files, five sidecars and the list file at least.
    EXPECT_GE(searched, 11u);
}

}  // namespace
}  // namespace pixolune::test
