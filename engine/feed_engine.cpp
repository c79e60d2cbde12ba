#include "engine/feed_engine.h"

#include <fcntl.h>

#include <algorithm>
#include <cstdlib>
#include <set>
#include <string>
#include <utility>

#include "engine/leftover_files.h"
#include "engine/list_file.h"
#include "engine/local_names.h"
#include "engine/pixolune_thread.h"
#include "engine/quiet_hours.h"
#include "model/host_link.h"
#include "model/media_folder_rule.h"
#include "platform/tick_count.h"
#include "platform/url_parts.h"

namespace pixolune {
namespace {

// Test-only: lets end-to-end tests run several passes in seconds; never
// longer than the `standard` wait.
std::chrono::milliseconds IdleIntervalFromEnvironment(std::chrono::milliseconds standard) {
    const char* text = std::getenv("PIXOLUNE_IDLE_MS");
    if (!text || !*text) return standard;
    char* end = nullptr;
    const long ms = std::strtol(text, &end, 10);
    if (*end != '\0' || ms < 1 || ms > standard.count()) return standard;
    return std::chrono::milliseconds(ms);
}

}  // namespace

CFeedEngine::CFeedEngine(PluginSettings& settings, platform::FileSystem& fileSystem,
                         platform::Clock& clock, std::unique_ptr<platform::HttpSession> transfers)
    : FileSystem(fileSystem),
      clock_(clock),
      configuration_(settings),
      Transfers(transfers ? std::move(transfers) : std::make_unique<platform::HttpSession>()),
      Health(fileSystem,
             [&clock] { return platform::WallTime(std::chrono::seconds(clock.WallSeconds())); }),
      folderHold_(fileSystem),
      tokenHold_(clock),
      pruneDeferral_(clock) {
    options_.queryFactory = ServiceFeedQueryFactory(Transfers.get());
    options_.idleInterval = IdleIntervalFromEnvironment(options_.idleInterval);
}

CFeedEngine::~CFeedEngine() {
    StopWorker();
    Worker.reset();  // joins, should the stop have given up
    CancelDownloads(DownloadPipeline::Parts::KeptToResume);
}

void CFeedEngine::StartWorker() {
    // A host that disables and enables the plug-in gets a worker again; one
    // that would not stop is still there, and never gets a second beside it.
    if (!configuration_.HasFeeds() || WorkerRunning()) return;
    Worker.reset();
    Worker = CPixoluneThread::Start(this);
}

void CFeedEngine::StopWorker() {
    if (Worker) Worker->Stop();
}

bool CFeedEngine::WorkerRunning() const {
    return Worker && Worker->Running();
}

void CFeedEngine::SetToken(std::string token) {
    bool newToken = false;
    configuration_.Change([&](EngineConfiguration::Live& live) {
        newToken = !token.empty() && live.Token != token;
        live.Token = std::move(token);
    });
    if (newToken) Health.TokenGiven();
    if (Worker) Worker->WakeEvent.Set();
}

DownloadStep CFeedEngine::RunPass(const std::atomic<int32_t>* stop) {
    // Nothing is queried or downloaded for a folder that is not ours, nor
    // while its records are unknown: results could not be recorded without
    // replacing the list.
    if (!TakeMediaFolder()) return DownloadStep::BatchClosed;
    if (localListUnreadable_) {
        ReadLocalFileList();
        if (localListUnreadable_) return DownloadStep::BatchClosed;
    }
    PluginSettings settings = configuration_.Settings();
    if (KeepQuiet(settings)) {
        // What was stored before the hours began is shown now, not when they end.
        if (BatchActive) {
            settings.ImgFolder = MediaFolder();
            CloseBatch(settings);
        }
        return DownloadStep::BatchClosed;
    }
    // One budget for every transfer of the worker, API pages included.
    Transfers->SetRateCap(static_cast<int64_t>(settings.MaxRateKB) * 1024);
    (void)Refresh(stop);  // a failed feed is retried on its own schedule
    if (stop && stop->load() != 0) return DownloadStep::BatchClosed;
    return DownloadNext(stop);
}

void CFeedEngine::BeginWork() {
    Health.WorkerStarted();
}

void CFeedEngine::EndWork() {
    LeaveMediaFolder(DownloadPipeline::Parts::KeptToResume);
    Health.WorkerStopped();
}

bool CFeedEngine::KeepQuiet(const PluginSettings& settings) {
    const bool quiet =
        IsQuietHour(LocalHourAt(clock_.WallSeconds()), settings.QuietFrom, settings.QuietTo);
    if (quiet && inQuietHours_) Health.ClockReadAgain();
    if (quiet == inQuietHours_) return quiet;
    inQuietHours_ = quiet;
    Health.QuietHours(quiet, settings.QuietFrom, settings.QuietTo);
    if (quiet) {
        Log("Refresh: quiet hours begin (%02d:00 to %02d:00); no requests until they end",
            settings.QuietFrom, settings.QuietTo);
        // Parts are kept: the transfers go on with Range once the hours are over.
        downloads_.Suspend();
    } else {
        Log("Refresh: quiet hours end; queries and downloads go on");
    }
    return quiet;
}

std::string CFeedEngine::MediaFolder() const {
    if (folderHold_.Active()) return *folderHold_.Active();
    return configuration_.Settings().ImgFolder;
}

bool CFeedEngine::TakeMediaFolder() {
    const std::string folder = configuration_.Settings().ImgFolder;
    const platform::Outcome usable = MediaFolderProblem(FileSystem, folder);
    if (folderHold_.Holds(folder) && usable) return true;
    if (const auto& held = folderHold_.Active()) {
        const bool changed = *held != folder;
        if (changed)
            Log("DownloadNext(): the media folder changed from %s to %s", held->c_str(),
                folder.c_str());
        LeaveMediaFolder(changed ? DownloadPipeline::Parts::Removed
                                 : DownloadPipeline::Parts::KeptToResume);
    }
    if (!usable) {
        folderHold_.SayProblemOnce(folder, "DownloadNext(): the media folder " + folder +
                                               " can't be used (" + usable.Error() + ")");
        Health.FolderUnusable(folder, folderHold_.LastProblem());
        return false;
    }
    if (!folderHold_.Lock(folder)) {
        if (folderHold_.HeldByAnotherHost())
            Health.FolderHeldByAnotherHost();
        else
            Health.FolderUnusable(folder, folderHold_.LastProblem());
        return false;
    }
    SettleInMediaFolder(folder);
    return true;
}

void CFeedEngine::SettleInMediaFolder(const std::string& folder) {
    const MediaFolderHold::Settled settled = folderHold_.Settle(folder);
    Health.FolderUsable(folder);
    // A new folder lacks what the last one got: every feed is read for it again.
    if (settled == MediaFolderHold::Settled::OtherThanLast) configuration_.MakeFeedsDue();
    if (settled != MediaFolderHold::Settled::SameAsLast) pruneDeferral_.Reset();
    RemoveLeftoverFiles(FileSystem, folder);
    ReadLocalFileList();
}

void CFeedEngine::LeaveMediaFolder(DownloadPipeline::Parts parts) {
    // A stop keeps the parts to go on from; a folder given up keeps none.
    CancelDownloads(parts);
    if (!folderHold_.Active()) return;
    if (LocalFiles.Unsaved()) WriteLocalFileList();
    folderHold_.Release();
    LocalFiles.Clear();
    BatchActive = 0;
}

void CFeedEngine::ReadLocalFileList() {
    BatchActive = 0;
    differingUrls_.clear();
    names_.ForgetSaid();
    const std::string folder = MediaFolder();
    const std::string path = MediaPath(folder, kListFileName);
    const FolderRecords::Loaded loaded = LocalFiles.Load(FileSystem, folder);
    const ListReadResult& result = loaded.list;
    switch (result.status) {
        case ListReadStatus::NotFound:
            Log("ReadLocalFileList: file list not found");
            break;
        case ListReadStatus::WrongHeader:
            Log("ReadLocalFileList: wrong file header");
            break;
        case ListReadStatus::Unreadable:
            Log("ReadLocalFileList: can't read %s (%s)", path.c_str(),
                result.failure.Error().c_str());
            break;
        case ListReadStatus::Loaded:
            if (result.skipped > 0)
                Log("ReadLocalFileList: %d damaged entries skipped",
                    static_cast<int>(result.skipped));
            Log("ReadLocalFileList: file list loaded (%d entries)",
                static_cast<int>(loaded.listed));
            break;
    }
    localListUnreadable_ = !result.Readable() || !ReportJournal(folder, loaded.journal);
    if (localListUnreadable_)
        Log("ReadLocalFileList: the folder is left alone until the list can be read");
}

bool CFeedEngine::ReportJournal(const std::string& folder, const ListReadResult& merged) {
    const std::string path = MediaPath(folder, kJournalFileName);
    if (!merged.Readable()) {
        Log("ReadLocalFileList: can't read %s (%s)", path.c_str(), merged.failure.Error().c_str());
        return false;
    }
    if (merged.trimmed)
        Log("ReadLocalFileList: cut-off journal entry removed from %s", path.c_str());
    if (!merged.failure)
        Log("ReadLocalFileList: can't trim %s (%s)", path.c_str(), merged.failure.Error().c_str());
    if (merged.added > 0)
        Log("ReadLocalFileList: %d files stored after the last list write recovered",
            static_cast<int>(merged.added));
    return true;
}

void CFeedEngine::WriteLocalFileList() {
    const std::string folder = MediaFolder();
    const std::string path = MediaPath(folder, kListFileName);
    // The records of a list that could not be read are unknown: writing would drop them all.
    if (localListUnreadable_) {
        Log("WriteLocalFileList: %s could not be read, it is left as it is", path.c_str());
        return;
    }
    // The media files stored since the last list reach the disk before a list names them.
    platform::FileHandle folderFd(FileSystem,
                                  FileSystem.Open(folder.empty() ? "." : folder.c_str(),
                                                  O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
    if (folderFd) FileSystem.SyncFileSystem(folderFd.Get());
    const FolderRecords::Saved saved = LocalFiles.Save(FileSystem, folder);
    if (!saved.usersSidecars) Log("WriteLocalFileList: %s", saved.usersSidecars.Error().c_str());
    if (!saved.list) {
        Log("WriteLocalFileList: can't create file %s", path.c_str());
        Log("WriteLocalFileList: %s", saved.list.Error().c_str());
    }
}

void CFeedEngine::PruneLocalFiles() {
    PluginSettings settings = configuration_.Settings();
    settings.ImgFolder = MediaFolder();  // the folder the records belong to
    size_t stampedAnew = 0;
    (void)LocalFiles.Prune(FileSystem, settings, clock_.WallSeconds(), &stampedAnew);
    if (stampedAnew > 0 && !futureTimesSaid_)
        Log("PruneLocalFiles: %d files carry a time ahead of the clock; the clock and the files "
            "disagree, so their age counts from now",
            static_cast<int>(stampedAnew));
    if (stampedAnew > 0) futureTimesSaid_ = true;
}

void CFeedEngine::BeginBatch() {
    if (BatchActive) return;
    BatchActive = 1;
    batchBegan_ = clock_.TickCount();
}

bool CFeedEngine::BatchIsDue() const {
    return BatchActive && platform::TicksBetween(batchBegan_, clock_.TickCount()) >=
                              static_cast<uint32_t>(kLongestBatch.count());
}

std::set<std::string> CFeedEngine::PartsOfDeliveredItems() const {
    std::set<std::string> parts;
    const std::string folder = MediaFolder();
    for (const auto& [feed, urls] : deliveredUrls_) {
        for (const std::string& url : urls) {
            const auto address = platform::ParseUrl(url);
            if (!address) continue;
            const PartialPaths paths =
                PartialPathsFor(folder, FileNameFromObjectPath(address->objectPath), url);
            parts.insert(paths.part);
            parts.insert(paths.note);
        }
    }
    return parts;
}

void CFeedEngine::CloseBatch(const PluginSettings& settings) {
    size_t prunedFiles = 0;
    if (BatchActive) {
        const bool mayPrune = MayPruneAfterBatch();
        // Parts cut short wait for their items, unless these have left the feeds.
        downloads_.SweepParts(mayPrune, [this] { return PartsOfDeliveredItems(); });
        if (mayPrune) {
            const size_t before = LocalFiles.Size();
            PruneLocalFiles();
            prunedFiles = before - std::min(before, LocalFiles.Size());
            Tell(EngineEvent::Kind::Pruned, prunedFiles);
        }
    }
    // Records of deleted files must leave the list too, or their items, when
    // they come back, would be taken for files still there.
    if (LocalFiles.Unsaved()) WriteLocalFileList();
    if (LocalFiles.HasNewFiles() && settings.RestartKal) RequestSlideShowRestart();
    Health.BatchClosed({BatchActive != 0, prunedFiles, LocalFiles.Size(), DownloadQueue.size(),
                        reserveReportedInBatch_.load(), settings.ImgFolder});
    // The next batch prunes against what the feeds deliver in it, not in every
    // batch since the list was read: a worker runs for months.
    if (BatchActive) LocalFiles.ForgetSeen();
    LocalFiles.ClearUnsaved();
    BatchActive = 0;
    reserveReportedInBatch_ = false;
    Log("Download complete");
    Tell(EngineEvent::Kind::BatchClosed, LocalFiles.Size());
}

}  // namespace pixolune
