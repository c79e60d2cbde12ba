#pragma once

#include <string>

#include "platform/file_system.h"

namespace pixolune::platform {

// Why media cannot go to `folder`, or empty when they can: the folder must be
// set, an absolute path, an existing folder, and writable and searchable by
// this process. The worker takes a folder only when this is empty; the
// settings dialog refuses one by the same rule.
[[nodiscard]] std::string MediaFolderProblem(FileSystem& fileSystem, const std::string& folder);

}  // namespace pixolune::platform
