#pragma once

#include <string>

#include "platform/outcome.h"

namespace pixolune::platform {

// Where the plug-in keeps what it tells about itself (not settings, not
// media): $XDG_STATE_HOME/kaleidra, else ~/.local/state/kaleidra. Empty when
// neither variable holds an absolute path.
[[nodiscard]] std::string KaleidraStateFolder();

// The health record of one host variant: "health-NVX.json" for variant 1,
// "health-KAL.json" for every other, named as the token values are. Empty
// when there is no state folder.
[[nodiscard]] std::string HealthRecordPath(int hostVariant);

// Makes `folder` and the folders above it that are missing, each of mode
// 0700, and gives `folder` itself mode 0700 when it already exists.
[[nodiscard]] Outcome MakePrivateFolder(const std::string& folder);

}  // namespace pixolune::platform
