#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

#include "engine/list_file.h"
#include "model/plugin_settings.h"
#include "platform/file_system.h"

namespace pixolune {

// Removes the files whose URLs no feed delivered in this batch (Seen 0), with
// their records: all of them when FeedsSynch is 0, else those older than
// OlderDays × 24 + OlderHours whole hours (or gone already). A name that a
// record kept claims too is not deleted, and a sidecar only when no other
// file of the folder shares it (a photo and a video of one base name, or a
// file of the user's).
// `nowSeconds` is the current time in seconds since 1970. Returns the number
// of records removed. Every file call goes through `fileSystem`.
// The sidecar of a recorded file that is gone (deleted by hand), unless
// another file of the folder shares it: else it would be taken for the user's.
// `usersSidecars` are the user's own and never deleted.
void RemoveSidecarOfGoneFile(platform::FileSystem& fileSystem, const std::string& folder,
                             const std::string& localName,
                             const std::set<std::string>& usersSidecars);

// A file whose time lies more than an hour ahead of `nowSeconds` (stored while
// the clock ran ahead) is young, and is stamped with `nowSeconds` so that its
// age counts from now; `stampedAnew` (when given) tells how many were.
size_t PruneFiles(platform::FileSystem& fileSystem, LocalFileMap& files,
                  const PluginSettings& settings, int64_t nowSeconds,
                  const std::set<std::string>& usersSidecars = {},
                  size_t* stampedAnew = nullptr);

}  // namespace pixolune
