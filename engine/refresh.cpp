#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/feed_engine.h"
#include "engine/list_file.h"
#include "platform/tick_count.h"
#include "model/host_link.h"

namespace pixolune {
namespace {

// A refused token is tried again this often: a token that has come back to
// life is noticed, and a service that refuses it is not asked every pass.
constexpr uint32_t kRefusedTokenRetryMs = 60u * 60u * 1000u;
constexpr uint32_t kMsPerSecond = 1000u;
constexpr uint32_t kMsPerMinute = 60u * kMsPerSecond;
// However long a server asks us to wait, a feed is tried again within a day.
constexpr uint32_t kLongestRetryAfterSeconds = 24u * 60u * 60u;

std::string FeedKey(const CPixoluneFeed& feed) {
    return std::to_string(feed.Type) + "\n" + feed.Tags;
}

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

std::vector<std::string> UrlsOf(const std::vector<CPixoluneItem>& items) {
    std::vector<std::string> urls;
    urls.reserve(items.size());
    for (const CPixoluneItem& item : items) urls.push_back(item.Url);
    return urls;
}

size_t MarkSeen(LocalFileMap& files, const std::vector<std::string>& urls) {
    size_t marked = 0;
    for (const std::string& url : urls) {
        const auto record = files.find(url);
        if (record == files.end()) continue;
        record->second.Seen = 1;
        ++marked;
    }
    return marked;
}

bool IsDue(const CPixoluneFeed& feed, int32_t tmUpdate, uint32_t now) {
    if (feed.LastTm == 0) return true;
    // 0 minutes switches the periodic queries off: each feed is read once per run.
    if (tmUpdate == 0) return false;
    const uint32_t limitMs = static_cast<uint32_t>(tmUpdate) * kMsPerMinute;
    return platform::TicksBetween(feed.LastTm, now) > limitMs;
}

}  // namespace

bool CFeedEngine::FeedMayBeQueried(const CPixoluneFeed& feed, uint32_t now) {
    const auto found = retryWaits_.find(FeedKey(feed));
    if (found == retryWaits_.end()) return true;
    if (platform::TicksBetween(found->second.failedAt, now) < found->second.waitMs) return false;
    retryWaits_.erase(found);
    return true;
}

std::chrono::milliseconds CFeedEngine::NoteFailedQuery(int index, const CPixoluneFeed& feed,
                                                       uint32_t retryAfterSeconds) {
    const uint32_t idleMs = static_cast<uint32_t>(IdleInterval.count());
    const uint32_t askedMs =
        std::min<uint32_t>(retryAfterSeconds, kLongestRetryAfterSeconds) * kMsPerSecond;
    const uint32_t waitMs = std::max(idleMs, askedMs);
    retryWaits_[FeedKey(feed)] = RetryWait{platform::TickCount(), waitMs};
    if (askedMs > 0)
        Log("Refresh %d: the service asked to wait %u s (Retry-After), next try in %u ms", index,
            retryAfterSeconds, waitMs);
    else
        Log("Refresh %d: query failed, next try in %u ms", index, waitMs);
    return std::chrono::milliseconds(waitMs);
}

void CFeedEngine::MakeFeedsDue() {
    std::lock_guard<std::mutex> guard(Lock);
    for (CPixoluneFeed& feed : Feeds) feed.LastTm = 0;
}

CFeedEngine::TokenPass CFeedEngine::BeginTokenPass(uint64_t generation, uint32_t now) {
    if (!refusedToken_.active) return TokenPass::Normal;
    if (refusedToken_.generation != generation) {
        refusedToken_ = RefusedToken{};
        retryWaits_.clear();  // the waits of the refused token's failures
        Log("Refresh: a new access token arrived; the feeds are read again");
        return TokenPass::Normal;
    }
    if (platform::TicksBetween(refusedToken_.triedAt, now) < kRefusedTokenRetryMs)
        return TokenPass::HeldBack;
    return TokenPass::HourlyTry;
}

void CFeedEngine::HoldBackToken(uint64_t generation) {
    const bool first = !refusedToken_.active;
    refusedToken_ = RefusedToken{true, generation, platform::TickCount()};
    Health.TokenRefused(std::chrono::milliseconds(kRefusedTokenRetryMs));
    if (first)
        Log("Refresh: the service refused the access token; authorize the plug-in again in its "
            "settings");
    else
        Log("Refresh: the access token is still refused, next try in 60 min");
}

CFeedEngine::RefreshInputs CFeedEngine::ReadRefreshInputs() const {
    std::lock_guard<std::mutex> guard(Lock);
    return RefreshInputs{Token, Settings, tokenGeneration_};
}

bool CFeedEngine::IsAuthorized(const std::string& token) {
    // Without a token every query is refused; say why once, not once per feed and pass.
    if (token.empty()) {
        if (!notAuthorizedSaid_) Log("Refresh: not authorized; sign in in the plug-in's settings");
        Health.SignInMissing();
        notAuthorizedSaid_ = true;
        return false;
    }
    notAuthorizedSaid_ = false;
    return true;
}

std::optional<CPixoluneFeed> CFeedEngine::FeedToRefresh(size_t index) const {
    std::lock_guard<std::mutex> guard(Lock);
    if (index >= Feeds.size()) return std::nullopt;
    return QueryCopy(Feeds[index]);
}

bool CFeedEngine::ShouldQuery(const CPixoluneFeed& feed, int32_t tmUpdate, TokenPass pass) {
    const uint32_t now = platform::TickCount();
    return IsDue(feed, tmUpdate, now) && pass != TokenPass::HeldBack && FeedMayBeQueried(feed, now);
}

bool CFeedEngine::StoreFeedResult(size_t index, const CPixoluneFeed& asked, CPixoluneFeed& queried,
                                  bool succeeded) {
    std::lock_guard<std::mutex> guard(Lock);
    if (index >= Feeds.size() || !IsSameFeed(Feeds[index], asked)) return false;
    CPixoluneFeed& live = Feeds[index];
    if (!succeeded) {
        ++live.Retries;
        return true;
    }
    live.Items = std::move(queried.Items);
    live.Retries = 0;
    live.LastTm = std::max<uint32_t>(platform::TickCount(), 1u);  // 0 means never
    live.Flg |= kFeedQueriedFlag;
    return true;
}

void CFeedEngine::QueueFoundItems(const CPixoluneFeed& feed, std::vector<CPixoluneItem> found) {
    retryWaits_.erase(FeedKey(feed));
    deliveredUrls_[FeedKey(feed)] = UrlsOf(found);
    Log("     %d Items found", static_cast<int>(found.size()));
    for (CPixoluneItem& item : found) DownloadQueue.push_back(std::move(item));
    Log("     %d Items queued to download", static_cast<int>(DownloadQueue.size()));
}

CFeedEngine::FeedRefresh CFeedEngine::RefreshFeed(size_t i, const CPixoluneFeed& feed,
                                                  RefreshPass& pass) {
    const int index = static_cast<int>(i);
    if (pass.token == TokenPass::HourlyTry)
        Log("Refresh %d: trying the refused access token again (once an hour)", index);
    CPixoluneFeed queried = feed;
    const FeedQueryOutcome outcome = pass.query->Query(queried);
    const bool succeeded = outcome.result == QueryResult::Ok;
    // The queue's copy is made here, so that the lock covers only a move.
    std::vector<CPixoluneItem> found;
    if (succeeded) found = queried.Items;
    if (!StoreFeedResult(i, feed, queried, succeeded)) {
        Log("Refresh %d: the feed was changed while it was read; result dropped", index);
        return FeedRefresh::Dropped;
    }
    // A 400 may be the feed's own; only the account query tells a refused token.
    if (!succeeded && outcome.failure == kTokenRefused && pass.query->TokenRefused()) {
        HoldBackToken(pass.generation);
        return FeedRefresh::TokenRefused;
    }
    if (pass.token == TokenPass::HourlyTry) {
        refusedToken_ = RefusedToken{};
        pass.token = TokenPass::Normal;
        Log("Refresh: the service no longer refuses the access token");
    }
    if (!succeeded) {
        Health.FeedFailed(index, feed, ResultCode(outcome.failure),
                          NoteFailedQuery(index, feed, outcome.retryAfterSeconds));
        return FeedRefresh::Failed;
    }
    QueueFoundItems(feed, std::move(found));
    Health.FeedRefreshed(index, feed, DownloadQueue.size());
    return FeedRefresh::Read;
}

RefreshResult CFeedEngine::Refresh(const std::atomic<int32_t>* stop) {
    const RefreshInputs inputs = ReadRefreshInputs();
    Health.RefreshBegins(inputs.settings.tmUpdate);
    if (!IsAuthorized(inputs.token)) return RefreshResult::NothingRead;
    RefreshPass pass;
    pass.generation = inputs.generation;
    pass.token = BeginTokenPass(inputs.generation, platform::TickCount());
    RefreshResult result = RefreshResult::NothingRead;
    for (size_t i = 0; !(stop && stop->load() != 0); ++i) {
        const std::optional<CPixoluneFeed> feed = FeedToRefresh(i);
        if (!feed) {
            Health.FeedsCounted(i);
            break;
        }
        if (!feed->IsEnabled()) continue;
        Log("Refresh %d: lastTm=%d, retries=%d", static_cast<int>(i),
            static_cast<int>(feed->LastTm), feed->Retries);
        if (!ShouldQuery(*feed, inputs.settings.tmUpdate, pass.token)) continue;
        if (!pass.query && QueryFactory)
            pass.query = QueryFactory(inputs.token, inputs.settings, stop);
        if (!pass.query) break;
        const FeedRefresh refreshed = RefreshFeed(i, *feed, pass);
        if (refreshed == FeedRefresh::TokenRefused) break;  // no other feed is read with this token
        if (refreshed == FeedRefresh::Read) result = RefreshResult::FeedRead;
    }
    return result;
}

bool CFeedEngine::MayPruneAfterBatch() {
    const std::optional<int> unanswered = MarkLastAnswersSeen();
    if (!unanswered) {
        pruneOffSince_.reset();
        return true;
    }
    return PruneDelayIsOver(*unanswered);
}

std::optional<int> CFeedEngine::MarkLastAnswersSeen() {
    struct Standing {
        int index;
        std::string key;
        bool failing;
    };
    std::vector<Standing> enabled;
    {
        std::lock_guard<std::mutex> guard(Lock);
        for (size_t i = 0; i < Feeds.size(); ++i) {
            if (Feeds[i].IsEnabled())
                enabled.push_back({static_cast<int>(i), FeedKey(Feeds[i]), Feeds[i].Retries > 0});
        }
    }
    std::optional<int> unanswered;
    for (const Standing& feed : enabled) {
        const auto delivered = deliveredUrls_.find(feed.key);
        if (delivered == deliveredUrls_.end()) {
            if (!unanswered) unanswered = feed.index;
            continue;
        }
        // Its last answer still stands for it; also after a reread of the list.
        const size_t kept = MarkSeen(LocalFiles, delivered->second);
        if (feed.failing)
            Log("PruneLocalFiles: feed %d could not be read; the files of its last answer (%d) are "
                "kept",
                feed.index, static_cast<int>(kept));
    }
    return unanswered;
}

bool CFeedEngine::PruneDelayIsOver(int unanswered) {
    const auto now = std::chrono::steady_clock::now();
    if (!pruneOffSince_) pruneOffSince_ = now;
    const long long hours =
        std::chrono::duration_cast<std::chrono::hours>(UnansweredFeedPruneDelay).count();
    if (now - *pruneOffSince_ < UnansweredFeedPruneDelay) {
        Log("PruneLocalFiles: put off, feed %d has not been read since the worker started "
            "(for at most %lld h)",
            unanswered, hours);
        return false;
    }
    Log("PruneLocalFiles: feed %d has not been read for %lld h; what no feed delivered is "
        "pruned",
        unanswered, hours);
    return true;
}

}  // namespace pixolune
