#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/list_file.h"
#include "platform/file_system.h"
#include "model/plugin_settings.h"

namespace pixolune {

// Removes the files whose URLs no feed delivered in this worker run (Seen 0),
// with their sidecars and records: all of them when FeedsSynch is 0, else
// those older than OlderDays × 24 + OlderHours whole hours (or gone already).
// `nowSeconds` is the current time in seconds since 1970. Returns the number
// of records removed. Every file call goes through `fileSystem`.
size_t PruneFiles(platform::FileSystem& fileSystem, LocalFileMap& files,
                  const PluginSettings& settings, int64_t nowSeconds);

}  // namespace pixolune
