#include "engine/media_transfer.h"

#include <optional>
#include <utility>

#include "model/host_link.h"
#include "platform/url_parts.h"

namespace pixolune {
namespace {

// The caller's pieces: a stop request is noticed within one piece of this size.
constexpr size_t kTransferBufferBytes = 4096;
// Only a final 200 is a media file; redirects are followed before the status is read.
constexpr long kHttpStatusOk = 200;

std::string FolderOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

MediaTransfer::MediaTransfer(platform::FileSystem& fileSystem, std::string url, std::string path,
                             const MediaDownloadLimits& limits, const std::atomic<int32_t>* stop,
                             std::atomic<bool>* reserveSaidInBatch)
    : url_(std::move(url)),
      limits_(limits),
      stop_(stop),
      reserveSaidInBatch_(reserveSaidInBatch),
      admission_(fileSystem, FolderOf(path)),
      file_(fileSystem, std::move(path)) {}

DownloadResult MediaTransfer::Begin(platform::FileHandle probeFile) {
    if (probeFile) file_.Adopt(std::move(probeFile));
    const DownloadResult begun = CheckAndCreate();
    if (begun != DownloadResult::Ok) file_.Discard();
    return begun;
}

DownloadResult MediaTransfer::CheckAndCreate() {
    Log("DownloadImage(), %s -> %s", url_.c_str(), file_.Path().c_str());
    const auto parts = platform::ParseUrl(url_);
    if (!parts) {
        Log("DownloadImage(), AfxParseURL failed, %s", url_.c_str());
        return DownloadResult::Refused;
    }
    if (parts->service != platform::kServiceHttp && parts->service != platform::kServiceHttps) {
        Log("DownloadImage(), Unsupported service type (%d), %s", parts->service, url_.c_str());
        return DownloadResult::Refused;
    }
    if (!admission_.AllowsStart()) return ReportRefusal();
    if (!file_.Create()) {
        Log("DownloadImage(), can't create file %s (%s)", file_.Path().c_str(),
            file_.Error().c_str());
        return DownloadResult::Refused;
    }
    return DownloadResult::Ok;
}

platform::HttpRequest MediaTransfer::Request() {
    platform::HttpRequest request;
    request.url = url_;
    request.limits = limits_.http;
    request.userAgent = "Kaleidra FeedReader";
    request.headers = {"Accept: text/*"};
    request.bufferSize = kTransferBufferBytes;
    request.onStatus = [this](long status) { return OnStatus(status); };
    request.onHead = [this](const platform::HttpResponseHead& head) { return OnHead(head); };
    request.onBody = [this](const char* data, size_t size) { return OnBody(data, size); };
    request.shouldAbort = [this] { return StopRequested(); };
    return request;
}

bool MediaTransfer::OnStatus(long status) {
    if (status == kHttpStatusOk) return true;
    badStatus_ = status;
    return false;
}

bool MediaTransfer::OnHead(const platform::HttpResponseHead& head) {
    return admission_.AcceptsHead(head);
}

bool MediaTransfer::OnBody(const char* data, size_t size) {
    // The piece that arrives with a stop request set is not written.
    if (StopRequested()) {
        cutShort_ = true;
        return false;
    }
    if (!admission_.AcceptsPiece(data, size)) return false;
    receivedBytes_ += size;
    if (receivedBytes_ > limits_.maxFileBytes) {
        tooLarge_ = true;
        return false;
    }
    if (!file_.Write(data, size)) {
        writeFailed_ = true;
        return false;
    }
    return true;
}

DownloadResult MediaTransfer::ReportRefusal() {
    if (admission_.Refused() == DownloadAdmission::Refusal::NotMedia) {
        Log("DownloadImage(), not a media file (%s), url=%s", admission_.Sniffer().Reason().c_str(),
            url_.c_str());
    } else if (!reserveSaidInBatch_ || !reserveSaidInBatch_->exchange(true)) {
        // Once per batch: on a full disk every later item of the batch ends here too.
        Log("DownloadImage(), %llu MiB free on the media folder's disk, keeping %llu MiB free: "
            "%s not downloaded",
            static_cast<unsigned long long>(admission_.Reserve().FreeMiB()),
            static_cast<unsigned long long>(admission_.Reserve().ReserveMiB()), url_.c_str());
    }
    return DownloadResult::Refused;
}

DownloadResult MediaTransfer::Broken() {
    file_.Discard();
    Log("DownloadImage(), Unknown exception");
    return DownloadResult::Broken;
}

void MediaTransfer::LogLimitReached(platform::HttpLimitReached limit) const {
    if (limit == platform::HttpLimitReached::LowSpeed)
        Log("DownloadImage(), slower than %ld bytes/s for %ld s, url=%s",
            limits_.http.lowSpeedBytesPerSecond, limits_.http.lowSpeedSeconds, url_.c_str());
    else if (limit == platform::HttpLimitReached::Deadline)
        Log("DownloadImage(), no complete file within %ld s, url=%s",
            limits_.http.totalTimeoutSeconds, url_.c_str());
}

DownloadResult MediaTransfer::Finish(const platform::HttpResult& result) {
    switch (result.failure) {
        case platform::HttpFailure::None:
            return FinishComplete();
        case platform::HttpFailure::Skipped:
            file_.Discard();
            Log("DownloadImage(), HTTP Error %d, url=%s", static_cast<int>(badStatus_),
                url_.c_str());
            return DownloadResult::Refused;
        case platform::HttpFailure::Connect:
            file_.Discard();
            Log("DownloadImage(), SendRequest failed, %s", url_.c_str());
            return DownloadResult::Refused;
        case platform::HttpFailure::Aborted:
            file_.Discard();
            if (const std::optional<DownloadResult> ours = WhyWeAborted()) return *ours;
            break;
        case platform::HttpFailure::Status:
        case platform::HttpFailure::Body:
            file_.Discard();
            break;
    }
    Log("DownloadImage(), Error %d (%s)", result.errorCode, result.errorText.c_str());
    LogLimitReached(result.limitReached);
    return DownloadResult::Broken;
}

DownloadResult MediaTransfer::FinishComplete() {
    if (!admission_.AcceptsEnd()) {
        file_.Discard();
        return ReportRefusal();
    }
    if (!file_.Finish()) {
        Log("DownloadImage(), can't write %s (%s)", file_.Path().c_str(), file_.Error().c_str());
        return DownloadResult::Broken;
    }
    return DownloadResult::Ok;
}

std::optional<DownloadResult> MediaTransfer::WhyWeAborted() {
    if (writeFailed_) {
        Log("DownloadImage(), can't write %s (%s)", file_.Path().c_str(), file_.Error().c_str());
        return DownloadResult::Broken;
    }
    if (admission_.Refused() != DownloadAdmission::Refusal::None) return ReportRefusal();
    if (tooLarge_) {
        Log("DownloadImage(), file larger than %llu bytes refused, url=%s",
            static_cast<unsigned long long>(limits_.maxFileBytes), url_.c_str());
        return DownloadResult::Broken;
    }
    if (cutShort_ || StopRequested()) return DownloadResult::Stopped;
    return std::nullopt;  // not one of our hooks: the transport's own failure
}

}  // namespace pixolune
