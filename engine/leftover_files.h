#pragma once

#include <string>

#include "platform/file_system.h"

namespace pixolune {

// Removes from `folder` what a killed run left: a part without its note (a
// probe, or a part that can't be resumed) or a note without its part, and
// the atomic writer's temporary list and sidecar files. A part with its note
// waits for its item.
void RemoveLeftoverFiles(platform::FileSystem& fileSystem, const std::string& folder);

}  // namespace pixolune
