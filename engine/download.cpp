#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <string>
#include <utility>

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

// One note appended to a file of ours (the journal, the user's sidecars),
// which can be taken back while it is the last one.
class AppendedNote {
  public:
    AppendedNote(platform::FileSystem& fileSystem, std::string path)
        : fileSystem_(fileSystem), path_(std::move(path)) {
        struct stat status {};
        existed_ = fileSystem_.Lstat(path_.c_str(), &status) == 0;
        sizeBefore_ = existed_ ? status.st_size : 0;
    }

    // `append` writes the note to the path; true when it did.
    template <typename Writer>
    [[nodiscard]] bool Append(Writer&& write) {
        appended_ = write(fileSystem_, path_);
        return appended_;
    }
    // An appended note reaches the disk, before what it speaks of may.
    void Sync() const {
        if (appended_) SyncFileAt(fileSystem_, path_);
    }
    static void SyncFileAt(platform::FileSystem& fileSystem, const std::string& path) {
        const platform::FileHandle fd(
            fileSystem, fileSystem.Open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC, 0));
        if (fd) (void)fileSystem.Fsync(fd.Get());
    }
    [[nodiscard]] const std::string& Path() const { return path_; }

    void Retract() {
        if (!appended_) return;
        appended_ = false;
        if (existed_)
            (void)fileSystem_.Truncate(path_.c_str(), sizeBefore_);
        else
            fileSystem_.Unlink(path_.c_str());
    }

  private:
    platform::FileSystem& fileSystem_;
    std::string path_;
    bool existed_ = false;
    off_t sizeBefore_ = 0;
    bool appended_ = false;
};

namespace {

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

DownloadResult CFeedEngine::DownloadImage(const std::string& url, const std::string& path,
                                          const std::atomic<int32_t>* stop) {
    MediaTransfer transfer(FileSystem, url, path, downloadLimits_, stop, &reserveReportedInBatch_);
    const DownloadResult begun = transfer.Begin();
    if (begun != DownloadResult::Ok) return begun;
    platform::HttpResult result;
    try {
        result = Transfers->Perform(transfer.Request());
    } catch (...) {
        return transfer.Broken();
    }
    return transfer.Finish(result);
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

bool CFeedEngine::IsUsersSidecar(const std::string& mediaPath) const {
    std::string sidecarPath = mediaPath;
    ReplaceExtension(sidecarPath, kSidecarSuffix);
    struct stat status {};
    if (FileSystem.Lstat(sidecarPath.c_str(), &status) != 0) return false;
    const std::string sidecarName = sidecarPath.substr(sidecarPath.find_last_of('/') + 1);
    // Ours when a recorded file of ours shares it (a photo and a video of one base name).
    return LocalFiles.IsUsersSidecar(sidecarName) || !LocalFiles.SharesSidecar(sidecarName);
}

CFeedEngine::CommitResult CFeedEngine::CommitFile(const CPixoluneItem& item,
                                                  const LocalName& name,
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
    if (settings.WantsSidecars() && usersSidecar.empty()) {
        const platform::Outcome written = sidecar.Write(settings, item);
        if (!written)
            Log("WriteKpropFile: can't write the sidecar of %s (%s)", name.fullPath.c_str(),
                written.Error().c_str());
    }
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
    if (DownloadImage(item.Url, tempPath, stop) != DownloadResult::Ok) return;
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
    const LocalNameStatus status = NameNewItem(settings.ImgFolder, item.Url, name);
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
    if (!ReportLocalName(status, name, item.Url)) return;
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
        downloads_.Prepare(settings.ImgFolder, stop, downloadLimits_, &reserveReportedInBatch_);
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
