#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/download_pipeline.h"
#include "engine/feed_query.h"
#include "engine/local_names.h"
#include "engine/media_transfer.h"
#include "platform/file_system.h"
#include "platform/folder_lock.h"
#include "platform/http_client.h"
#include "model/feed.h"
#include "model/file_data.h"
#include "model/plugin_settings.h"

namespace pixolune {

class CPixoluneThread;

// What a refresh pass answers: whether at least one feed was read (1) or none (0).
enum class RefreshResult : int { NothingRead = 0, FeedRead = 1 };
// What a download step answers: an item was taken from the queue (1), or the
// queue was empty and the batch was closed (0).
enum class DownloadStep : int { BatchClosed = 0, ItemTaken = 1 };

// The engine: the configured feeds and the token, and the worker's run-time state.
//
// Threads: the host's thread replaces Feeds, Token and Settings under Lock;
// the worker copies what it needs under Lock for short spans and writes a
// feed's schedule and items back under it. Everything below "worker state"
// belongs to the worker thread alone while one runs.
class CFeedEngine {
  public:
    // Every file operation of the engine goes through `fileSystem`, which must
    // outlive it; tests give a wrapper that fails chosen calls.
    explicit CFeedEngine(PluginSettings& settings,
                         platform::FileSystem& fileSystem = platform::RealFileSystem());
    ~CFeedEngine();  // stops and joins a running worker before anything is freed
    CFeedEngine(const CFeedEngine&) = delete;
    CFeedEngine& operator=(const CFeedEngine&) = delete;

    // Message 9: starts the worker when there are feeds and none was started yet.
    void StartWorker();
    // Message 10: stops the worker, waiting for it to end.
    void StopWorker();

    // The worker's hold on its media folder, checked at the start of every
    // pass: true when the folder of the setting is usable and ours (locked,
    // leftovers removed, list read). A changed setting first leaves the old
    // folder (its list written). False, said once per folder and reason, when
    // the folder can't be used or another worker holds it; nothing is touched.
    [[nodiscard]] bool TakeMediaFolder();
    // Writes the list when it has unsaved records, unlocks, forgets the records.
    void LeaveMediaFolder();
    // The folder LocalFiles belong to, which every step works in: the one the
    // worker holds, else (steps run on their own, as tests do) the setting's.
    [[nodiscard]] std::string MediaFolder() const;
    // Messages 5 and 7: a token from the settings dialog or the store. Wakes
    // the worker, so that feeds held back for a refused token are read at once
    // and a new media folder is taken up without waiting out the idle pass.
    void SetToken(std::string token);

    // The worker's operations (worker thread; tests call them directly).
    RefreshResult Refresh(const std::atomic<int32_t>* stop = nullptr);
    [[nodiscard]] DownloadStep DownloadNext(const std::atomic<int32_t>* stop);
    [[nodiscard]] DownloadResult DownloadImage(const std::string& url, const std::string& path,
                                               const std::atomic<int32_t>* stop);
    bool BuildLocalName(const std::string& url, std::string& fullPath, std::string& fileName);
    void ReadLocalFileList();
    void WriteLocalFileList();
    void WriteKpropFile(const std::string& fullPath, const CPixoluneItem& item);
    void PruneLocalFiles();
    // Ends every transfer in flight and removes its temporary file; the items
    // not yet stored go back to the head of the queue, in order. Before the
    // temporary files are swept, and when the worker's loop ends.
    void CancelDownloads();
    // Removes what a killed run left: our temporary downloads ("*.__t") and
    // the atomic writer's temporary list and sidecar files.
    void RemoveLeftoverFiles();

    // A copy of the settings, taken under Lock.
    [[nodiscard]] PluginSettings SettingsSnapshot() const;

    FeedArray Feeds;
    std::string Token;  // empty: not authorized

    // Guards Feeds, Token, tokenGeneration_ and every field of Settings while a
    // worker may read them; the host's thread replaces them under it (messages 5, 7, 40).
    mutable std::mutex Lock;

    std::unique_ptr<CPixoluneThread> Worker;  // set by the first start, kept after a stop

    // Worker state.
    std::deque<CPixoluneItem> DownloadQueue;  // oldest first
    std::unordered_map<std::string, CFileData> LocalFiles;
    int32_t NewFiles = 0;
    int32_t BatchActive = 0;
    // The list or the journal could not be read: its records are unknown, so
    // nothing is downloaded, pruned or written until a later read succeeds.
    bool LocalListUnreadable = false;

    PluginSettings& Settings;
    platform::FileSystem& FileSystem;

    // The worker's transfers: API pages and media files reuse its connections,
    // and up to DownloadPipeline::kTransfersInFlight media files come in side by side.
    std::unique_ptr<platform::HttpSession> Transfers;

    // How the worker reaches the service; the real client unless a test replaces it
    // before the worker starts.
    FeedQueryFactory QueryFactory;
    // The idle wait between passes, which is also the least wait of a failed
    // feed before its next query. 30 s; PIXOLUNE_IDLE_MS (read once, when the
    // engine is built) shortens it for tests only.
    std::chrono::milliseconds IdleInterval;
    // Time limits and size cap of every media download (set before the worker starts).
    MediaDownloadLimits DownloadLimits;
    // How long a feed that has not answered once on this folder may put pruning
    // off. Its files can't be told from those that left the feeds; a feed that
    // fails for good (a refused tag) must not stop the folder's pruning for ever.
    std::chrono::milliseconds UnansweredFeedPruneDelay{std::chrono::hours(24)};

  private:
    // How a refresh pass may use the token it read.
    enum class TokenPass { Normal, HeldBack, HourlyTry };
    [[nodiscard]] TokenPass BeginTokenPass(uint64_t generation, uint32_t now);
    // The steps of Refresh, in the order it takes them.
    struct RefreshInputs {
        std::string token;
        PluginSettings settings;
        uint64_t generation = 0;  // tokenGeneration_ when the token was read
    };
    struct RefreshPass {
        TokenPass token = TokenPass::Normal;
        uint64_t generation = 0;
        std::unique_ptr<FeedQuery> query;  // made for the first feed that is due
    };
    enum class FeedRefresh { Read, Failed, Dropped, TokenRefused };
    [[nodiscard]] RefreshInputs ReadRefreshInputs() const;
    [[nodiscard]] bool IsAuthorized(const std::string& token);
    [[nodiscard]] std::optional<CPixoluneFeed> FeedToRefresh(size_t index) const;
    [[nodiscard]] bool ShouldQuery(const CPixoluneFeed& feed, int32_t tmUpdate, TokenPass pass);
    [[nodiscard]] FeedRefresh RefreshFeed(size_t index, const CPixoluneFeed& feed,
                                          RefreshPass& pass);
    // Writes a query's result into the live feed; false when the feed was
    // replaced meanwhile and the result belongs to no feed any more.
    [[nodiscard]] bool StoreFeedResult(size_t index, const CPixoluneFeed& asked,
                                       CPixoluneFeed& queried, bool succeeded);
    void QueueFoundItems(const CPixoluneFeed& feed, std::vector<CPixoluneItem> found);
    void HoldBackToken(uint64_t generation);
    bool FeedMayBeQueried(const CPixoluneFeed& feed, uint32_t now);
    void NoteFailedQuery(int index, const CPixoluneFeed& feed, uint32_t retryAfterSeconds);
    // Adds the journal's entries to LocalFiles; false when it could not be read.
    [[nodiscard]] bool MergeLocalJournal(const std::string& folder);
    [[nodiscard]] bool MayPruneAfterBatch();
    // Marks the files of each enabled feed's last answer seen; the index of
    // the first enabled feed that has not answered yet, if any.
    [[nodiscard]] std::optional<int> MarkLastAnswersSeen();
    // Whether the unanswered feed has put pruning off for long enough; says which.
    [[nodiscard]] bool PruneDelayIsOver(int unanswered);
    void MakeFeedsDue();
    void SayFolderProblemOnce(const std::string& folder, const std::string& line);
    // The steps of TakeMediaFolder once the folder is usable: its lock (false,
    // said once, when another host holds it or it can't be had), then the
    // clean-up and the reading of its list.
    [[nodiscard]] bool LockMediaFolder(const std::string& folder);
    void SettleInMediaFolder(const std::string& folder);
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
                                      LocalNameStatus status);
    // Gives a complete temporary download its place: journal note, sidecar,
    // the rename that never replaces a file, record. Each step undoes the
    // earlier ones when a later one fails, so a kill at any point leaves no
    // named file without its sidecar and no note of a file that is not ours.
    enum class CommitResult { Stored, NameTaken, Failed };
    CommitResult CommitDownload(const CPixoluneItem& item, const std::string& tempPath,
                                const std::string& fullPath, const std::string& fileName,
                                const PluginSettings& settings);
    // Says why the rename into place failed (its errno in `error`).
    CommitResult ReportFailedRename(int error, const std::string& tempPath,
                                    const std::string& fullPath);
    // A file the list lacks under the name the item's URL gives: downloads the
    // item and takes the file in when it holds the same bytes.
    void TakeInExistingFile(const CPixoluneItem& item, const LocalName& name,
                            const PluginSettings& settings, const std::atomic<int32_t>* stop);
    void RecordStoredFile(const std::string& url, const std::string& fileName);
    [[nodiscard]] bool IsRecordedName(const std::string& fileName) const;
    // Logs why no file may be made for `url`; true for Ok.
    bool ReportLocalName(LocalNameStatus status, const LocalName& name, const std::string& url);
    // Takes queued items into the pipeline, in queue order, while it has room.
    void TakeQueuedItems(const PluginSettings& settings, const std::atomic<int32_t>* stop);

    // When a feed that failed may be queried again: tick of the failure and the
    // wait, keyed by the feed's type and tags (worker state).
    struct RetryWait {
        uint32_t failedAt = 0;
        uint32_t waitMs = 0;
    };
    std::unordered_map<std::string, RetryWait> retryWaits_;
    // URLs whose name is taken by a file with other bytes (a user's own):
    // not downloaded again in this worker run (worker state).
    std::unordered_set<std::string> differingUrls_;
    // The URLs each feed delivered in its last successful query, keyed like
    // retryWaits_: they count as seen when the feed fails later.
    std::unordered_map<std::string, std::vector<std::string>> deliveredUrls_;
    // Since when an unanswered feed puts pruning off (this folder).
    std::optional<std::chrono::steady_clock::time_point> pruneOffSince_;
    bool notAuthorizedSaid_ = false;

    std::optional<std::string> activeFolder_;  // the folder the worker holds
    std::string lastFolder_;                   // the last folder it held
    platform::FolderLock folderLock_;
    std::string folderProblemSaid_;  // the folder problem last logged
    // A token the service refused is not used more than once an hour, until
    // SetToken brings another (worker state).
    struct RefusedToken {
        bool active = false;
        uint64_t generation = 0;  // the tokenGeneration_ it was refused under
        uint32_t triedAt = 0;     // tick of the last query with it
    };
    RefusedToken refusedToken_;
    uint64_t tokenGeneration_ = 0;  // counts SetToken calls; guarded by Lock
    // The disk reserve's line was written in this batch.
    std::atomic<bool> reserveReportedInBatch_{false};

    // Records that took a new address in this batch: the list must be written.
    bool addressesChanged_ = false;
    // The media transfers: the items taken from DownloadQueue, their names
    // claimed, until each is stored or fails.
    DownloadPipeline downloads_{*Transfers, FileSystem};
};

}  // namespace pixolune
