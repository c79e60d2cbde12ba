#pragma once

#include <set>
#include <string>

#include "platform/file_system.h"
#include "platform/outcome.h"

namespace pixolune {

// The user's own sidecars that sit beside files of ours ("feed-7.kprop" the
// user wrote before our feed-7.jpg came): never replaced, and never deleted
// with our file. The list file's format has no room for them, so they are
// kept in a small file of their own beside it: a header line, then one
// sidecar name per line (kUsersSidecarsFileName).
inline constexpr const char* kUsersSidecarsHeader = "[Kaleidra Pixolune Users Sidecars]";

// The names the file at `path` holds; none when it is missing or not ours.
[[nodiscard]] std::set<std::string> ReadUsersSidecars(platform::FileSystem& fileSystem,
                                                      const std::string& path);
// Adds one name, before our file takes its name beside the sidecar, so that a
// kill after the rename can't make the sidecar look like ours.
[[nodiscard]] bool NoteUsersSidecar(platform::FileSystem& fileSystem, const std::string& path,
                                    const std::string& sidecarName);
// Replaces the file with `names` (atomically), or removes it when there are none.
[[nodiscard]] platform::Outcome WriteUsersSidecars(platform::FileSystem& fileSystem,
                                                   const std::string& path,
                                                   const std::set<std::string>& names);

}  // namespace pixolune
