#include "engine/media_transfer.h"

#include <fcntl.h>

#include <algorithm>
#include <optional>
#include <string>
#include <utility>

#include "model/host_link.h"
#include "platform/url_parts.h"

namespace pixolune {
namespace {

// The caller's pieces: a stop request is noticed within one piece of this size.
constexpr size_t kTransferBufferBytes = 4096;
// Only a final 200 is a media file, or a 206 that continues our part;
// redirects are followed before the status is read.
constexpr long kHttpStatusOk = 200;
constexpr long kHttpStatusPartial = 206;
constexpr long kHttpRangeNotSatisfiable = 416;
// As much of a part as the media sniffer looks at.
constexpr size_t kSniffedPartBytes = 512;

std::string FolderOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::string ResumeValidatorOf(const platform::HttpResponseHead& head) {
    if (!head.etag.empty() && head.etag.rfind("W/", 0) != 0) return head.etag;
    return head.lastModified;
}

MediaTransfer::MediaTransfer(platform::FileSystem& fileSystem, std::string url, std::string path,
                             const MediaDownloadLimits& limits, const std::atomic<int32_t>* stop,
                             std::atomic<bool>* reserveSaidInBatch)
    : fileSystem_(fileSystem),
      url_(std::move(url)),
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
    if (!OpenFile()) {
        Log("DownloadImage(), can't create file %s (%s)", file_.Path().c_str(),
            file_.Error().c_str());
        return DownloadResult::Refused;
    }
    return DownloadResult::Ok;
}

bool MediaTransfer::OpenFile() {
    switch (start_.mode) {
        case TransferFileStart::Mode::Truncate:
            return file_.Create();
        case TransferFileStart::Mode::Exclusive:
            return file_.CreateExclusive();
        case TransferFileStart::Mode::Resume:
            if (!file_.OpenToResume(resumedFromBytes_)) return false;
            receivedBytes_ = resumedFromBytes_;
            return true;
    }
    return false;
}

platform::HttpRequest MediaTransfer::Request() {
    platform::HttpRequest request;
    request.url = url_;
    request.limits = limits_.http;
    request.userAgent = "Kaleidra FeedReader";
    request.headers = {"Accept: text/*"};
    if (resumedFromBytes_ > 0) {
        // If-Range: should the file have changed, the server sends all of it.
        request.headers.push_back("Range: bytes=" + std::to_string(resumedFromBytes_) + "-");
        request.headers.push_back("If-Range: " + start_.validator);
    }
    request.bufferSize = kTransferBufferBytes;
    request.onStatus = [this](long status) { return OnStatus(status); };
    request.onHead = [this](const platform::HttpResponseHead& head) { return OnHead(head); };
    request.onBody = [this](const char* data, size_t size) { return OnBody(data, size); };
    request.shouldAbort = [this] { return StopTakesHold(); };
    return request;
}

bool MediaTransfer::OnStatus(long status) {
    if (status == kHttpStatusOk) return true;
    if (status == kHttpStatusPartial && resumedFromBytes_ > 0) return true;
    // The part reaches past the end of the file as it is now.
    if (status == kHttpRangeNotSatisfiable && resumedFromBytes_ > 0) startOver_ = true;
    badStatus_ = status;
    return false;
}

bool MediaTransfer::OnHead(const platform::HttpResponseHead& head) {
    if (head.status == kHttpStatusPartial) {
        if (!PartialAnswerFits(head)) {
            startOver_ = true;
            return false;
        }
        ShowPartToSniffer();
    } else if (resumedFromBytes_ > 0) {
        // The whole file came instead of the rest: it replaces the part.
        if (!file_.StartOver()) {
            writeFailed_ = true;
            return false;
        }
        resumedFromBytes_ = 0;
        receivedBytes_ = 0;
    }
    // A 206's length is what is still missing, so the reserve weighs only that,
    // beside what the transfers in flight have announced and not yet written:
    // what starts must be able to finish.
    const uint64_t promised = promisedToOthers_ ? promisedToOthers_() : 0;
    if (!admission_.AcceptsHead(head, promised)) return false;
    if (head.contentLength >= 0)
        announcedEnd_ = receivedBytes_ + static_cast<uint64_t>(head.contentLength);
    validator_ = ResumeValidatorOf(head);
    if (validatorHeard_) validatorHeard_(validator_);
    return true;
}

bool MediaTransfer::PartialAnswerFits(const platform::HttpResponseHead& head) {
    if (head.rangeStart < 0 || static_cast<uint64_t>(head.rangeStart) != resumedFromBytes_)
        return false;
    const std::string validator = ResumeValidatorOf(head);
    return validator.empty() || validator == start_.validator;
}

void MediaTransfer::ShowPartToSniffer() {
    // The sniffer judges a body by its first bytes, which the part holds.
    platform::FileHandle part(
        fileSystem_, fileSystem_.Open(file_.Path().c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC, 0));
    if (!part) return;
    char head[kSniffedPartBytes];
    const ssize_t got = fileSystem_.Read(part.Get(), head, sizeof(head));
    if (got > 0) (void)admission_.AcceptsPrefix(head, static_cast<size_t>(got));
}

void MediaTransfer::DropFile() {
    if (keepPart_)
        file_.KeepPart();
    else
        file_.Discard();
}

DownloadResult MediaTransfer::FinishKeepingPart(const platform::HttpResult& result) {
    keepPart_ = true;
    return Finish(result);
}

bool MediaTransfer::StopTakesHold() {
    // For a moment after a stop, what has arrived is still written (OnBody
    // ends the transfer after it); then a transfer that gets nothing ends.
    if (!StopRequested()) return false;
    const auto now = std::chrono::steady_clock::now();
    if (!stopSeenAt_) stopSeenAt_ = now;
    return now - *stopSeenAt_ >= kStopGrace;
}

uint64_t MediaTransfer::BytesStillToCome() const {
    // Bytes gathered for a larger write have not taken their room on the disk yet.
    const uint64_t onDisk = receivedBytes_ - std::min<uint64_t>(file_.PendingBytes(), receivedBytes_);
    return announcedEnd_ > onDisk ? announcedEnd_ - onDisk : 0;
}

bool MediaTransfer::OnBody(const char* data, size_t size) {
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
    // A stop ends the transfer after the piece that came with it: the part
    // keeps every byte that crossed the line, for the next run to go on from.
    // The piece that completes the file ends it as it is: whole, it is stored,
    // where a part as long as the file could only be asked for again.
    const bool whole = announcedEnd_ > 0 && receivedBytes_ >= announcedEnd_;
    if (StopRequested() && !whole) {
        cutShort_ = true;
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
            DropFile();
            Log("DownloadImage(), SendRequest failed, %s", url_.c_str());
            return DownloadResult::Refused;
        case platform::HttpFailure::Aborted:
            file_.Discard();
            if (const std::optional<DownloadResult> ours = WhyWeAborted()) return *ours;
            break;
        case platform::HttpFailure::Status:
        case platform::HttpFailure::Body:
            DropFile();
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

DownloadResult DownloadImage(const DownloadRoute& route, const std::string& url,
                             const std::string& path, const std::atomic<int32_t>* stop) {
    MediaTransfer transfer(route.fileSystem, url, path, route.limits, stop,
                           route.reserveSaidInBatch);
    const DownloadResult begun = transfer.Begin();
    if (begun != DownloadResult::Ok) return begun;
    platform::HttpResult result;
    try {
        result = route.session.Perform(transfer.Request());
    } catch (...) {
        return transfer.Broken();
    }
    return transfer.Finish(result);
}

}  // namespace pixolune
