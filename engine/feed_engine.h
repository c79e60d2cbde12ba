#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/download_pipeline.h"
#include "engine/engine_configuration.h"
#include "engine/engine_events.h"
#include "engine/feed_query.h"
#include "engine/folder_records.h"
#include "engine/health_recorder.h"
#include "engine/local_names.h"
#include "engine/media_folder_hold.h"
#include "engine/media_transfer.h"
#include "engine/prune_deferral.h"
#include "engine/refused_token_hold.h"
#include "model/feed.h"
#include "model/file_data.h"
#include "model/plugin_settings.h"
#include "platform/clock.h"
#include "platform/file_system.h"
#include "platform/http_client.h"

namespace pixolune {

class CPixoluneThread;
class AppendedNote;
class PendingSidecar;

// What a download step, and a pass of the worker, answers: an item was taken
// from the queue (1; the next pass comes at once), or there is nothing to do
// now and the batch was closed (0; the worker waits its idle interval).
enum class DownloadStep : int { BatchClosed = 0, ItemTaken = 1 };

// How the worker reaches the service, waits, downloads and reports; set
// before the worker starts.
struct EngineOptions {
    // The real client over the engine's transfers by default.
    FeedQueryFactory queryFactory;
    // The idle wait between passes, which is also the least wait of a failed
    // feed before its next query. 30 s; PIXOLUNE_IDLE_MS (read once, when the
    // engine is built) shortens it for tests only.
    std::chrono::milliseconds idleInterval{30000};
    // Time limits and size cap of every media download.
    MediaDownloadLimits downloadLimits;
    // How long a feed that has not answered on this folder may put pruning off.
    std::chrono::milliseconds unansweredFeedPruneDelay{std::chrono::hours(24)};
    // Told of every batch, store and prune, on the worker.
    EngineEventSink events;
};

// The engine runs the worker's pass: refreshes, download steps and the
// closing of each batch. It hands its jobs to small classes: what the host's
// thread replaces and the worker reads (EngineConfiguration, the only lock
// the host's thread takes), the folder's records (FolderRecords), the media
// transfers (DownloadPipeline), the health record (HealthRecorder), the hold
// on the media folder, the hold on a refused token and the putting off of
// pruning. Everything else belongs to the worker thread alone while one runs.
class CFeedEngine {
  public:
    // Every file operation of the engine goes through `fileSystem` and every
    // reading of time through `clock`; both must outlive it. Tests give a
    // file system that fails chosen calls and a clock that jumps ahead.
    // `transfers` carries its requests (none: libcurl).
    explicit CFeedEngine(PluginSettings& settings,
                         platform::FileSystem& fileSystem = platform::RealFileSystem(),
                         platform::Clock& clock = platform::RealClock(),
                         std::unique_ptr<platform::HttpSession> transfers = nullptr);
    ~CFeedEngine();  // stops and joins a running worker before anything is freed
    CFeedEngine(const CFeedEngine&) = delete;
    CFeedEngine& operator=(const CFeedEngine&) = delete;

    // Message 9: starts the worker when there are feeds and none is running.
    void StartWorker();
    // Message 10: stops the worker, waiting for it to end.
    void StopWorker();
    [[nodiscard]] bool WorkerRunning() const;

    // The settings, feeds and token the host's thread replaces (messages 5, 7, 40).
    [[nodiscard]] EngineConfiguration& Configuration() { return configuration_; }
    [[nodiscard]] const EngineConfiguration& Configuration() const { return configuration_; }
    // Messages 5 and 7: a token from the settings dialog or the store. Wakes
    // the worker, so that feeds held back for a refused token are read at once
    // and a new media folder is taken up without waiting out the idle pass.
    void SetToken(std::string token);

    // Changed only while no worker runs.
    [[nodiscard]] EngineOptions& Options() { return options_; }
    // Opens the health record at `path` (empty: none) before a worker starts.
    void OpenHealthRecord(const std::string& path) { Health.Open(path); }

    // The worker's run, for a thread that drives it (CPixoluneThread, or a
    // simulation on a clock of its own): BeginWork records the start, each
    // RunPass takes the media folder, refreshes the feeds that are due and
    // takes one download step, EndWork stops the transfers (their parts kept)
    // and leaves the folder. A folder that can't be used, or whose list can't
    // be read (it is read again at the next pass), leaves nothing to do.
    void BeginWork();
    [[nodiscard]] DownloadStep RunPass(const std::atomic<int32_t>* stop);
    void EndWork();
    // Wakes a pass waiting on its transfers, from any thread: a stop is
    // noticed at once, not at the next read.
    void WakeTransfers() {
        Transfers->Wakeup();
        downloads_.Wake();
    }

    // For tests, while no worker runs: the steps of a pass one by one, the
    // worker's queue and records, and what the health record holds.
    QueryResult TEST_Refresh(const std::atomic<int32_t>* stop = nullptr) { return Refresh(stop); }
    [[nodiscard]] DownloadStep TEST_DownloadNext(const std::atomic<int32_t>* stop) {
        return DownloadNext(stop);
    }
    // As a worker's start reads the list of the folder it takes.
    void TEST_ReadLocalFileList() { ReadLocalFileList(); }
    [[nodiscard]] std::deque<CPixoluneItem>& TEST_DownloadQueue() { return DownloadQueue; }
    [[nodiscard]] FolderRecords& TEST_Records() { return LocalFiles; }
    [[nodiscard]] HealthRecord TEST_HealthRecord() const { return Health.Record(); }

    // Up to this many media files come in side by side.
    static constexpr size_t kDownloadsInFlight = DownloadPipeline::kTransfersInFlight;
    // A batch that runs this long closes with what it stored, whatever still
    // waits: a stored file reaches the show within this and one step.
    static constexpr std::chrono::milliseconds kLongestBatch{60000};

  private:
    // The worker's hold on its media folder, checked at the start of every
    // pass: true when the folder of the setting is usable and ours (locked,
    // leftovers removed, list read). A changed setting first leaves the old
    // folder (its list written). False, said once per folder and reason, when
    // the folder can't be used or another worker holds it; nothing is touched.
    [[nodiscard]] bool TakeMediaFolder();
    // Ends the transfers (their parts kept to resume, or removed), writes the
    // list when it has unsaved records, unlocks, forgets the records.
    void LeaveMediaFolder(DownloadPipeline::Parts parts = DownloadPipeline::Parts::KeptToResume);
    // The folder LocalFiles belong to, which every step works in: the one the
    // worker holds, else (steps run on their own, as tests do) the setting's.
    [[nodiscard]] std::string MediaFolder() const;

    // The worker's steps. Ok when at least one feed was read.
    QueryResult Refresh(const std::atomic<int32_t>* stop);
    [[nodiscard]] DownloadStep DownloadNext(const std::atomic<int32_t>* stop);
    void ReadLocalFileList();
    void WriteLocalFileList();
    // The sidecar of the file about to be stored at `fullPath`; a failure is said.
    void WriteKpropFile(PendingSidecar& sidecar, const std::string& fullPath,
                        const CPixoluneItem& item, const PluginSettings& settings);
    void PruneLocalFiles();
    // Ends every transfer in flight; the items not yet stored go back to the
    // head of the queue, in order. A stop keeps their parts to go on from; a
    // folder that is left keeps none.
    void CancelDownloads(DownloadPipeline::Parts parts);

    // The steps of Refresh, in the order it takes them.
    struct RefreshPass {
        RefusedTokenHold::Pass token = RefusedTokenHold::Pass::Normal;
        uint64_t generation = 0;           // the configuration's token generation of this pass
        std::unique_ptr<FeedQuery> query;  // made for the first feed that is due
        const std::atomic<int32_t>* stop = nullptr;
    };
    enum class FeedRefresh { Read, Failed, Dropped, TokenRefused, HourlyTryFailed };
    [[nodiscard]] QueryResult RefreshFeeds(const EngineConfiguration::Snapshot& inputs,
                                             const std::atomic<int32_t>* stop);
    [[nodiscard]] bool IsAuthorized(const std::string& token);
    [[nodiscard]] bool ShouldQuery(const CPixoluneFeed& feed, int32_t tmUpdate,
                                   RefusedTokenHold::Pass pass);
    [[nodiscard]] FeedRefresh RefreshFeed(size_t index, const CPixoluneFeed& feed,
                                          RefreshPass& pass);
    // Queues the items of an answer, but for the first `startedEarly`, which
    // were queued as their pages came.
    void QueueFoundItems(const CPixoluneFeed& feed, std::vector<CPixoluneItem> found,
                         size_t startedEarly);
    // Queues the items read since `queued` and takes them into the pipeline
    // while the query goes on; answers how many are queued now.
    size_t QueueItemsEarly(const std::vector<CPixoluneItem>& itemsSoFar, size_t queued,
                           const std::atomic<int32_t>* stop);
    // Without waiting: stores what the transfers completed and starts what
    // may start (with `takeQueued`, the queued items too), while a request of
    // the refresh is awaited.
    void KeepDownloadsGoing(bool takeQueued, const std::atomic<int32_t>* stop);
    // Stores the files the pipeline completed and counts those that failed.
    void StoreComplete(const std::vector<DownloadPipeline::Complete>& complete,
                       const PluginSettings& settings);
    // The settings of the download steps, with the pipeline prepared for them.
    [[nodiscard]] PluginSettings PrepareDownloads(const std::atomic<int32_t>* stop);
    bool FeedMayBeQueried(const CPixoluneFeed& feed, uint32_t now);
    // Logs the failure and sets the feed's wait, which it answers.
    std::chrono::milliseconds NoteFailedQuery(int index, const CPixoluneFeed& feed,
                                              uint32_t retryAfterSeconds);
    // Says what reading the journal came to; false when it could not be read.
    bool ReportJournal(const std::string& folder, const ListReadResult& merged);
    [[nodiscard]] bool MayPruneAfterBatch();
    // True in the settings' quiet hours, when no request may be sent; says
    // when they begin (cutting the transfers in flight) and when they end.
    [[nodiscard]] bool KeepQuiet(const PluginSettings& settings);
    // Marks the files of each enabled feed's last answer seen, and no others;
    // the index of the first enabled feed that has not answered yet, if any.
    [[nodiscard]] std::optional<int> MarkLastAnswersSeen();
    void SettleInMediaFolder(const std::string& folder);
    void BeginBatch();
    [[nodiscard]] bool BatchIsDue() const;
    // The parts the items of the feeds' last answers would write.
    [[nodiscard]] std::set<std::string> PartsOfDeliveredItems() const;
    void CloseBatch(const PluginSettings& settings);
    // One queued item: a known URL is marked seen (or fetched again when its
    // file has gone); a new one is named, downloaded and stored.
    void TakeItem(const CPixoluneItem& item, const PluginSettings& settings,
                  const std::atomic<int32_t>* stop);
    // A recorded URL whose file is still in `folder` is marked seen (true); a
    // record whose file has gone is dropped, so that the item is fetched again.
    [[nodiscard]] bool MarkSeenWhenStillThere(const std::string& url, const std::string& folder);
    // A plain file under the item's name that no record claims may be the
    // item itself, left by a lost list.
    [[nodiscard]] bool MayTakeInExistingFile(const std::string& url, const LocalName& name) const;
    // Same media under a new signature: a record whose address differs from
    // `url` in its query alone and whose file has the name `url` gives takes
    // the new address (true, when the file is there); one whose file has gone
    // is dropped, so that it cannot prune the file downloaded in its place.
    [[nodiscard]] bool TakeNewAddress(const std::string& url, const LocalName& name,
                                      LocalNameStatus status, const std::string& folder);
    // Gives a stored file its record: journal note, sidecar, the rename of
    // the complete download at `tempPath` that never replaces a file (none
    // for a file already under its name), record. Each step undoes the
    // earlier ones when a later one fails, so a kill at any point leaves no
    // named file without its note and no note of a file that is not ours.
    enum class CommitResult { Stored, NameTaken, Failed };
    CommitResult CommitFile(const CPixoluneItem& item, const LocalName& name,
                            const std::string& tempPath, const PluginSettings& settings);
    // Says why the rename into place failed (its errno in `error`).
    CommitResult ReportFailedRename(const platform::Outcome& renamed, const std::string& tempPath,
                                    const std::string& fullPath);
    // A file the list lacks under the name the item's URL gives: downloads the
    // item and takes the file in when it holds the same bytes.
    void TakeInExistingFile(const CPixoluneItem& item, const LocalName& name,
                            const PluginSettings& settings, const std::atomic<int32_t>* stop);
    // A sidecar beside `mediaPath` that no recorded file of ours shares, or
    // one noted as the user's, is the user's: never replaced, never deleted.
    [[nodiscard]] bool IsUsersSidecar(const std::string& mediaPath) const;
    // The name of the user's sidecar beside the file about to be stored at
    // `fullPath`, noted as the user's; empty when there is none.
    [[nodiscard]] std::string UsersSidecarBeside(const std::string& fullPath,
                                                 const PluginSettings& settings,
                                                 AppendedNote& note);
    // Takes queued items into the pipeline, in queue order, while it has room.
    void TakeQueuedItems(const PluginSettings& settings, const std::atomic<int32_t>* stop);

    friend class CPixoluneThread;  // leaves the folder after an exception, waits on the clock

    // Constant after construction.
    platform::FileSystem& FileSystem;
    platform::Clock& clock_;

    // Shared with the host's thread, behind its own lock.
    EngineConfiguration configuration_;

    // Set before the worker starts.
    EngineOptions options_;
    void Tell(EngineEvent::Kind kind, size_t count, std::string name = {}) {
        if (options_.events) options_.events(EngineEvent{kind, std::move(name), count});
    }

    // The host's thread only (messages 9 and 10).
    std::unique_ptr<CPixoluneThread> Worker;  // the last one started

    // Worker state below: the worker thread alone touches it while one runs.
    std::deque<CPixoluneItem> DownloadQueue;  // oldest first
    FolderRecords LocalFiles;
    LocalNamer names_{FileSystem};
    int32_t BatchActive = 0;
    uint32_t batchBegan_ = 0;  // tick of the batch's first step
    // The list or the journal could not be read: its records are unknown, so
    // nothing is downloaded, pruned or written until a later read succeeds.
    bool localListUnreadable_ = false;
    // The worker's transfers: API pages and media files reuse its connections.
    std::unique_ptr<platform::HttpSession> Transfers;

    // What the host program shows of the worker; written once opened.
    HealthRecorder Health;
    MediaFolderHold folderHold_;
    RefusedTokenHold tokenHold_;
    PruneDeferral pruneDeferral_;

    // When a feed that failed may be queried again: tick of the failure and the
    // wait, keyed by the feed's type and tags.
    struct RetryWait {
        uint32_t failedAt = 0;
        uint32_t waitMs = 0;
    };
    std::unordered_map<std::string, RetryWait> retryWaits_;
    // URLs whose name is taken by a file with other bytes (a user's own):
    // not downloaded again in this worker run.
    std::unordered_set<std::string> differingUrls_;
    // The URLs each feed delivered in its last successful query, keyed like
    // retryWaits_: they count as seen when the feed fails later.
    std::unordered_map<std::string, std::vector<std::string>> deliveredUrls_;
    bool notAuthorizedSaid_ = false;
    bool futureTimesSaid_ = false;  // files with times ahead of the clock, once per engine
    bool inQuietHours_ = false;  // as last said
    // The disk reserve's line was written in this batch.
    std::atomic<bool> reserveReportedInBatch_{false};

    // The media transfers: the items taken from DownloadQueue, their names
    // claimed, until each is stored or fails.
    DownloadPipeline downloads_{*Transfers, FileSystem, clock_};
};

}  // namespace pixolune
