#include "engine_test_support.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace pixolune::test {

ScratchFolder::ScratchFolder() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/engine-test-XXXXXX";
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

ScratchFolder::~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

bool Exists(const std::string& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0;
}

std::vector<std::string> FolderNames(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

void SetAge(const std::string& path, int64_t secondsAgo) {
    const time_t when = std::time(nullptr) - static_cast<time_t>(secondsAgo);
    struct timeval times[2] = {{when, 0}, {when, 0}};
    ::utimes(path.c_str(), times);
}

std::string PatternBytes(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>('a' + (i * 7) % 26);
    return bytes;
}

MediaServer::MediaServer() {
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

MediaServer::~MediaServer() {
    Release();
    server_.stop();
    thread_.join();
}

std::string MediaServer::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void MediaServer::ServeBytes(const std::string& path, size_t size) {
    const std::string body = PatternBytes(size);
    server_.Get(path, [body](const httplib::Request&, httplib::Response& response) {
        response.set_content(body, "image/jpeg");
    });
}

void MediaServer::Stall(std::chrono::milliseconds longest) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, longest, [this] { return released_; });
}

void MediaServer::Release() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        released_ = true;
    }
    changed_.notify_all();
}

void SetFeeds(CFeedEngine& engine, FeedArray feeds) {
    EditFeeds(engine, [&](FeedArray& live) { live = std::move(feeds); });
}

LocalFileMap ListedIn(const std::string& folder) {
    LocalFileMap listed;
    const ListReadResult read =
        ReadListFile(platform::RealFileSystem(), folder + "/" + kListFileName, listed);
    EXPECT_EQ(read.status, ListReadStatus::Loaded) << "the list in " << folder;
    return listed;
}

}  // namespace pixolune::test
