#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/feed_engine.h"
#include "engine/list_file.h"
#include "tests/support/engine_probe.h"
#include "tests/support/loopback_server.h"
#include "tests/support/temp_dir.h"

namespace pixolune::test {

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
bool Exists(const std::string& path);
// The names in a folder, sorted, without "." and "..".
std::vector<std::string> FolderNames(const std::string& folder);
// Sets a file's modification time to `secondsAgo` before now.
void SetAge(const std::string& path, int64_t secondsAgo);

// The engine's configured feeds, replaced, read or edited as the host's thread does it.
void SetFeeds(CFeedEngine& engine, FeedArray feeds);
template <typename Edit>
void EditFeeds(CFeedEngine& engine, Edit&& edit) {
    engine.Configuration().Change([&](EngineConfiguration::Live& live) { edit(live.Feeds); });
}

// The records of the list file in `folder`; a failure when it does not load.
[[nodiscard]] LocalFileMap ListedIn(const std::string& folder);

}  // namespace pixolune::test
