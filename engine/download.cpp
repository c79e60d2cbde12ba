#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <string>
#include <utility>

#include "engine/download_admission.h"
#include "engine/feed_engine.h"
#include "engine/kprop_file.h"
#include "engine/list_file.h"
#include "engine/local_names.h"
#include "engine/media_file.h"
#include "platform/file_ops.h"
#include "platform/http_client.h"
#include "platform/url_parts.h"
#include "plugin/host_link.h"

namespace pixolune {
namespace {

constexpr int kDownloadOk = 0;
constexpr int kDownloadRefused = -1;
constexpr int kDownloadBroken = -2;
constexpr int kDownloadStopped = -3;

constexpr size_t kTransferBuffer = 4096;

bool StopRequested(const std::atomic<int32_t>* stop) {
    return stop && stop->load() != 0;
}

// One note in the journal, which can be taken back while it is the last one.
class JournalNote {
  public:
    explicit JournalNote(std::string path) : path_(std::move(path)) {
        struct stat status {};
        existed_ = ::lstat(path_.c_str(), &status) == 0;
        sizeBefore_ = existed_ ? status.st_size : 0;
    }

    [[nodiscard]] bool Append(const CFileData& record) {
        appended_ = AppendJournal(path_, record);
        return appended_;
    }

    void Retract() {
        if (!appended_) return;
        appended_ = false;
        if (existed_)
            (void)::truncate(path_.c_str(), sizeBefore_);
        else
            ::unlink(path_.c_str());
    }

  private:
    std::string path_;
    bool existed_ = false;
    off_t sizeBefore_ = 0;
    bool appended_ = false;
};
std::string FolderOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

int CFeedEngine::DownloadImage(const std::string& url, const std::string& path,
                               const std::atomic<int32_t>* stop) {
    Log("DownloadImage(), %s -> %s", url.c_str(), path.c_str());
    const auto parts = platform::ParseUrl(url);
    if (!parts) {
        Log("DownloadImage(), AfxParseURL failed, %s", url.c_str());
        return kDownloadRefused;
    }
    if (parts->service != platform::kServiceHttp && parts->service != platform::kServiceHttps) {
        Log("DownloadImage(), Unsupported service type (%d), %s", parts->service, url.c_str());
        return kDownloadRefused;
    }
    DownloadAdmission admission(FolderOf(path));
    if (!admission.AllowsStart()) return ReportRefusal(admission, url);
    MediaFileWriter file(path);
    if (!file.Create()) {
        Log("DownloadImage(), can't create file %s (%s)", path.c_str(), file.Error().c_str());
        return kDownloadRefused;
    }

    long badStatus = 0;
    bool cutShort = false;
    bool writeFailed = false;
    bool tooLarge = false;
    uint64_t received = 0;
    platform::HttpRequest request;
    request.url = url;
    request.limits = DownloadLimits.http;
    request.userAgent = "Kaleidra FeedReader";
    request.headers = {"Accept: text/*"};
    request.bufferSize = kTransferBuffer;
    request.onStatus = [&](long status) {
        if (status == 200) return true;
        badStatus = status;
        return false;
    };
    request.onHead = [&](const platform::HttpResponseHead& head) {
        return admission.AcceptsHead(head);
    };
    request.onBody = [&](const char* data, size_t size) {
        // The piece that arrives with a stop request set is not written.
        if (StopRequested(stop)) {
            cutShort = true;
            return false;
        }
        if (!admission.AcceptsPiece(data, size)) return false;
        received += size;
        if (received > DownloadLimits.maxFileBytes) {
            tooLarge = true;
            return false;
        }
        if (!file.Write(data, size)) {
            writeFailed = true;
            return false;
        }
        return true;
    };
    request.shouldAbort = [stop] { return StopRequested(stop); };

    platform::HttpResult result;
    try {
        result = platform::PerformHttpGet(request);
    } catch (...) {
        file.Discard();
        Log("DownloadImage(), Unknown exception");
        return kDownloadBroken;
    }
    switch (result.failure) {
        case platform::HttpFailure::None:
            if (!admission.AcceptsEnd()) return ReportRefusal(admission, url);
            if (!file.Finish()) {
                Log("DownloadImage(), can't write %s (%s)", path.c_str(), file.Error().c_str());
                return kDownloadBroken;
            }
            return kDownloadOk;
        case platform::HttpFailure::Skipped:
            Log("DownloadImage(), HTTP Error %d, url=%s", static_cast<int>(badStatus), url.c_str());
            return kDownloadRefused;
        case platform::HttpFailure::Connect:
            Log("DownloadImage(), SendRequest failed, %s", url.c_str());
            return kDownloadRefused;
        case platform::HttpFailure::Aborted:
            if (writeFailed) {
                Log("DownloadImage(), can't write %s (%s)", path.c_str(), file.Error().c_str());
                return kDownloadBroken;
            }
            if (admission.Refused() != DownloadAdmission::Refusal::None)
                return ReportRefusal(admission, url);
            if (tooLarge) {
                Log("DownloadImage(), file larger than %llu bytes refused, url=%s",
                    static_cast<unsigned long long>(DownloadLimits.maxFileBytes), url.c_str());
                return kDownloadBroken;
            }
            if (cutShort || StopRequested(stop)) return kDownloadStopped;
            break;
        case platform::HttpFailure::Status:
        case platform::HttpFailure::Body:
            break;
    }
    Log("DownloadImage(), Error %d (%s)", result.errorCode, result.errorText.c_str());
    return kDownloadBroken;
}

int CFeedEngine::ReportRefusal(const DownloadAdmission& admission, const std::string& url) {
    if (admission.Refused() == DownloadAdmission::Refusal::NotMedia) {
        Log("DownloadImage(), not a media file (%s), url=%s", admission.Sniffer().Reason().c_str(),
            url.c_str());
    } else if (!reserveReportedInBatch_.exchange(true)) {
        // Once per batch: on a full disk every later item of the batch ends here too.
        Log("DownloadImage(), %llu MiB free on the media folder's disk, keeping %llu MiB free: "
            "%s not downloaded",
            static_cast<unsigned long long>(admission.Reserve().FreeMiB()),
            static_cast<unsigned long long>(admission.Reserve().ReserveMiB()), url.c_str());
    }
    return kDownloadRefused;
}

void CFeedEngine::CloseBatch(const PluginSettings& settings) {
    bool pruned = false;
    if (BatchActive && MayPruneAfterBatch()) {
        const size_t before = LocalFiles.size();
        PruneLocalFiles();
        pruned = LocalFiles.size() < before;
    }
    // Records of deleted files must leave the list too, or their items, when
    // they come back, would be taken for files still there.
    if (NewFiles || pruned) WriteLocalFileList();
    if (NewFiles && settings.RestartKal) RequestSlideShowRestart();
    NewFiles = 0;
    BatchActive = 0;
    reserveReportedInBatch_ = false;
    Log("Download complete");
}

void CFeedEngine::RecordStoredFile(const std::string& url, const std::string& fileName) {
    NewFiles = 1;
    CFileData& record = LocalFiles[url];
    record.LocalName = fileName;
    record.SourceUrl = url;
    record.Seen = 1;
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
    JournalNote note(MediaPath(settings.ImgFolder, kJournalFileName));
    if (!note.Append(CFileData{fileName, item.Url, 1}))
        Log("DownloadNext(), can't note %s in the journal", fileName.c_str());
    PendingSidecar sidecar(fullPath);
    std::string sidecarError;
    if (settings.WantsSidecars() && !sidecar.Write(settings, item, &sidecarError))
        Log("WriteKpropFile: can't write the sidecar of %s (%s)", fullPath.c_str(),
            sidecarError.c_str());
    if (platform::CurrentFileOps().renameNoReplace(tempPath.c_str(), fullPath.c_str()) != 0) {
        const int error = errno;
        ::unlink(tempPath.c_str());
        sidecar.Undo();
        // Else the next start would record whatever holds the name now.
        note.Retract();
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
    RecordStoredFile(item.Url, fileName);
    return CommitResult::Stored;
}

void CFeedEngine::StoreDownload(const CPixoluneItem& item, const std::string& fullPath,
                                const std::string& fileName, const PluginSettings& settings,
                                const std::atomic<int32_t>* stop) {
    std::string tempPath = fullPath;
    ReplaceExtension(tempPath, kTempSuffix);
    if (DownloadImage(item.Url, tempPath, stop) != kDownloadOk) return;
    (void)CommitDownload(item, tempPath, fullPath, fileName, settings);
}

void CFeedEngine::TakeInExistingFile(const CPixoluneItem& item, const LocalName& name,
                                     const PluginSettings& settings,
                                     const std::atomic<int32_t>* stop) {
    std::string tempPath = name.fullPath;
    ReplaceExtension(tempPath, kTempSuffix);
    if (DownloadImage(item.Url, tempPath, stop) != kDownloadOk) return;
    const bool same = SameFileContents(tempPath, name.fullPath);
    ::unlink(tempPath.c_str());
    if (!same) {
        // Someone else's file: never recorded, replaced or deleted.
        differingUrls_.insert(item.Url);
        Log("File already exits: %s", name.fullPath.c_str());
        return;
    }
    std::string sidecarPath = name.fullPath;
    ReplaceExtension(sidecarPath, kSidecarSuffix);
    struct stat status {};
    if (settings.WantsSidecars() && ::lstat(sidecarPath.c_str(), &status) != 0)
        WriteKpropFile(name.fullPath, item);
    JournalNote note(MediaPath(settings.ImgFolder, kJournalFileName));
    if (!note.Append(CFileData{name.fileName, item.Url, 1}))
        Log("DownloadNext(), can't note %s in the journal", name.fileName.c_str());
    RecordStoredFile(item.Url, name.fileName);
    Log("DownloadNext(), %s already in the folder, taken into the list", name.fullPath.c_str());
}

void CFeedEngine::TakeItem(const CPixoluneItem& item, const PluginSettings& settings,
                           const std::atomic<int32_t>* stop) {
    const auto known = LocalFiles.find(item.Url);
    if (known != LocalFiles.end()) {
        const std::string mediaPath = MediaPath(settings.ImgFolder, known->second.LocalName);
        struct stat status {};
        if (::lstat(mediaPath.c_str(), &status) == 0 || errno != ENOENT) {
            known->second.Seen = 1;
            return;
        }
        Log("DownloadNext(), %s is no longer in the folder, downloading it again",
            mediaPath.c_str());
        LocalFiles.erase(known);
    }
    LocalName name;
    const LocalNameStatus status = MakeLocalName(settings.ImgFolder, item.Url, name);
    if (status == LocalNameStatus::Exists && differingUrls_.count(item.Url) == 0 &&
        IsUsableLocalName(name.fileName) && !IsRecordedName(name.fileName)) {
        struct stat existing {};
        if (::lstat(name.fullPath.c_str(), &existing) == 0 && S_ISREG(existing.st_mode)) {
            TakeInExistingFile(item, name, settings, stop);
            return;
        }
    }
    if (ReportLocalName(status, name, item.Url))
        StoreDownload(item, name.fullPath, name.fileName, settings, stop);
}

int CFeedEngine::DownloadNext(const std::atomic<int32_t>* stop) {
    PluginSettings settings = SettingsSnapshot();
    settings.ImgFolder = MediaFolder();  // the folder the records belong to
    if (DownloadQueue.empty()) {
        CloseBatch(settings);
        return 0;
    }
    BatchActive = 1;
    const CPixoluneItem item = DownloadQueue.front();
    if (!item.Url.empty()) TakeItem(item, settings, stop);
    DownloadQueue.pop_front();
    return 1;
}

}  // namespace pixolune
