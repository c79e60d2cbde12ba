#pragma once

#include <string>

#include "platform/file_system.h"
#include "platform/outcome.h"

namespace pixolune {

// Ok when media can go to `folder`, else why not: the folder must be set, an
// absolute path, an existing folder, and writable and searchable by this
// process (a failed call's errno is kept, its text alone shown). The worker
// takes a folder only when this is Ok; the settings dialog refuses one by the
// same rule.
[[nodiscard]] platform::Outcome MediaFolderProblem(platform::FileSystem& fileSystem,
                                                   const std::string& folder);

}  // namespace pixolune
