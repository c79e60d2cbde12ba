#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "model/feed.h"
#include "model/plugin_settings.h"

namespace pixolune {

// The values the configuration dialog edits: copies taken on message 5 and
// copied back only when the dialog ends with OK.
struct ConfigurationValues : DialogSettings {
    FeedArray Feeds;
    std::string Token;
};

// Shows the configuration dialog modally on the values; true when it ended with OK.
using ConfigurationDialogRunner =
    std::function<bool(ConfigurationValues& values, int hostVariant, intptr_t ownerWindow)>;

}  // namespace pixolune
