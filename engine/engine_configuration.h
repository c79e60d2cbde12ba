#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "model/feed.h"
#include "model/plugin_settings.h"

namespace pixolune {

// What the host's thread replaces and the worker reads: the settings, the
// configured feeds and the access token. Only this class takes their lock;
// the worker works on copies and writes a feed's schedule back by index.
class EngineConfiguration {
  public:
    // The live values, as an Access call sees them while it holds the lock.
    struct Live {
        PluginSettings& Settings;
        FeedArray& Feeds;
        std::string& Token;  // empty: not authorized
    };
    // The same values, read only.
    struct View {
        const PluginSettings& Settings;
        const FeedArray& Feeds;
        const std::string& Token;
    };
    // What one pass of the worker reads at its start.
    struct Snapshot {
        PluginSettings settings;
        std::string token;
        uint64_t tokenGeneration = 0;  // a new one whenever the token's text changes
    };
    // A feed the worker may read, with its place in the array.
    struct EnabledFeed {
        int index = 0;
        CPixoluneFeed feed;  // without its items
    };

    // The settings record belongs to the application object and must outlive this.
    explicit EngineConfiguration(PluginSettings& settings) : settings_(settings) {}
    EngineConfiguration(const EngineConfiguration&) = delete;
    EngineConfiguration& operator=(const EngineConfiguration&) = delete;

    [[nodiscard]] Snapshot Read() const;
    [[nodiscard]] PluginSettings Settings() const;
    [[nodiscard]] bool HasFeeds() const;

    // Runs `access` on the live values under the lock and returns its result.
    // A token whose text `access` changed starts a new generation, which lifts
    // the hold on a refused token; the same text again does not.
    template <typename Access>
    auto Change(Access&& access) {
        std::lock_guard<std::mutex> guard(mutex_);
        const std::string tokenBefore = Token;
        Live live{settings_, Feeds, Token};
        if constexpr (std::is_void_v<decltype(access(live))>) {
            access(live);
            if (Token != tokenBefore) ++tokenGeneration_;
        } else {
            auto result = access(live);
            if (Token != tokenBefore) ++tokenGeneration_;
            return result;
        }
    }
    // Runs `access` on the live values, read only, under the lock.
    template <typename Access>
    auto Inspect(Access&& access) const {
        std::lock_guard<std::mutex> guard(mutex_);
        const View view{settings_, Feeds, Token};
        return access(view);
    }

    // The worker's side.
    // A copy of feed `index` for a query (no items); none past the end.
    [[nodiscard]] std::optional<CPixoluneFeed> FeedToQuery(size_t index) const;
    // Writes a query's result into feed `index`, at tick `nowTick`; false when
    // the feed was replaced meanwhile and the result belongs to no feed any more.
    [[nodiscard]] bool StoreFeedResult(size_t index, const CPixoluneFeed& asked,
                                       std::vector<CPixoluneItem> items, bool succeeded,
                                       uint32_t nowTick);
    [[nodiscard]] std::vector<EnabledFeed> EnabledFeeds() const;
    // Every feed is read at the next pass, as at the worker's start.
    void MakeFeedsDue();

  private:
    mutable std::mutex mutex_;  // guards settings_, Feeds, Token and tokenGeneration_
    PluginSettings& settings_;
    FeedArray Feeds;
    std::string Token;
    uint64_t tokenGeneration_ = 0;
};

}  // namespace pixolune
