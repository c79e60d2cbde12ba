#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "engine/download_admission.h"
#include "engine/media_file.h"
#include "platform/http_client.h"

namespace pixolune {

// A media file larger than this is refused. Clips and photos of the service
// are far below it; a server that streams without end must not fill the disk
// the list file and every other media file live on.
inline constexpr uint64_t kMaxMediaFileBytes = 4ull << 30;

// How media downloads are bounded. The plug-in's defaults; tests shorten them
// so that a silent, trickling or endless server costs seconds.
struct MediaDownloadLimits {
    platform::HttpLimits http = platform::MediaTransferLimits();
    uint64_t maxFileBytes = kMaxMediaFileBytes;
};

// What DownloadImage answers; the integers are its callers' result codes.
enum class DownloadResult : int {
    Ok = 0,
    Refused = -1,  // URL, scheme, local file, request or HTTP status
    Broken = -2,   // the transfer failed or threw
    Stopped = -3,  // the stop request cut it short
};

// How a transfer's file begins: made anew over whatever is there (as
// DownloadImage always did), made anew only where nothing is (a pipeline's
// own file), or continued from a part whose validator is known.
struct TransferFileStart {
    enum class Mode { Truncate, Exclusive, Resume };
    Mode mode = Mode::Truncate;
    std::string validator;  // Resume: the ETag or Last-Modified the part came with
};

// The validator a part can be resumed with: a strong ETag, else Last-Modified;
// empty when the answer gave neither (a weak ETag may not be used in If-Range).
[[nodiscard]] std::string ResumeValidatorOf(const platform::HttpResponseHead& head);

// One media download: its temporary file, the hooks of its transfer (status,
// headers, body), the checks that keep a full disk and what is not media out
// of the folder, and the reading of its result into DownloadImage's codes and lines.
// Begin, then run Request() through a session, then Finish (or Broken when
// the transfer threw). A file not finished is removed when the object goes,
// so an abandoned transfer leaves no part behind.
class MediaTransfer {
  public:
    // `reserveSaidInBatch`, when given, is set once the disk reserve's line
    // was written, so that a full disk is said once per batch, not per item.
    // The file and the disk's space are reached through `fileSystem`.
    MediaTransfer(platform::FileSystem& fileSystem, std::string url, std::string path,
                  const MediaDownloadLimits& limits, const std::atomic<int32_t>* stop,
                  std::atomic<bool>* reserveSaidInBatch = nullptr);
    MediaTransfer(const MediaTransfer&) = delete;
    MediaTransfer& operator=(const MediaTransfer&) = delete;

    // Before Begin: how the file begins, and who hears of the answer's
    // validator (empty when none), before any body byte is written.
    void StartFileAs(TransferFileStart start) { start_ = std::move(start); }
    void OnValidator(std::function<void(const std::string&)> heard) {
        validatorHeard_ = std::move(heard);
    }
    // Logs "DownloadImage(), %s -> %s", checks the URL and creates the file,
    // or takes `probeFile` (the naming probe's, under the same path) as it;
    // Ok or Refused (with its line), when the file is gone again.
    [[nodiscard]] DownloadResult Begin(platform::FileHandle probeFile = {});
    // The request whose hooks write this file; valid while the object lives.
    [[nodiscard]] platform::HttpRequest Request();
    // Reads the transfer's result: logs a failure and removes the file, or closes it.
    [[nodiscard]] DownloadResult Finish(const platform::HttpResult& result);
    // The transfer threw: "DownloadImage(), Unknown exception".
    [[nodiscard]] DownloadResult Broken();
    // As Finish, but a failed transfer's part stays for a later try.
    [[nodiscard]] DownloadResult FinishKeepingPart(const platform::HttpResult& result);
    // Closes the file and keeps its part, without a word: it is tried again at once.
    void Suspend() { file_.KeepPart(); }

    const std::string& Url() const { return url_; }
    // The part's answer did not fit it (another range or validator, or no
    // range at all): start over.
    [[nodiscard]] bool StartOverWanted() const { return startOver_; }
    // The bytes the file holds: the part resumed from and what came since.
    [[nodiscard]] uint64_t BytesInFile() const { return receivedBytes_; }
    // Whether what the file holds can be continued with Range in a later try:
    // it holds bytes and their validator is known (this answer's, or before
    // the answer came, that of the part it continues).
    [[nodiscard]] bool Resumable() const {
        return receivedBytes_ > 0 && !(validator_.empty() && start_.validator.empty());
    }
    // What the answer announced and the disk has not taken yet; 0 when it announced nothing.
    [[nodiscard]] uint64_t BytesStillToCome() const;
    // Before Begin: what the other transfers in flight will still write to
    // the disk, weighed with this one's announced length against the reserve.
    void WeighAgainst(std::function<uint64_t()> promisedToOthers) {
        promisedToOthers_ = std::move(promisedToOthers);
    }

  private:
    [[nodiscard]] DownloadResult CheckAndCreate();
    // Finish's readings of a complete transfer and of one our hooks ended;
    // nullopt when no hook of ours ended it.
    [[nodiscard]] DownloadResult FinishComplete();
    [[nodiscard]] bool OpenFile();
    // A 206 answer continues the part only from its own end and with its validator.
    [[nodiscard]] bool PartialAnswerFits(const platform::HttpResponseHead& head);
    void ShowPartToSniffer();
    void DropFile();
    [[nodiscard]] std::optional<DownloadResult> WhyWeAborted();
    bool OnStatus(long status);
    bool OnHead(const platform::HttpResponseHead& head);
    bool OnBody(const char* data, size_t size);
    // Logs why the admission checks refused the file; Refused.
    DownloadResult ReportRefusal();
    [[nodiscard]] bool StopRequested() const { return stop_ && stop_->load() != 0; }
    [[nodiscard]] bool StopTakesHold();
    void LogLimitReached(platform::HttpLimitReached limit) const;

    platform::FileSystem& fileSystem_;
    std::string url_;
    MediaDownloadLimits limits_;
    TransferFileStart start_;
    std::function<void(const std::string&)> validatorHeard_;
    std::function<uint64_t()> promisedToOthers_;
    std::string validator_;
    uint64_t announcedEnd_ = 0;  // the byte the answer's announced length ends at
    uint64_t resumedFromBytes_ = 0;
    bool startOver_ = false;
    bool keepPart_ = false;
    const std::atomic<int32_t>* stop_;
    std::atomic<bool>* reserveSaidInBatch_;
    DownloadAdmission admission_;
    MediaFileWriter file_;
    long badStatus_ = 0;
    bool cutShort_ = false;
    // When the transfer's abort check first saw the stop.
    std::optional<std::chrono::steady_clock::time_point> stopSeenAt_;
    static constexpr std::chrono::milliseconds kStopGrace{100};
    bool writeFailed_ = false;
    bool tooLarge_ = false;
    uint64_t receivedBytes_ = 0;
};

// What a download goes through: the session whose connections it shares,
// the file system, the limits, and the batch's word on the disk's reserve.
struct DownloadRoute {
    platform::HttpSession& session;
    platform::FileSystem& fileSystem;
    MediaDownloadLimits limits;
    std::atomic<bool>* reserveSaidInBatch = nullptr;
};

// Downloads `url` into the file at `path`; `stop` cuts it short.
[[nodiscard]] DownloadResult DownloadImage(const DownloadRoute& route, const std::string& url,
                                           const std::string& path,
                                           const std::atomic<int32_t>* stop);

}  // namespace pixolune
