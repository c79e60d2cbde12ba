#include <algorithm>
#include <cerrno>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/feed_engine.h"
#include "engine/list_file.h"
#include "engine/local_names.h"
#include "model/host_link.h"
#include "platform/tick_count.h"
#include "platform/url_parts.h"

namespace pixolune {
namespace {

constexpr uint32_t kMsPerSecond = 1000u;
constexpr uint32_t kMsPerMinute = 60u * kMsPerSecond;
// However long a server asks us to wait, a feed is tried again within a day.
constexpr uint32_t kLongestRetryAfterSeconds = 24u * 60u * 60u;

std::string FeedKey(const CPixoluneFeed& feed) {
    return std::to_string(feed.Type) + "\n" + feed.Tags;
}

std::vector<std::string> UrlsOf(const std::vector<CPixoluneItem>& items) {
    std::vector<std::string> urls;
    urls.reserve(items.size());
    for (const CPixoluneItem& item : items) urls.push_back(item.Url);
    return urls;
}

// Records by their address without its query: the same media under a new
// signature is the same file, until its item is taken and the record moves.
using RecordsByAddress = std::unordered_map<std::string, const CFileData*>;

RecordsByAddress IndexByAddress(const LocalFileMap& files) {
    RecordsByAddress index;
    index.reserve(files.size());
    for (const auto& [url, record] : files)
        index.emplace(platform::AddressWithoutQuery(url), &record);
    return index;
}

// A record whose file the user deleted is not kept for a feed's last answer:
// the list would name a file that is not there.
size_t MarkSeen(platform::FileSystem& fileSystem, const std::string& folder,
                FolderRecords& files, const RecordsByAddress& records,
                const std::vector<std::string>& urls) {
    size_t marked = 0;
    for (const std::string& url : urls) {
        const auto record = records.find(platform::AddressWithoutQuery(url));
        if (record == records.end()) continue;
        const CFileData& data = *record->second;
        if (data.Seen) {
            ++marked;
            continue;
        }
        struct stat status {};
        const std::string path = MediaPath(folder, data.LocalName);
        if (fileSystem.Lstat(path.c_str(), &status) != 0 && errno == ENOENT) continue;
        files.MarkSeen(data.SourceUrl);
        ++marked;
    }
    return marked;
}

// The session's waiting hook for the life of one query, also when an
// exception from a reply ends the query.
class WaitingHook {
  public:
    WaitingHook(platform::HttpSession& session, std::function<void()> hook) : session_(session) {
        session_.WhileWaiting(std::move(hook));
    }
    ~WaitingHook() { session_.WhileWaiting(nullptr); }
    WaitingHook(const WaitingHook&) = delete;
    WaitingHook& operator=(const WaitingHook&) = delete;

  private:
    platform::HttpSession& session_;
};

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
    const uint32_t idleMs = static_cast<uint32_t>(idleInterval_.count());
    const uint32_t askedMs =
        std::min<uint32_t>(retryAfterSeconds, kLongestRetryAfterSeconds) * kMsPerSecond;
    const uint32_t waitMs = std::max(idleMs, askedMs);
    retryWaits_[FeedKey(feed)] = RetryWait{clock_.TickCount(), waitMs};
    if (askedMs > 0)
        Log("Refresh %d: the service asked to wait %u s (Retry-After), next try in %u ms", index,
            retryAfterSeconds, waitMs);
    else
        Log("Refresh %d: query failed, next try in %u ms", index, waitMs);
    return std::chrono::milliseconds(waitMs);
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

bool CFeedEngine::ShouldQuery(const CPixoluneFeed& feed, int32_t tmUpdate,
                              RefusedTokenHold::Pass pass) {
    const uint32_t now = clock_.TickCount();
    return IsDue(feed, tmUpdate, now) && pass != RefusedTokenHold::Pass::HeldBack &&
           FeedMayBeQueried(feed, now);
}

void CFeedEngine::QueueFoundItems(const CPixoluneFeed& feed, std::vector<CPixoluneItem> found,
                                  size_t startedEarly) {
    retryWaits_.erase(FeedKey(feed));
    deliveredUrls_[FeedKey(feed)] = UrlsOf(found);
    // An answer, even an empty one, is something to prune against.
    BeginBatch();
    Log("     %d Items found", static_cast<int>(found.size()));
    for (size_t i = std::min(startedEarly, found.size()); i < found.size(); ++i)
        DownloadQueue.push_back(std::move(found[i]));
    Log("     %d Items queued to download",
        static_cast<int>(DownloadQueue.size() + downloads_.Size()));
    Tell(EngineEvent::Kind::FeedsRead, DownloadQueue.size() + downloads_.Size());
}

size_t CFeedEngine::QueueItemsEarly(const std::vector<CPixoluneItem>& itemsSoFar, size_t queued,
                                    const std::atomic<int32_t>* stop) {
    const PluginSettings settings = PrepareDownloads(stop);
    for (size_t i = queued; i < itemsSoFar.size(); ++i) DownloadQueue.push_back(itemsSoFar[i]);
    TakeQueuedItems(settings, stop);
    return itemsSoFar.size();
}

void CFeedEngine::KeepDownloadsGoing(bool takeQueued, const std::atomic<int32_t>* stop) {
    if (!takeQueued && downloads_.Empty()) return;
    const PluginSettings settings = PrepareDownloads(stop);
    if (takeQueued) TakeQueuedItems(settings, stop);
    StoreComplete(downloads_.Refill(), settings);
}

CFeedEngine::FeedRefresh CFeedEngine::RefreshFeed(size_t i, const CPixoluneFeed& feed,
                                                  RefreshPass& pass) {
    const int index = static_cast<int>(i);
    const bool hourlyTry = pass.token == RefusedTokenHold::Pass::HourlyTry;
    if (hourlyTry) Log("Refresh %d: trying the refused access token again (once an hour)", index);
    CPixoluneFeed queried = feed;
    size_t startedEarly = 0;
    pass.query->OnPageRead([&](const std::vector<CPixoluneItem>& itemsSoFar) {
        startedEarly = QueueItemsEarly(itemsSoFar, startedEarly, pass.stop);
    });
    FeedQueryOutcome outcome;
    {
        // While a page is awaited the transfers go on: one that ends is stored
        // and its slot refilled, and the items of the page before start once
        // the request for this one is out, so that it never waits behind their
        // bytes. Until a page has been read the queue is left to the batch.
        const WaitingHook keepGoing(*Transfers,
                                    [&] { KeepDownloadsGoing(startedEarly > 0, pass.stop); });
        outcome = pass.query->Query(queried);
    }
    pass.query->OnPageRead(nullptr);
    // The last page's items start before the answer is recorded.
    if (startedEarly > 0) KeepDownloadsGoing(true, pass.stop);
    const bool succeeded = outcome.result == QueryResult::Ok;
    // A stop cut the query short: that says nothing of the feed or the service.
    if (!succeeded && pass.stop && pass.stop->load() != 0) return FeedRefresh::Dropped;
    // The queue's copy is made here, so that the lock covers only a move.
    std::vector<CPixoluneItem> found;
    if (succeeded) found = queried.Items;
    if (!configuration_.StoreFeedResult(i, feed, std::move(queried.Items), succeeded,
                                        clock_.TickCount())) {
        Log("Refresh %d: the feed was changed while it was read; result dropped", index);
        return FeedRefresh::Dropped;
    }
    // A 400 may be the feed's own; only the account query tells a refused token.
    if (!succeeded && outcome.failure == kTokenRefused && pass.query->TokenRefused()) {
        tokenHold_.Refused(pass.generation);
        Health.TokenRefused(RefusedTokenHold::kRetryInterval);
        return FeedRefresh::TokenRefused;
    }
    if (!succeeded) {
        const platform::WallTime now{std::chrono::seconds(clock_.WallSeconds())};
        if (outcome.failure == kCertificateRefused && ClockBeforeRelease(now))
            Log("Refresh %d: the service's certificate was refused while the clock reads %s, "
                "before this release was made; the clock looks wrong",
                index, platform::FormatWallTime(now).c_str());
        Health.FeedFailed(index, feed, ResultCode(outcome.failure),
                          NoteFailedQuery(index, feed, outcome.retryAfterSeconds));
        // A network error or a server fault tells nothing of the token: it stays held.
        return hourlyTry ? FeedRefresh::HourlyTryFailed : FeedRefresh::Failed;
    }
    if (hourlyTry) {
        tokenHold_.Accepted();
        pass.token = RefusedTokenHold::Pass::Normal;
    }
    QueueFoundItems(feed, std::move(found), startedEarly);
    Health.FeedRefreshed(index, feed, DownloadQueue.size() + downloads_.Size());
    return FeedRefresh::Read;
}

QueryResult CFeedEngine::Refresh(const std::atomic<int32_t>* stop) {
    const EngineConfiguration::Snapshot inputs = configuration_.Read();
    Health.RefreshBegins(inputs.settings.tmUpdate, inputs.settings.QuietFrom,
                         inputs.settings.QuietTo);
    const QueryResult result = RefreshFeeds(inputs, stop);
    Health.RefreshEnded();
    return result;
}

QueryResult CFeedEngine::RefreshFeeds(const EngineConfiguration::Snapshot& inputs,
                                        const std::atomic<int32_t>* stop) {
    if (!IsAuthorized(inputs.token)) return QueryResult::Failed;
    RefreshPass pass;
    pass.generation = inputs.tokenGeneration;
    pass.stop = stop;
    const RefusedTokenHold::Start start = tokenHold_.BeginPass(inputs.tokenGeneration);
    if (start.newToken) retryWaits_.clear();  // the waits of the refused token's failures
    pass.token = start.pass;
    QueryResult result = QueryResult::Failed;
    for (size_t i = 0; !(stop && stop->load() != 0); ++i) {
        const std::optional<CPixoluneFeed> feed = configuration_.FeedToQuery(i);
        if (!feed) {
            Health.FeedsCounted(i);
            break;
        }
        if (!feed->IsEnabled()) continue;
        Log("Refresh %d: lastTm=%d, retries=%d", static_cast<int>(i),
            static_cast<int>(feed->LastTm), feed->Retries);
        if (!ShouldQuery(*feed, inputs.settings.tmUpdate, pass.token)) continue;
        if (!pass.query && queryFactory_)
            pass.query = queryFactory_(inputs.token, inputs.settings, stop);
        if (!pass.query) break;
        const FeedRefresh refreshed = RefreshFeed(i, *feed, pass);
        // No other feed is read with a token that is refused, or not yet known to be accepted.
        if (refreshed == FeedRefresh::TokenRefused || refreshed == FeedRefresh::HourlyTryFailed)
            break;
        if (refreshed == FeedRefresh::Read) result = QueryResult::Ok;
    }
    return result;
}

bool CFeedEngine::MayPruneAfterBatch() {
    const std::optional<int> unanswered = MarkLastAnswersSeen();
    if (!unanswered) {
        pruneDeferral_.Reset();
        return true;
    }
    // The record remembers its last answer across restarts: a host that starts
    // the worker daily must not keep a feed refused for good from pruning.
    std::optional<std::chrono::milliseconds> sinceLastAnswer;
    for (const EngineConfiguration::EnabledFeed& enabled : configuration_.EnabledFeeds())
        if (enabled.index == *unanswered)
            sinceLastAnswer = Health.SinceLastAnswer(enabled.index, enabled.feed);
    return pruneDeferral_.IsOver(*unanswered, sinceLastAnswer);
}

std::optional<int> CFeedEngine::MarkLastAnswersSeen() {
    const std::vector<EngineConfiguration::EnabledFeed> feeds = configuration_.EnabledFeeds();
    // Only the last answers count: a batch that waited out a busy host saw
    // many, and an item that left the feeds meanwhile (stored before or
    // after it left) must not be kept for having been in an early one.
    if (!feeds.empty()) LocalFiles.ForgetSeen();
    const RecordsByAddress records = IndexByAddress(LocalFiles.Map());
    // An item still queued or downloading keeps its file: a batch may close
    // before every item of the answers was taken.
    if (!feeds.empty()) {
        std::vector<std::string> waiting = downloads_.Urls();
        for (const CPixoluneItem& item : DownloadQueue) waiting.push_back(item.Url);
        (void)MarkSeen(FileSystem, MediaFolder(), LocalFiles, records, waiting);
    }
    std::optional<int> unanswered;
    for (const EngineConfiguration::EnabledFeed& enabled : feeds) {
        const auto delivered = deliveredUrls_.find(FeedKey(enabled.feed));
        if (delivered == deliveredUrls_.end()) {
            if (!unanswered) unanswered = enabled.index;
            continue;
        }
        // Its last answer still stands for it; also after a reread of the list.
        const size_t kept =
            MarkSeen(FileSystem, MediaFolder(), LocalFiles, records, delivered->second);
        if (enabled.feed.Retries > 0)
            Log("PruneLocalFiles: feed %d could not be read; the files of its last answer (%d) are "
                "kept",
                enabled.index, static_cast<int>(kept));
    }
    return unanswered;
}

}  // namespace pixolune
