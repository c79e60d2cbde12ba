#include "engine/engine_configuration.h"

#include <algorithm>
#include <utility>

namespace pixolune {
namespace {

// The fields a query needs, without the items of the last query.
CPixoluneFeed QueryCopy(const CPixoluneFeed& feed) {
    CPixoluneFeed copy;
    copy.Type = feed.Type;
    copy.Tags = feed.Tags;
    copy.MaxP = feed.MaxP;
    copy.Flg = feed.Flg;
    copy.LastTm = feed.LastTm;
    copy.Retries = feed.Retries;
    return copy;
}

bool IsSameFeed(const CPixoluneFeed& a, const CPixoluneFeed& b) {
    return a.Type == b.Type && a.Tags == b.Tags;
}

}  // namespace

EngineConfiguration::Snapshot EngineConfiguration::Read() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return Snapshot{settings_, Token, tokenGeneration_};
}

PluginSettings EngineConfiguration::Settings() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return settings_;
}

bool EngineConfiguration::HasFeeds() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return !Feeds.empty();
}

std::optional<CPixoluneFeed> EngineConfiguration::FeedToQuery(size_t index) const {
    std::lock_guard<std::mutex> guard(mutex_);
    if (index >= Feeds.size()) return std::nullopt;
    return QueryCopy(Feeds[index]);
}

bool EngineConfiguration::StoreFeedResult(size_t index, const CPixoluneFeed& asked,
                                          std::vector<CPixoluneItem> items, bool succeeded,
                                          uint32_t nowTick) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (index >= Feeds.size() || !IsSameFeed(Feeds[index], asked)) return false;
    CPixoluneFeed& live = Feeds[index];
    if (!succeeded) {
        ++live.Retries;
        return true;
    }
    live.Items = std::move(items);
    live.Retries = 0;
    live.LastTm = std::max<uint32_t>(nowTick, 1u);  // 0 means never
    live.Flg |= kFeedQueriedFlag;
    return true;
}

std::vector<EngineConfiguration::EnabledFeed> EngineConfiguration::EnabledFeeds() const {
    std::lock_guard<std::mutex> guard(mutex_);
    std::vector<EnabledFeed> enabled;
    for (size_t i = 0; i < Feeds.size(); ++i)
        if (Feeds[i].IsEnabled()) enabled.push_back({static_cast<int>(i), QueryCopy(Feeds[i])});
    return enabled;
}

void EngineConfiguration::MakeFeedsDue() {
    std::lock_guard<std::mutex> guard(mutex_);
    for (CPixoluneFeed& feed : Feeds) feed.LastTm = 0;
}

}  // namespace pixolune
