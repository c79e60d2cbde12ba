#include <cerrno>
#include <cstring>
#include <exception>
#include <string>

#include "engine/feed_engine.h"
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
    request.onBody = [&](const char* data, size_t size) {
        // The piece that arrives with a stop request set is not written.
        if (StopRequested(stop)) {
            cutShort = true;
            return false;
        }
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

void CFeedEngine::CloseBatch(const PluginSettings& settings) {
    bool pruned = false;
    if (BatchActive) {
        const int failing = FailingFeedIndex();
        if (failing >= 0) {
            Log("PruneLocalFiles: put off, feed %d could not be read in this batch", failing);
        } else {
            const size_t before = LocalFiles.size();
            PruneLocalFiles();
            pruned = LocalFiles.size() < before;
        }
    }
    // Records of deleted files must leave the list too, or their items, when
    // they come back, would be taken for files still there.
    if (NewFiles || pruned) WriteLocalFileList();
    if (NewFiles && settings.RestartKal) RequestSlideShowRestart();
    NewFiles = 0;
    BatchActive = 0;
    Log("Download complete");
}

void CFeedEngine::StoreDownload(const CPixoluneItem& item, const std::string& fullPath,
                                const std::string& fileName, const PluginSettings& settings,
                                const std::atomic<int32_t>* stop) {
    std::string tempPath = fullPath;
    ReplaceExtension(tempPath, kTempSuffix);
    if (DownloadImage(item.Url, tempPath, stop) != kDownloadOk) return;
    // Noted before it has its name: a kill after the rename can't lose it, and an
    // entry whose file never got its name is skipped when the journal is read.
    if (!AppendJournal(MediaPath(settings.ImgFolder, kJournalFileName),
                       CFileData{fileName, item.Url, 1}))
        Log("DownloadNext(), can't note %s in the journal", fileName.c_str());
    if (platform::CurrentFileOps().rename(tempPath.c_str(), fullPath.c_str()) != 0) {
        const int error = errno;
        ::unlink(tempPath.c_str());
        if (error == ENAMETOOLONG || error == EILSEQ || error == EINVAL)
            Log("BuildLocalName(): Object name can't be used for local file: %s", fullPath.c_str());
        Log("DownloadNext(), can't rename %s to %s (%s)", tempPath.c_str(), fullPath.c_str(),
            std::strerror(error));
        return;
    }
    if (settings.WantsSidecars()) WriteKpropFile(fullPath, item);
    NewFiles = 1;
    CFileData& record = LocalFiles[item.Url];
    record.LocalName = fileName;
    record.SourceUrl = item.Url;
    record.Seen = 1;
}

int CFeedEngine::DownloadNext(const std::atomic<int32_t>* stop) {
    const PluginSettings settings = SettingsSnapshot();
    if (DownloadQueue.empty()) {
        CloseBatch(settings);
        return 0;
    }
    BatchActive = 1;
    const CPixoluneItem item = DownloadQueue.front();
    if (!item.Url.empty()) {
        const auto known = LocalFiles.find(item.Url);
        if (known != LocalFiles.end()) {
            known->second.Seen = 1;
        } else {
            std::string fullPath, fileName;
            if (BuildLocalName(item.Url, fullPath, fileName))
                StoreDownload(item, fullPath, fileName, settings, stop);
        }
    }
    DownloadQueue.pop_front();
    return 1;
}

}  // namespace pixolune
