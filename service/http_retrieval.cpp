#include "service/http_retrieval.h"

#include <algorithm>
#include <new>

#include "model/host_link.h"

namespace pixolune {
namespace {

constexpr int kFirstHttpStatus = 100;

// Collects the body. Capacity doubles as it fills, so a reply of n bytes
// costs O(log n) reallocations instead of one per piece.
class ReplyBuffer {
  public:
    enum class AppendResult { Stored, TooLarge, OutOfMemory };

    ReplyBuffer(std::string& data, size_t limit) : data_(data), limit_(limit) {}

    AppendResult Append(const char* bytes, size_t size) {
        if (size > limit_ - std::min(limit_, data_.size())) return AppendResult::TooLarge;
        const size_t needed = data_.size() + size;
        try {
            if (needed > data_.capacity()) {
                data_.reserve(std::min(
                    limit_, std::max({needed, 2 * data_.capacity(), kFirstCapacityBytes})));
            }
            data_.append(bytes, size);
        } catch (const std::bad_alloc&) {
            return AppendResult::OutOfMemory;
        }
        return AppendResult::Stored;
    }

  private:
    // One allocation covers a typical reply.
    static constexpr size_t kFirstCapacityBytes = 4096;
    std::string& data_;
    size_t limit_;
};

bool IsAcceptedStatus(long status) {
    return status == 200 || status == 301 || status == 302;
}

// Turns a failed transfer into the line and the result of the layer it
// stands in for: the open, the status query or the read of the body.
RetrievalResult ReportFailure(const platform::HttpResult& result, ReplyBuffer::AppendResult refusal,
                              size_t maxReplyBytes) {
    switch (result.failure) {
        case platform::HttpFailure::None:
            return RetrievalResult::Ok;  // onStatus let only the accepted statuses through
        case platform::HttpFailure::Connect:
            Log("InternetOpenUrl() failed, error %d", result.errorCode);
            return RetrievalResult::OpenFailed;
        case platform::HttpFailure::Status:
            Log("HttpQueryInfo() failed, error %d", result.errorCode);
            return TransferFailed(result.errorCode);
        case platform::HttpFailure::Skipped:
            if (result.status <= 0) {
                // Not a status at all; it must never read as success.
                Log("HttpQueryInfo() failed, error %d", ResultCode(RetrievalResult::OpenFailed));
                return RetrievalResult::OpenFailed;
            }
            Log("HttpQueryInfo()  error returned by server: %d", static_cast<int>(result.status));
            return ServerAnswered(static_cast<int>(result.status));
        case platform::HttpFailure::Aborted:
            if (refusal == ReplyBuffer::AppendResult::TooLarge) {
                Log("InternetReadWholeFile: reply larger than %zu bytes refused", maxReplyBytes);
                return RetrievalResult::GrowFailed;
            }
            if (refusal == ReplyBuffer::AppendResult::OutOfMemory) {
                Log("InternetReadWholeFile: realloc failed");
                return RetrievalResult::GrowFailed;
            }
            [[fallthrough]];
        case platform::HttpFailure::Body:
            Log("InternetReadWholeFile: error %d returned by InternetReadFile", result.errorCode);
            return RetrievalResult::ReadFailed;
    }
    return RetrievalResult::ReadFailed;
}

}  // namespace

std::string RetrievalFailureText(RetrievalResult result, int transferCode) {
    const int code = ResultCode(result);
    if (code >= kFirstHttpStatus) return "HTTP status " + std::to_string(code);
    if (result == RetrievalResult::OpenFailed && transferCode > 0)
        return platform::TransferErrorText(transferCode);
    switch (result) {
        case RetrievalResult::Ok:
            return "the reply could not be used";
        case RetrievalResult::OpenFailed:
            return "the request could not be sent";
        case RetrievalResult::ReadFailed:
            return "the reply broke off";
        case RetrievalResult::GrowFailed:
            return "the reply was too large";
    }
    return platform::TransferErrorText(code);
}

unsigned RetryAfterSeconds(const std::string& value) {
    constexpr unsigned kOneDaySeconds = 86400;
    if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos) return 0;
    // Beyond a day the exact figure does not matter; stopping there also rules out overflow.
    unsigned seconds = 0;
    for (const char digit : value) {
        seconds = seconds * 10 + static_cast<unsigned>(digit - '0');
        if (seconds >= kOneDaySeconds) return kOneDaySeconds;
    }
    return seconds;
}

RetrievalResult InternetReadWholeFile(const InternetSession& session, const std::string& url,
                                      std::string& data, RetrievalDetails* details) {
    data.clear();
    ReplyBuffer buffer(data, session.options.maxReplyBytes);
    ReplyBuffer::AppendResult refusal = ReplyBuffer::AppendResult::Stored;

    platform::HttpRequest request;
    request.url = url;
    request.userAgent = session.agent;
    request.limits = session.options.limits;
    request.shouldAbort = session.options.shouldAbort;
    request.onStatus = [](long status) { return IsAcceptedStatus(status); };
    request.onBody = [&](const char* bytes, size_t size) {
        refusal = buffer.Append(bytes, size);
        return refusal == ReplyBuffer::AppendResult::Stored;
    };
    const platform::HttpResult result = session.options.transfers
                                            ? session.options.transfers->Perform(request)
                                            : platform::PerformHttpGet(request);
    if (details) {
        details->retryAfter = result.retryAfter;
        details->limitReached = result.limitReached;
        details->transferCode = result.errorCode;
    }
    if (result.failure != platform::HttpFailure::None) data.clear();
    return ReportFailure(result, refusal, session.options.maxReplyBytes);
}

RetrievalResult ReadWholeUrl(const std::string& url, std::string& data,
                             const RetrievalOptions& options, RetrievalDetails* details) {
    const InternetSession session{"Internet Explorer", options};
    return InternetReadWholeFile(session, url, data, details);
}

}  // namespace pixolune
