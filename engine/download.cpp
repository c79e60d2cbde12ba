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
#include "model/host_link.h"
#include "platform/http_client.h"
#include "platform/url_parts.h"

namespace pixolune {
namespace {

// How far past the head DownloadNext looks for items to start; items that
// need no transfer (known, refused) do not count against kDownloadsInFlight.
constexpr size_t kWindowLookaheadItems = 64;

bool StopRequested(const std::atomic<int32_t>* stop) {
    return stop && stop->load() != 0;
}

// One note in the journal, which can be taken back while it is the last one.
class JournalNote {
  public:
    JournalNote(platform::FileSystem& fileSystem, std::string path)
        : fileSystem_(fileSystem), path_(std::move(path)) {
        struct stat status {};
        existed_ = fileSystem_.Lstat(path_.c_str(), &status) == 0;
        sizeBefore_ = existed_ ? status.st_size : 0;
    }

    [[nodiscard]] bool Append(const CFileData& record) {
        appended_ = AppendJournal(fileSystem_, path_, record);
        return appended_;
    }

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

// Files that would share a temporary name (x.jpg, x.mp4 and x.kprop all
// become x.__t) must not be in flight together.
std::string NameStem(std::string path) {
    ReplaceExtension(path, "");
    return path;
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

void CFeedEngine::CloseBatch(const PluginSettings& settings) {
    size_t prunedFiles = 0;
    if (BatchActive && MayPruneAfterBatch()) {
        const size_t before = LocalFiles.size();
        PruneLocalFiles();
        prunedFiles = before - std::min(before, LocalFiles.size());
    }
    const bool pruned = prunedFiles > 0;
    // Records of deleted files must leave the list too, or their items, when
    // they come back, would be taken for files still there.
    if (NewFiles || pruned || recordsDropped_) WriteLocalFileList();
    if (NewFiles && settings.RestartKal) RequestSlideShowRestart();
    Health.BatchClosed({BatchActive != 0, prunedFiles, LocalFiles.size(), DownloadQueue.size(),
                        reserveReportedInBatch_.load(), settings.ImgFolder});
    // The next batch prunes against what the feeds deliver in it, not in every
    // batch since the list was read: a worker runs for months.
    if (BatchActive)
        for (auto& entry : LocalFiles) entry.second.Seen = 0;
    NewFiles = 0;
    BatchActive = 0;
    recordsDropped_ = false;
    reserveReportedInBatch_ = false;
    Log("Download complete");
}

void CFeedEngine::RecordStoredFile(const std::string& url, const std::string& fileName) {
    NewFiles = 1;
    // One name, one record: an older record of the name (a moved address)
    // would take the new file with it when it is pruned.
    for (auto it = LocalFiles.begin(); it != LocalFiles.end();) {
        if (it->first != url && it->second.LocalName == fileName)
            it = LocalFiles.erase(it);
        else
            ++it;
    }
    CFileData& record = LocalFiles[url];
    record.LocalName = fileName;
    record.SourceUrl = url;
    record.Seen = 1;
}

bool CFeedEngine::IsUsersSidecar(const std::string& mediaPath) const {
    std::string sidecarPath = mediaPath;
    ReplaceExtension(sidecarPath, kSidecarSuffix);
    struct stat status {};
    if (FileSystem.Lstat(sidecarPath.c_str(), &status) != 0) return false;
    // Ours when a recorded file of ours shares it (a photo and a video of one base name).
    std::string sidecarName = sidecarPath.substr(sidecarPath.find_last_of('/') + 1);
    for (const auto& entry : LocalFiles) {
        std::string recorded = entry.second.LocalName;
        ReplaceExtension(recorded, kSidecarSuffix);
        if (recorded == sidecarName) return false;
    }
    Log("WriteKpropFile: %s is not the plug-in's; it is left as it is", sidecarPath.c_str());
    return true;
}

bool CFeedEngine::IsRecordedName(const std::string& fileName) const {
    for (const auto& entry : LocalFiles)
        if (entry.second.LocalName == fileName) return true;
    return false;
}

CFeedEngine::CommitResult CFeedEngine::CommitDownload(const CPixoluneItem& item,
                                                      const std::string& tempPath,
                                                      const std::string& fullPath,
                                                      const std::string& fileName,
                                                      const PluginSettings& settings) {
    // Noted before it has its name: a kill after the rename can't lose it, and an
    // entry whose file never got its name is skipped when the journal is read.
    JournalNote note(FileSystem, MediaPath(settings.ImgFolder, kJournalFileName));
    if (!note.Append(CFileData{fileName, item.Url, 1}))
        Log("DownloadNext(), can't note %s in the journal", fileName.c_str());
    PendingSidecar sidecar(FileSystem, fullPath);
    if (settings.WantsSidecars() && !IsUsersSidecar(fullPath)) {
        const platform::Outcome written = sidecar.Write(settings, item);
        if (!written)
            Log("WriteKpropFile: can't write the sidecar of %s (%s)", fullPath.c_str(),
                written.Error().c_str());
    }
    if (FileSystem.RenameNoReplace(tempPath.c_str(), fullPath.c_str()) != 0) {
        const int error = errno;
        FileSystem.Unlink(tempPath.c_str());
        sidecar.Undo();
        // Else the next start would record whatever holds the name now.
        note.Retract();
        return ReportFailedRename(error, tempPath, fullPath);
    }
    RecordStoredFile(item.Url, fileName);
    Health.FileStored(fullPath);
    return CommitResult::Stored;
}

CFeedEngine::CommitResult CFeedEngine::ReportFailedRename(int error, const std::string& tempPath,
                                                          const std::string& fullPath) {
    if (error == EEXIST) {
        Log("File already exits: %s", fullPath.c_str());
        return CommitResult::NameTaken;
    }
    if (error == ENAMETOOLONG || error == EILSEQ || error == EINVAL)
        Log("BuildLocalName(): Object name can't be used for local file: %s", fullPath.c_str());
    Log("DownloadNext(), can't rename %s to %s (%s)", tempPath.c_str(), fullPath.c_str(),
        std::strerror(error));
    return CommitResult::Failed;
}

void CFeedEngine::StoreDownload(const CPixoluneItem& item, const std::string& fullPath,
                                const std::string& fileName, const PluginSettings& settings,
                                const std::atomic<int32_t>* stop) {
    std::string tempPath = fullPath;
    ReplaceExtension(tempPath, kTempSuffix);
    if (DownloadImage(item.Url, tempPath, stop) != DownloadResult::Ok)
        return Health.DownloadFailed();
    (void)CommitDownload(item, tempPath, fullPath, fileName, settings);
}

void CFeedEngine::TakeInExistingFile(const CPixoluneItem& item, const LocalName& name,
                                     const PluginSettings& settings,
                                     const std::atomic<int32_t>* stop) {
    std::string tempPath = name.fullPath;
    ReplaceExtension(tempPath, kTempSuffix);
    if (DownloadImage(item.Url, tempPath, stop) != DownloadResult::Ok) return;
    const bool same = SameFileContents(FileSystem, tempPath, name.fullPath);
    FileSystem.Unlink(tempPath.c_str());
    if (!same) {
        // Someone else's file: never recorded, replaced or deleted.
        differingUrls_.insert(item.Url);
        Log("File already exits: %s", name.fullPath.c_str());
        return;
    }
    std::string sidecarPath = name.fullPath;
    ReplaceExtension(sidecarPath, kSidecarSuffix);
    struct stat status {};
    if (settings.WantsSidecars() && FileSystem.Lstat(sidecarPath.c_str(), &status) != 0)
        WriteKpropFile(name.fullPath, item);
    JournalNote note(FileSystem, MediaPath(settings.ImgFolder, kJournalFileName));
    if (!note.Append(CFileData{name.fileName, item.Url, 1}))
        Log("DownloadNext(), can't note %s in the journal", name.fileName.c_str());
    RecordStoredFile(item.Url, name.fileName);
    Log("DownloadNext(), %s already in the folder, taken into the list", name.fullPath.c_str());
}

void CFeedEngine::TakeItem(const CPixoluneItem& item, const PluginSettings& settings,
                           const std::atomic<int32_t>* stop) {
    if (MarkSeenWhenStillThere(item.Url, settings.ImgFolder)) return;
    LocalName name;
    const LocalNameStatus status = NameNewItem(settings.ImgFolder, item.Url, name);
    if (status == LocalNameStatus::Exists && MayTakeInExistingFile(item.Url, name)) {
        TakeInExistingFile(item, name, settings, stop);
        return;
    }
    if (ReportLocalName(status, name, item.Url))
        StoreDownload(item, name.fullPath, name.fileName, settings, stop);
}

bool CFeedEngine::MarkSeenWhenStillThere(const std::string& url, const std::string& folder) {
    const auto known = LocalFiles.find(url);
    if (known == LocalFiles.end()) return false;
    const std::string mediaPath = MediaPath(folder, known->second.LocalName);
    struct stat status {};
    if (FileSystem.Lstat(mediaPath.c_str(), &status) == 0 || errno != ENOENT) {
        known->second.Seen = 1;
        return true;
    }
    Log("DownloadNext(), %s is no longer in the folder, downloading it again", mediaPath.c_str());
    RemoveSidecarOfGoneFile(FileSystem, folder, known->second.LocalName);
    LocalFiles.erase(known);
    // Should the download fail, the list must not name the file any more.
    recordsDropped_ = true;
    return false;
}

bool CFeedEngine::MayTakeInExistingFile(const std::string& url, const LocalName& name) const {
    if (differingUrls_.count(url) != 0 || !IsUsableLocalName(name.fileName) ||
        IsRecordedName(name.fileName))
        return false;
    struct stat existing {};
    return FileSystem.Lstat(name.fullPath.c_str(), &existing) == 0 && S_ISREG(existing.st_mode);
}

void CFeedEngine::CancelDownloads() {
    for (PendingDownload& entry : downloadWindow_) {
        if (entry.state == PendingDownload::State::Started && entry.begun == DownloadResult::Ok)
            Transfers->Cancel(entry.id);
    }
    downloadWindow_.clear();  // each unfinished temporary file goes with its transfer
}

bool CFeedEngine::WindowFitsQueue(const std::string& folder,
                                  const std::atomic<int32_t>* stop) const {
    if (downloadWindow_.empty()) return true;
    if (folder != windowFolder_ || stop != windowStop_) return false;
    if (downloadWindow_.size() > DownloadQueue.size()) return false;
    for (size_t i = 0; i < downloadWindow_.size(); ++i) {
        if (downloadWindow_[i].url != DownloadQueue[i].Url) return false;
    }
    return true;
}

bool CFeedEngine::SharesANameInFlight(const std::string& url, const std::string& fullPath) const {
    const std::string stem = fullPath.empty() ? std::string() : NameStem(fullPath);
    for (const PendingDownload& entry : downloadWindow_) {
        if (entry.url == url) return true;
        if (!stem.empty() && !entry.fullPath.empty() && NameStem(entry.fullPath) == stem)
            return true;
    }
    return false;
}

PendingDownload CFeedEngine::PrepareDownload(const std::string& url,
                                             const std::atomic<int32_t>* stop) {
    PendingDownload entry;
    entry.url = url;
    // Decided at its turn, when the items before it are stored: it may be known
    // by then, or its name free. Naming probes the temporary name, so a name
    // that shares one with a file in flight is not even tried now.
    if (url.empty() || !IsRecordableUrl(url) || LocalFiles.count(url) != 0 ||
        SharesANameInFlight(url, {}))
        return entry;
    if (SharesItsNameInFlight(entry)) return entry;
    // Only a plain new file starts early; a taken or refused name is logged
    // and handled at its turn, by the same steps as ever.
    // The probe's empty file becomes the transfer's temporary file.
    LocalName name;
    KeptProbe probe;
    const LocalNameStatus named = NameNewItem(windowFolder_, url, name, &probe);
    entry.fullPath = name.fullPath;
    if (named != LocalNameStatus::Ok) return entry;
    entry.fileName = name.fileName;
    StartTransfer(entry, probe, stop);
    return entry;
}

bool CFeedEngine::SharesItsNameInFlight(PendingDownload& entry) const {
    const auto parts = platform::ParseUrl(entry.url);
    if (!parts) return false;
    const std::string candidate =
        MediaPath(windowFolder_, FileNameFromObjectPath(parts->objectPath));
    if (!SharesANameInFlight(entry.url, candidate)) return false;
    entry.fullPath = candidate;
    return true;
}

void CFeedEngine::StartTransfer(PendingDownload& entry, KeptProbe& probe,
                                const std::atomic<int32_t>* stop) {
    std::string tempPath = entry.fullPath;
    ReplaceExtension(tempPath, kTempSuffix);
    entry.state = PendingDownload::State::Started;
    entry.transfer = std::make_unique<MediaTransfer>(
        FileSystem, entry.url, tempPath, downloadLimits_, stop, &reserveReportedInBatch_);
    // The transfer's file is the probe's, and removes it if unfinished.
    entry.begun = entry.transfer->Begin(probe.HandOver());
    if (entry.begun == DownloadResult::Ok) entry.id = Transfers->Start(entry.transfer->Request());
}

void CFeedEngine::FillDownloadWindow(const std::string& folder, const std::atomic<int32_t>* stop) {
    if (downloadWindow_.empty()) {
        windowFolder_ = folder;
        windowStop_ = stop;
    }
    size_t inFlight = 0;
    for (const PendingDownload& entry : downloadWindow_)
        inFlight +=
            entry.state == PendingDownload::State::Started && entry.begun == DownloadResult::Ok;
    while (inFlight < kDownloadsInFlight && downloadWindow_.size() < kWindowLookaheadItems &&
           downloadWindow_.size() < DownloadQueue.size()) {
        PendingDownload entry = PrepareDownload(DownloadQueue[downloadWindow_.size()].Url, stop);
        inFlight +=
            entry.state == PendingDownload::State::Started && entry.begun == DownloadResult::Ok;
        downloadWindow_.push_back(std::move(entry));
    }
}

// The head item's step, as one download step has always been: a new file
// whose transfer ran side by side is stored, anything else is taken as before.
void CFeedEngine::TakeHead(const CPixoluneItem& item, PendingDownload head,
                           const PluginSettings& settings, const std::atomic<int32_t>* stop) {
    if (head.state == PendingDownload::State::DecideAtTurn) {
        if (!item.Url.empty()) TakeItem(item, settings, stop);
        return;
    }
    if (head.begun != DownloadResult::Ok) return Health.DownloadFailed();
    DownloadResult outcome;
    try {
        const platform::HttpResult result = Transfers->Wait(head.id);
        outcome = head.transfer->Finish(result);
    } catch (...) {
        outcome = head.transfer->Broken();
    }
    if (outcome != DownloadResult::Ok) return Health.DownloadFailed();
    std::string tempPath = head.fullPath;
    ReplaceExtension(tempPath, kTempSuffix);
    (void)CommitDownload(item, tempPath, head.fullPath, head.fileName, settings);
}

// One step still takes one item, in queue order, so refreshes run between
// steps as before; the transfers of the next few items run meanwhile.
DownloadStep CFeedEngine::DownloadNext(const std::atomic<int32_t>* stop) {
    PluginSettings settings = configuration_.Settings();
    settings.ImgFolder = MediaFolder();  // the folder the records belong to
    if (!WindowFitsQueue(settings.ImgFolder, stop)) CancelDownloads();
    if (DownloadQueue.empty()) {
        CloseBatch(settings);
        return DownloadStep::BatchClosed;
    }
    BatchActive = 1;
    if (!StopRequested(stop)) FillDownloadWindow(settings.ImgFolder, stop);
    PendingDownload head;
    if (!downloadWindow_.empty()) {
        head = std::move(downloadWindow_.front());
        downloadWindow_.pop_front();
    }
    const CPixoluneItem item = DownloadQueue.front();
    TakeHead(item, std::move(head), settings, stop);
    // A stop ends every transfer in flight, not just the head's.
    if (StopRequested(stop)) CancelDownloads();
    DownloadQueue.pop_front();
    return DownloadStep::ItemTaken;
}

}  // namespace pixolune
