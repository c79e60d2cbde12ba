#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "platform/file_system.h"
#include "platform/outcome.h"

namespace pixolune::platform {

// Replaces a whole file so that a crash at any moment leaves either the old
// file or the new one, never a mixture: the bytes go to a temporary file in
// the same folder, which is synced, closed and renamed over the target; the
// folder is synced last so that the rename itself survives a power loss.
// On failure the target is untouched, the temporary file is removed and the
// outcome says what failed and why. Every call goes through `fileSystem`.
[[nodiscard]] Outcome WriteFileAtomically(FileSystem& fileSystem, const std::string& path,
                                          std::string_view contents, mode_t mode);

// The temporary files WriteFileAtomically makes for `path` are named
// "." + file name + ".tmp" + six random characters, in the target's folder.
[[nodiscard]] bool IsAtomicWriteLeftover(std::string_view fileName, std::string_view targetName);

}  // namespace pixolune::platform
