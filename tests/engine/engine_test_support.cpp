#include "engine_test_support.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace pixolune::test {

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
