#pragma once

// The values the worker shares, read as the host's thread reads them.

#include <string>

#include "engine/feed_engine.h"

namespace pixolune::test {

[[nodiscard]] inline std::string TokenOf(const CFeedEngine& engine) {
    return engine.Configuration().Read().token;
}

[[nodiscard]] inline FeedArray FeedsOf(const CFeedEngine& engine) {
    return engine.Configuration().Inspect([](const EngineConfiguration::View& view) {
        FeedArray copy = view.Feeds;
        // A copied feed starts its own retry count; the test wants the live one's.
        for (size_t i = 0; i < copy.size(); ++i) copy[i].Retries = view.Feeds[i].Retries;
        return copy;
    });
}

}  // namespace pixolune::test
