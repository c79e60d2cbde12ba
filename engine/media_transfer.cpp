#include "engine/media_transfer.h"

#include <utility>

#include "platform/url_parts.h"
#include "plugin/host_link.h"

namespace pixolune {
namespace {

constexpr size_t kTransferBufferBytes = 4096;

}  // namespace

MediaTransfer::MediaTransfer(std::string url, std::string path, const MediaDownloadLimits& limits,
                             const std::atomic<int32_t>* stop)
    : url_(std::move(url)), limits_(limits), stop_(stop), file_(std::move(path)) {}

int MediaTransfer::Begin() {
    Log("DownloadImage(), %s -> %s", url_.c_str(), file_.Path().c_str());
    const auto parts = platform::ParseUrl(url_);
    if (!parts) {
        Log("DownloadImage(), AfxParseURL failed, %s", url_.c_str());
        return kDownloadRefused;
    }
    if (parts->service != platform::kServiceHttp && parts->service != platform::kServiceHttps) {
        Log("DownloadImage(), Unsupported service type (%d), %s", parts->service, url_.c_str());
        return kDownloadRefused;
    }
    if (!file_.Create()) {
        Log("DownloadImage(), can't create file %s (%s)", file_.Path().c_str(),
            file_.Error().c_str());
        return kDownloadRefused;
    }
    return kDownloadOk;
}

platform::HttpRequest MediaTransfer::Request() {
    platform::HttpRequest request;
    request.url = url_;
    request.limits = limits_.http;
    request.userAgent = "Kaleidra FeedReader";
    request.headers = {"Accept: text/*"};
    request.bufferSize = kTransferBufferBytes;
    request.onStatus = [this](long status) { return OnStatus(status); };
    request.onBody = [this](const char* data, size_t size) { return OnBody(data, size); };
    request.shouldAbort = [this] { return StopRequested(); };
    return request;
}

bool MediaTransfer::OnStatus(long status) {
    if (status == 200) return true;
    badStatus_ = status;
    return false;
}

bool MediaTransfer::OnBody(const char* data, size_t size) {
    // The piece that arrives with a stop request set is not written.
    if (StopRequested()) {
        cutShort_ = true;
        return false;
    }
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

int MediaTransfer::Broken() {
    file_.Discard();
    Log("DownloadImage(), Unknown exception");
    return kDownloadBroken;
}

void MediaTransfer::LogLimitReached(platform::HttpLimitReached limit) const {
    if (limit == platform::HttpLimitReached::LowSpeed)
        Log("DownloadImage(), slower than %ld bytes/s for %ld s, url=%s",
            limits_.http.lowSpeedBytesPerSecond, limits_.http.lowSpeedSeconds, url_.c_str());
    else if (limit == platform::HttpLimitReached::Deadline)
        Log("DownloadImage(), no complete file within %ld s, url=%s",
            limits_.http.totalTimeoutSeconds, url_.c_str());
}

int MediaTransfer::Finish(const platform::HttpResult& result) {
    const std::string& path = file_.Path();
    switch (result.failure) {
        case platform::HttpFailure::None:
            if (!file_.Finish()) {
                Log("DownloadImage(), can't write %s (%s)", path.c_str(), file_.Error().c_str());
                return kDownloadBroken;
            }
            return kDownloadOk;
        case platform::HttpFailure::Skipped:
            file_.Discard();
            Log("DownloadImage(), HTTP Error %d, url=%s", static_cast<int>(badStatus_),
                url_.c_str());
            return kDownloadRefused;
        case platform::HttpFailure::Connect:
            file_.Discard();
            Log("DownloadImage(), SendRequest failed, %s", url_.c_str());
            return kDownloadRefused;
        case platform::HttpFailure::Aborted:
            file_.Discard();
            if (writeFailed_) {
                Log("DownloadImage(), can't write %s (%s)", path.c_str(), file_.Error().c_str());
                return kDownloadBroken;
            }
            if (tooLarge_) {
                Log("DownloadImage(), file larger than %llu bytes refused, url=%s",
                    static_cast<unsigned long long>(limits_.maxFileBytes), url_.c_str());
                return kDownloadBroken;
            }
            if (cutShort_ || StopRequested()) return kDownloadStopped;
            break;
        case platform::HttpFailure::Status:
        case platform::HttpFailure::Body:
            file_.Discard();
            break;
    }
    Log("DownloadImage(), Error %d (%s)", result.errorCode, result.errorText.c_str());
    LogLimitReached(result.limitReached);
    return kDownloadBroken;
}

}  // namespace pixolune
