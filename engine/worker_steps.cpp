// The worker's two steps: the refresh of the feeds that are due, and the
// download step that takes queued items in and stores what came.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/appended_note.h"
#include "engine/feed_engine.h"
#include "engine/kprop_file.h"
#include "engine/list_file.h"
#include "engine/local_names.h"
#include "engine/media_file.h"
#include "engine/prune.h"
#include "engine/users_sidecars.h"
#include "model/host_link.h"
#include "platform/http_client.h"
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
size_t MarkSeen(platform::FileSystem& fileSystem, const std::string& folder, FolderRecords& files,
                const RecordsByAddress& records, const std::vector<std::string>& urls) {
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

bool StopRequested(const std::atomic<int32_t>* stop) {
    return stop && stop->load() != 0;
}

// The journal's entry for a stored file, for AppendedNote::Append.
auto JournalEntry(CFileData record) {
    return [record = std::move(record)](platform::FileSystem& files, const std::string& path) {
        return AppendJournal(files, path, record);
    };
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
    const uint32_t idleMs = static_cast<uint32_t>(options_.idleInterval.count());
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
        if (!pass.query && options_.queryFactory)
            pass.query = options_.queryFactory(inputs.token, inputs.settings, stop);
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
    return pruneDeferral_.IsOver(*unanswered, options_.unansweredFeedPruneDelay, sinceLastAnswer);
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

bool CFeedEngine::IsUsersSidecar(const std::string& mediaPath) const {
    std::string sidecarPath = mediaPath;
    ReplaceExtension(sidecarPath, kSidecarSuffix);
    struct stat status {};
    if (FileSystem.Lstat(sidecarPath.c_str(), &status) != 0) return false;
    const std::string sidecarName = sidecarPath.substr(sidecarPath.find_last_of('/') + 1);
    // Ours when a recorded file of ours shares it (a photo and a video of one base name).
    return LocalFiles.IsUsersSidecar(sidecarName) || !LocalFiles.SharesSidecar(sidecarName);
}

void CFeedEngine::WriteKpropFile(PendingSidecar& sidecar, const std::string& fullPath,
                                 const CPixoluneItem& item, const PluginSettings& settings) {
    const platform::Outcome written = sidecar.Write(settings, item);
    if (!written)
        Log("WriteKpropFile: can't write the sidecar of %s (%s)", fullPath.c_str(),
            written.Error().c_str());
}

CFeedEngine::CommitResult CFeedEngine::CommitFile(const CPixoluneItem& item, const LocalName& name,
                                                  const std::string& tempPath,
                                                  const PluginSettings& settings) {
    // Noted before it has its name: a kill after the rename can't lose it, and an
    // entry whose file never got its name is skipped when the journal is read.
    AppendedNote note(FileSystem, MediaPath(settings.ImgFolder, kJournalFileName));
    if (!note.Append(JournalEntry(CFileData{name.fileName, item.Url, 1})))
        Log("DownloadNext(), can't note %s in the journal", name.fileName.c_str());
    // On the disk before the sidecar: after a power cut, a sidecar of a store
    // cut short is known by its note and removed.
    note.Sync();
    PendingSidecar sidecar(FileSystem, name.fullPath);
    AppendedNote usersNote(FileSystem, MediaPath(settings.ImgFolder, kUsersSidecarsFileName));
    const std::string usersSidecar = UsersSidecarBeside(name.fullPath, settings, usersNote);
    usersNote.Sync();
    if (settings.WantsSidecars() && usersSidecar.empty())
        WriteKpropFile(sidecar, name.fullPath, item, settings);
    // The bytes reach the disk before the file takes its name: after a power
    // cut, no name stands for fewer bytes than it had.
    if (!tempPath.empty()) AppendedNote::SyncFileAt(FileSystem, tempPath);
    if (!tempPath.empty() &&
        FileSystem.RenameNoReplace(tempPath.c_str(), name.fullPath.c_str()) != 0) {
        const platform::Outcome renamed = platform::Outcome::FromErrno("");
        FileSystem.Unlink(tempPath.c_str());
        sidecar.Undo();
        // Else the next start would record whatever holds the name now.
        note.Retract();
        usersNote.Retract();
        return ReportFailedRename(renamed, tempPath, name.fullPath);
    }
    if (!usersSidecar.empty()) LocalFiles.NoteUsersSidecar(usersSidecar);
    LocalFiles.Store(item.Url, name.fileName);
    Tell(EngineEvent::Kind::Stored, 1, name.fileName);
    return CommitResult::Stored;
}

std::string CFeedEngine::UsersSidecarBeside(const std::string& fullPath,
                                            const PluginSettings& settings, AppendedNote& note) {
    if (!IsUsersSidecar(fullPath)) return {};
    std::string sidecarPath = fullPath;
    ReplaceExtension(sidecarPath, kSidecarSuffix);
    if (settings.WantsSidecars())
        Log("WriteKpropFile: %s is not the plug-in's; it is left as it is", sidecarPath.c_str());
    std::string name = sidecarPath.substr(sidecarPath.find_last_of('/') + 1);
    // Noted before our file takes its name beside it: a kill must not make it ours.
    const bool noted = LocalFiles.IsUsersSidecar(name) ||
                       note.Append([&name](platform::FileSystem& files, const std::string& path) {
                           return NoteUsersSidecar(files, path, name);
                       });
    if (!noted) Log("DownloadNext(), can't note %s in %s", name.c_str(), note.Path().c_str());
    return name;
}

CFeedEngine::CommitResult CFeedEngine::ReportFailedRename(const platform::Outcome& renamed,
                                                          const std::string& tempPath,
                                                          const std::string& fullPath) {
    const int error = renamed.ErrorNumber();
    if (error == EEXIST) {
        Log("File already exits: %s", fullPath.c_str());
        return CommitResult::NameTaken;
    }
    if (error == ENAMETOOLONG || error == EILSEQ || error == EINVAL)
        Log("BuildLocalName(): Object name can't be used for local file: %s", fullPath.c_str());
    Log("DownloadNext(), can't rename %s to %s (%s)", tempPath.c_str(), fullPath.c_str(),
        renamed.Error().c_str());
    return CommitResult::Failed;
}

void CFeedEngine::TakeInExistingFile(const CPixoluneItem& item, const LocalName& name,
                                     const PluginSettings& settings,
                                     const std::atomic<int32_t>* stop) {
    // The probe's name: a kill leaves nothing the next start would not sweep.
    const std::string tempPath = PartialPathsFor(settings.ImgFolder, name.fileName, item.Url).probe;
    const DownloadRoute route{*Transfers, FileSystem, options_.downloadLimits,
                              &reserveReportedInBatch_};
    if (DownloadImage(route, item.Url, tempPath, stop) != DownloadResult::Ok) return;
    const bool same = SameFileContents(FileSystem, tempPath, name.fullPath);
    FileSystem.Unlink(tempPath.c_str());
    if (!same) {
        // Someone else's file: never recorded, replaced or deleted.
        differingUrls_.insert(item.Url);
        Log("File already exits: %s", name.fullPath.c_str());
        return;
    }
    if (CommitFile(item, name, "", settings) == CommitResult::Stored)
        Log("DownloadNext(), %s already in the folder, taken into the list", name.fullPath.c_str());
}

void CFeedEngine::TakeItem(const CPixoluneItem& item, const PluginSettings& settings,
                           const std::atomic<int32_t>* stop) {
    // Queued again by a refresh while it waits for its host or its turn: it is there already.
    if (item.Url.empty() || downloads_.Holds(item.Url)) return;
    if (MarkSeenWhenStillThere(item.Url, settings.ImgFolder)) return;
    LocalName name;
    const LocalNameStatus status = names_.Name(settings.ImgFolder, item.Url, name);
    if (TakeNewAddress(item.Url, name, status, settings.ImgFolder)) return;
    // The name belongs to the item that was queued first.
    if (status == LocalNameStatus::Ok && downloads_.Claims(name.fileName)) {
        Log("File already exits: %s", name.fullPath.c_str());
        return;
    }
    if (status == LocalNameStatus::Exists && MayTakeInExistingFile(item.Url, name)) {
        // A host that asked for a pause is not asked for the comparison either;
        // a later refresh queues the item again.
        if (!downloads_.HostHeld(item.Url)) TakeInExistingFile(item, name, settings, stop);
        return;
    }
    if (!names_.Report(status, name, item.Url)) return;
    // The naming probe's file is no transfer's any more; should its removal
    // have failed, it must not stay beside the files until the next start.
    FileSystem.Unlink(PartialPathsFor(settings.ImgFolder, name.fileName, item.Url).probe.c_str());
    downloads_.Add(item, name);
}

bool CFeedEngine::TakeNewAddress(const std::string& url, const LocalName& name,
                                 LocalNameStatus status, const std::string& folder) {
    if (status != LocalNameStatus::Ok && status != LocalNameStatus::Exists) return false;
    const std::optional<std::string> oldAddress = LocalFiles.OldAddressOf(url, name.fileName);
    if (!oldAddress) return false;
    if (status != LocalNameStatus::Exists) {
        // Its sidecar goes with it: should the new download fail, nothing
        // would ever claim or remove it.
        Log("DownloadNext(), %s is no longer in the folder, downloading it again",
            name.fullPath.c_str());
        LocalFiles.Drop(*oldAddress);
        RemoveSidecarOfGoneFile(FileSystem, folder, name.fileName, LocalFiles.UsersSidecars());
        return false;
    }
    LocalFiles.MoveAddress(*oldAddress, url);
    return true;
}

bool CFeedEngine::MarkSeenWhenStillThere(const std::string& url, const std::string& folder) {
    const CFileData* known = LocalFiles.Find(url);
    if (!known) return false;
    const std::string localName = known->LocalName;
    const std::string mediaPath = MediaPath(folder, localName);
    struct stat status {};
    if (FileSystem.Lstat(mediaPath.c_str(), &status) == 0 || errno != ENOENT) {
        LocalFiles.MarkSeen(url);
        return true;
    }
    Log("DownloadNext(), %s is no longer in the folder, downloading it again", mediaPath.c_str());
    // Should the download fail, the list must not name the file any more.
    LocalFiles.Drop(url);
    RemoveSidecarOfGoneFile(FileSystem, folder, localName, LocalFiles.UsersSidecars());
    return false;
}

bool CFeedEngine::MayTakeInExistingFile(const std::string& url, const LocalName& name) const {
    if (differingUrls_.count(url) != 0 || !IsUsableLocalName(name.fileName) ||
        LocalFiles.HasName(name.fileName))
        return false;
    struct stat existing {};
    return FileSystem.Lstat(name.fullPath.c_str(), &existing) == 0 && S_ISREG(existing.st_mode);
}

void CFeedEngine::CancelDownloads(DownloadPipeline::Parts parts) {
    // What came down the line before a stop is kept: whole files stored, parts kept.
    if (parts == DownloadPipeline::Parts::KeptToResume && !downloads_.Empty()) {
        PluginSettings settings = configuration_.Settings();
        settings.ImgFolder = downloads_.Folder();
        StoreComplete(downloads_.TakeWhatCame(), settings);
    }
    const std::vector<CPixoluneItem> left = downloads_.Cancel(parts);
    DownloadQueue.insert(DownloadQueue.begin(), left.begin(), left.end());
}

void CFeedEngine::TakeQueuedItems(const PluginSettings& settings,
                                  const std::atomic<int32_t>* stop) {
    while (!DownloadQueue.empty() && downloads_.HasRoom() && !StopRequested(stop)) {
        const CPixoluneItem item = std::move(DownloadQueue.front());
        DownloadQueue.pop_front();
        TakeItem(item, settings, stop);
    }
}

void CFeedEngine::StoreComplete(const std::vector<DownloadPipeline::Complete>& complete,
                                const PluginSettings& settings) {
    for (const DownloadPipeline::Complete& done : complete)
        if (CommitFile(done.item, done.name, done.tempPath, settings) == CommitResult::Stored)
            Health.FileStored(done.name.fullPath);
    for (size_t failed = downloads_.TakeFailed(); failed > 0; --failed) Health.DownloadFailed();
}

PluginSettings CFeedEngine::PrepareDownloads(const std::atomic<int32_t>* stop) {
    PluginSettings settings = configuration_.Settings();
    settings.ImgFolder = MediaFolder();  // the folder the records belong to
    if (!downloads_.PreparedFor(settings.ImgFolder, stop))
        CancelDownloads(downloads_.Folder() == settings.ImgFolder
                            ? DownloadPipeline::Parts::KeptToResume
                            : DownloadPipeline::Parts::Removed);
    if (downloads_.Empty())
        downloads_.Prepare(settings.ImgFolder, stop, options_.downloadLimits,
                           &reserveReportedInBatch_);
    return settings;
}

// A step takes queued items in, claiming their names, and drives the
// transfers until one ends; each complete file is stored at once. Refreshes
// run between steps. The batch closes when queue and pipeline are empty, or
// when only items that wait for their hosts are left, or once it has run for
// kLongestBatch: a slow or held item must not keep the files stored beside it
// from the show. Items still waiting go on in the next batch.
DownloadStep CFeedEngine::DownloadNext(const std::atomic<int32_t>* stop) {
    const PluginSettings settings = PrepareDownloads(stop);
    if (DownloadQueue.empty() && downloads_.OnlyHeldBack()) {
        CloseBatch(settings);
        return DownloadStep::BatchClosed;
    }
    BeginBatch();
    TakeQueuedItems(settings, stop);
    StoreComplete(downloads_.Step(), settings);
    // A stop ends every transfer in flight; their items stay queued, their parts kept.
    if (StopRequested(stop))
        CancelDownloads(DownloadPipeline::Parts::KeptToResume);
    else if (BatchIsDue())
        CloseBatch(settings);
    return DownloadStep::ItemTaken;
}

}  // namespace pixolune
