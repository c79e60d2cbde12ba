#include "platform/http_client.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/ascii.h"
#include "platform/curl_library.h"
#include "platform/rate_budget.h"

namespace pixolune::platform {
namespace {

// libcurl's entries, reached only once a session has loaded the library.
const CurlFunctions& Lib() {
    return *Curl();
}

// The least a socket read may take in, whatever piece size the caller asked for.
constexpr size_t kSocketReadBytes = 64 * 1024;

struct CurlEasyDeleter {
    void operator()(CURL* handle) const { Lib().easy_cleanup(handle); }
};
using CurlEasy = std::unique_ptr<CURL, CurlEasyDeleter>;

struct CurlListDeleter {
    void operator()(curl_slist* list) const { Lib().slist_free_all(list); }
};
using CurlList = std::unique_ptr<curl_slist, CurlListDeleter>;

// curl_global_init is not thread-safe; the first session of any thread does
// it. Its result is kept: nothing may be started on a library that failed it.
CURLcode InitialiseCurlOnce() {
    static std::once_flag once;
    static CURLcode result = CURLE_OK;
    std::call_once(once, [] { result = Lib().global_init(CURL_GLOBAL_DEFAULT); });
    return result;
}

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    return EqualsIgnoringAsciiCase(text.substr(0, prefix.size()), prefix);
}

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && IsAsciiSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsAsciiSpace(text.back())) text.remove_suffix(1);
    return text;
}

// 18 decimal digits always fit an int64_t, so the sum below cannot overflow.
constexpr size_t kMaxLengthDigits = 18;

// A Content-Length value; -1 for one that is not a plain decimal number.
int64_t ParseLength(std::string_view text) {
    if (text.empty() || text.size() > kMaxLengthDigits) return -1;
    int64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

// The first byte of "bytes START-END/TOTAL"; -1 for anything else.
int64_t ParseRangeStart(std::string_view text) {
    constexpr std::string_view kUnit = "bytes ";
    if (text.substr(0, kUnit.size()) != kUnit) return -1;
    text.remove_prefix(kUnit.size());
    const size_t dash = text.find('-');
    if (dash == std::string_view::npos) return -1;
    return ParseLength(text.substr(0, dash));
}

// The value of a header line that starts with `name` (with its colon), blanks trimmed.
std::optional<std::string> HeaderValue(std::string_view line, std::string_view name) {
    if (!StartsWithIgnoringCase(line, name)) return std::nullopt;
    return std::string(TrimBlanks(line.substr(name.size())));
}

// Codes that mean the request never reached a server that could answer it.
bool IsConnectFailure(CURLcode code) {
    switch (code) {
        case CURLE_UNSUPPORTED_PROTOCOL:
        case CURLE_FAILED_INIT:
        case CURLE_URL_MALFORMAT:
        case CURLE_NOT_BUILT_IN:
        case CURLE_COULDNT_RESOLVE_PROXY:
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_CONNECT:
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
        case CURLE_SSL_ENGINE_INITFAILED:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SEND_ERROR:
        case CURLE_TOO_MANY_REDIRECTS:
        case CURLE_OUT_OF_MEMORY:
            return true;
        default:
            return false;
    }
}

// Codes of a line or host that is away, as opposed to one that answers wrongly.
bool IsUnreachable(CURLcode code) {
    return code == CURLE_COULDNT_RESOLVE_PROXY || code == CURLE_COULDNT_RESOLVE_HOST ||
           code == CURLE_COULDNT_CONNECT || code == CURLE_OPERATION_TIMEDOUT ||
           code == CURLE_SEND_ERROR;
}

struct CurlMultiDeleter {
    void operator()(CURLM* handle) const { Lib().multi_cleanup(handle); }
};
using CurlMulti = std::unique_ptr<CURLM, CurlMultiDeleter>;

struct CurlShareDeleter {
    void operator()(CURLSH* handle) const { Lib().share_cleanup(handle); }
};
using CurlShare = std::unique_ptr<CURLSH, CurlShareDeleter>;

using Clock = std::chrono::steady_clock;

RateBudget::Ms SinceEpoch(Clock::time_point when) {
    return std::chrono::duration_cast<RateBudget::Ms>(when.time_since_epoch());
}

// One transfer: owns its easy handle and the callbacks' state, and turns
// libcurl's events into the calls of HttpRequest. Exceptions thrown by those
// calls must not unwind through libcurl's C frames, so they are held and
// rethrown by TakeResult.
class Transfer {
  public:
    explicit Transfer(HttpRequest request) : request_(std::move(request)) {}

    // Its pieces are taken from `budget` under `id`; set before Setup.
    void ShareBudget(RateBudget* budget, uint64_t id) {
        budget_ = budget;
        id_ = id;
    }

    // False when no easy handle could be made; the transfer is then done.
    bool Setup(CURLSH* share) {
        easy_.reset(Lib().easy_init());
        if (!easy_) {
            Finish(CURLE_FAILED_INIT);
            return false;
        }
        headers_ = BuildHeaders();
        Configure(share);
        startedAt_ = Clock::now();
        return true;
    }

    CURL* Easy() const { return easy_.get(); }
    bool Done() const { return done_; }

    void Finish(CURLcode code) {
        done_ = true;
        result_ = Result(code);
    }

    // Ended by the session rather than by libcurl: the session's loop failed,
    // or the library could not be set up.
    void FinishBySession(const std::string& why, bool loopFailed) {
        done_ = true;
        result_ = Result(CURLE_FAILED_INIT);
        if (result_.failure == HttpFailure::None) result_.failure = HttpFailure::Body;
        result_.errorText = why;
        result_.loopFailed = loopFailed;
    }

    // Goes on after the budget held it back; the time held does not count
    // against the low-speed limit.
    void Resume() {
        if (heldSince_) heldTotal_ += Clock::now() - *heldSince_;
        heldSince_.reset();
        if (easy_ && !done_) Lib().easy_pause(easy_.get(), CURLPAUSE_CONT);
    }
    bool Held() const { return heldSince_.has_value(); }

    std::exception_ptr TakeException() { return std::exchange(pendingException_, nullptr); }

    HttpResult TakeResult() {
        if (pendingException_) std::rethrow_exception(pendingException_);
        return result_;
    }

    bool AbortRequested() {
        if (aborted_) return true;
        if (!request_.shouldAbort) return false;
        try {
            aborted_ = request_.shouldAbort();
        } catch (...) {
            pendingException_ = std::current_exception();
            return true;
        }
        return aborted_;
    }

  private:
    CurlList BuildHeaders() const {
        // Neither the service nor any cache between us may answer from a stored copy.
        CurlList list;
        for (const char* line : {"Pragma: no-cache", "Cache-Control: no-cache"})
            list.reset(Lib().slist_append(list.release(), line));
        for (const std::string& line : request_.headers)
            list.reset(Lib().slist_append(list.release(), line.c_str()));
        return list;
    }

    void Configure(CURLSH* share) {
        CURL* easy = easy_.get();
        Lib().easy_setopt(easy, CURLOPT_URL, request_.url.c_str());
        // Signals cannot be used for time-outs in a process with several threads.
        Lib().easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        Lib().easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
        Lib().easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
        Lib().easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
        Lib().easy_setopt(easy, CURLOPT_MAXREDIRS, request_.limits.maxRedirects);
        Lib().easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, request_.limits.connectTimeoutSeconds);
        // Under a rate cap the low-speed limit is kept here: the time a transfer
        // is held back by the cap is not the server's slowness.
        ownLowSpeedCheck_ = budget_ && budget_->Capped();
        if (!ownLowSpeedCheck_) {
            Lib().easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT,
                              request_.limits.lowSpeedBytesPerSecond);
            Lib().easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, request_.limits.lowSpeedSeconds);
        }
        Lib().easy_setopt(easy, CURLOPT_TIMEOUT, request_.limits.totalTimeoutSeconds);
        Lib().easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
        Lib().easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
        if (const char* bundle = std::getenv("PIXOLUNE_CA_BUNDLE"); bundle && *bundle)
            Lib().easy_setopt(easy, CURLOPT_CAINFO, bundle);
        // A proxy's own "200 Connection established" is not the server's answer.
        Lib().easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
        // HTTP/2 where the server offers it. Over TLS a transfer waits for a
        // connection being set up, which tells at once whether it multiplexes,
        // rather than open another; over plain HTTP that would only be known
        // from the first answer, so the transfers behind it would wait for it.
        Lib().easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2TLS));
        if (StartsWithIgnoringCase(request_.url, "https:"))
            Lib().easy_setopt(easy, CURLOPT_PIPEWAIT, 1L);
        if (share) Lib().easy_setopt(easy, CURLOPT_SHARE, share);
        if (!request_.userAgent.empty())
            Lib().easy_setopt(easy, CURLOPT_USERAGENT, request_.userAgent.c_str());
        Lib().easy_setopt(easy, CURLOPT_HTTPHEADER, headers_.get());
        // Small pieces for the caller need not mean small socket reads: each read
        // costs a readiness check and a call, and 4 KiB reads made a download
        // twice as slow as the link. Larger reads are cut into pieces below.
        if (request_.bufferSize > 0)
            Lib().easy_setopt(easy, CURLOPT_BUFFERSIZE,
                              static_cast<long>(std::max(request_.bufferSize, kSocketReadBytes)));
        errorBuffer_[0] = '\0';
        Lib().easy_setopt(easy, CURLOPT_ERRORBUFFER, errorBuffer_);
        Lib().easy_setopt(easy, CURLOPT_PRIVATE, this);

        Lib().easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Transfer::HeaderThunk);
        Lib().easy_setopt(easy, CURLOPT_HEADERDATA, this);
        Lib().easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::BodyThunk);
        Lib().easy_setopt(easy, CURLOPT_WRITEDATA, this);
        Lib().easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
        Lib().easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &Transfer::ProgressThunk);
        Lib().easy_setopt(easy, CURLOPT_XFERINFODATA, this);
    }

    static size_t HeaderThunk(char* data, size_t size, size_t count, void* self) {
        return static_cast<Transfer*>(self)->OnHeaderLine(std::string_view(data, size * count));
    }
    static size_t BodyThunk(char* data, size_t size, size_t count, void* self) {
        return static_cast<Transfer*>(self)->OnBodyPiece(data, size * count);
    }
    static int ProgressThunk(void* self, curl_off_t, curl_off_t received, curl_off_t, curl_off_t) {
        Transfer& transfer = *static_cast<Transfer*>(self);
        if (transfer.TooSlow(received)) return 1;
        return transfer.AbortRequested() ? 1 : 0;
    }

    // The time since the request was sent, less the time the budget held it.
    Clock::duration ActiveTime(Clock::time_point now) const {
        Clock::duration held = heldTotal_;
        if (heldSince_) held += now - *heldSince_;
        return now - startedAt_ - held;
    }

    // The low-speed limit over the time not held back: fewer bytes than the
    // limit allows in its time, counted from the last time enough came.
    bool TooSlow(curl_off_t received) {
        if (!ownLowSpeedCheck_ || lowSpeed_) return lowSpeed_;
        const long floor = request_.limits.lowSpeedBytesPerSecond;
        const long seconds = request_.limits.lowSpeedSeconds;
        if (floor <= 0 || seconds <= 0 || !Connected(easy_.get())) return false;
        const Clock::duration active = ActiveTime(Clock::now());
        if (!windowStarted_ ||
            received - windowStartBytes_ >= static_cast<curl_off_t>(floor) * seconds) {
            windowStarted_ = true;
            windowStartBytes_ = received;
            windowStartActive_ = active;
            return false;
        }
        lowSpeed_ = active - windowStartActive_ >= std::chrono::seconds(seconds);
        return lowSpeed_;
    }

    // libcurl hands over every header line of every answer, 1xx and redirect
    // hops included; only the end of the final answer's headers counts.
    size_t OnHeaderLine(std::string_view line) {
        if (StartsWithIgnoringCase(line, "HTTP/")) {
            retryAfter_.clear();
            head_ = HttpResponseHead{};
            sawLocation_ = false;
            return line.size();
        }
        const std::string_view trimmed = TrimBlanks(line);
        if (!trimmed.empty()) {
            if (StartsWithIgnoringCase(trimmed, "location:")) sawLocation_ = true;
            if (const auto value = HeaderValue(trimmed, "retry-after:")) retryAfter_ = *value;
            if (const auto value = HeaderValue(trimmed, "content-type:"))
                head_.contentType = *value;
            if (const auto value = HeaderValue(trimmed, "content-length:"))
                head_.contentLength = ParseLength(*value);
            if (const auto value = HeaderValue(trimmed, "etag:")) head_.etag = *value;
            if (const auto value = HeaderValue(trimmed, "last-modified:"))
                head_.lastModified = *value;
            if (const auto value = HeaderValue(trimmed, "content-range:"))
                head_.rangeStart = ParseRangeStart(*value);
            return line.size();
        }
        long status = 0;
        Lib().easy_getinfo(easy_.get(), CURLINFO_RESPONSE_CODE, &status);
        const bool informational = status >= 100 && status < 200;
        const bool redirectHop = status >= 300 && status < 400 && status != 304 && sawLocation_;
        if (informational || redirectHop || statusDelivered_) return line.size();
        return DeliverStatus(status) ? line.size() : 0;
    }

    bool DeliverStatus(long status) {
        statusDelivered_ = true;
        finalStatus_ = status;
        finalRetryAfter_ = retryAfter_;
        try {
            if (request_.onStatus && !request_.onStatus(status)) {
                skipped_ = true;
                return false;
            }
            head_.status = status;
            if (request_.onHead && !request_.onHead(head_)) {
                aborted_ = true;
                return false;
            }
            return true;
        } catch (...) {
            pendingException_ = std::current_exception();
        }
        return false;
    }

    size_t OnBodyPiece(const char* data, size_t size) {
        if (!statusDelivered_) {
            long status = 0;
            Lib().easy_getinfo(easy_.get(), CURLINFO_RESPONSE_CODE, &status);
            if (!DeliverStatus(status)) return 0;
        }
        // Held back by the rate cap: libcurl keeps the bytes and hands them
        // over again once the session resumes the transfer.
        if (budget_ && !budget_->Take(id_, size, SinceEpoch(Clock::now()))) {
            heldSince_ = Clock::now();
            return CURL_WRITEFUNC_PAUSE;
        }
        // Each piece is handed over, and a stop or abort noticed, as if it had
        // been read alone.
        const size_t pieceBytes = request_.bufferSize > 0 ? request_.bufferSize : size;
        for (size_t offset = 0; offset < size; offset += pieceBytes) {
            const size_t piece = std::min(pieceBytes, size - offset);
            try {
                if (request_.onBody && !request_.onBody(data + offset, piece)) {
                    aborted_ = true;
                    return 0;
                }
            } catch (...) {
                pendingException_ = std::current_exception();
                return 0;
            }
            if (AbortRequested()) return 0;
        }
        return size;
    }

    HttpResult Failed(HttpFailure failure, CURLcode code) const {
        HttpResult result;
        result.failure = failure;
        result.errorCode = static_cast<int>(code);
        result.errorText = errorBuffer_[0] ? errorBuffer_ : TransferErrorText(code);
        return result;
    }

    HttpResult Result(CURLcode code) {
        CURL* easy = easy_.get();
        // A body-less answer never reaches the write callback; its status still counts.
        if (easy && code == CURLE_OK && !statusDelivered_ && !pendingException_) {
            long status = 0;
            Lib().easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
            (void)DeliverStatus(status);
        }
        HttpResult result;
        if (skipped_) {
            result.failure = HttpFailure::Skipped;
        } else if (lowSpeed_) {
            result = Failed(statusDelivered_ ? HttpFailure::Body : HttpFailure::Status,
                            CURLE_OPERATION_TIMEDOUT);
            result.errorText = "slower than " +
                               std::to_string(request_.limits.lowSpeedBytesPerSecond) +
                               " bytes/s for " + std::to_string(request_.limits.lowSpeedSeconds) +
                               " s, not counting the time the rate cap held it";
            result.limitReached = HttpLimitReached::LowSpeed;
        } else if (aborted_) {
            result =
                Failed(HttpFailure::Aborted, code == CURLE_OK ? CURLE_ABORTED_BY_CALLBACK : code);
        } else if (code != CURLE_OK) {
            const bool connected = easy && Connected(easy);
            const HttpFailure failure =
                statusDelivered_ ? HttpFailure::Body
                : IsConnectFailure(code) || (code == CURLE_OPERATION_TIMEDOUT && !connected)
                    ? HttpFailure::Connect
                    : HttpFailure::Status;
            result = Failed(failure, code);
            if (code == CURLE_OPERATION_TIMEDOUT && connected) result.limitReached = LimitReached();
            result.hostUnreachable = failure == HttpFailure::Connect && IsUnreachable(code);
        }
        if (statusDelivered_) {
            result.status = finalStatus_;
            result.retryAfter = finalRetryAfter_;
        }
        return result;
    }

    // Both limits end a transfer with the same code; the clock tells them apart.
    HttpLimitReached LimitReached() const {
        // libcurl's own clock starts a little before ours.
        constexpr auto kClockSlack = std::chrono::milliseconds(500);
        const long deadline = request_.limits.totalTimeoutSeconds;
        const auto elapsed = Clock::now() - startedAt_;
        if (deadline > 0 && elapsed >= std::chrono::seconds(deadline) - kClockSlack)
            return HttpLimitReached::Deadline;
        return HttpLimitReached::LowSpeed;
    }

    // Tells a connect time-out from a server that accepted and then stalled.
    static bool Connected(CURL* easy) {
        curl_off_t requestSentAt = 0;
        Lib().easy_getinfo(easy, CURLINFO_PRETRANSFER_TIME_T, &requestSentAt);
        return requestSentAt > 0;
    }

    HttpRequest request_;
    RateBudget* budget_ = nullptr;
    uint64_t id_ = 0;
    std::optional<Clock::time_point> heldSince_;  // paused by the budget since
    Clock::duration heldTotal_{};
    bool ownLowSpeedCheck_ = false;
    bool windowStarted_ = false;
    curl_off_t windowStartBytes_ = 0;
    Clock::duration windowStartActive_{};
    bool lowSpeed_ = false;
    CurlEasy easy_;
    CurlList headers_;
    Clock::time_point startedAt_;
    char errorBuffer_[CURL_ERROR_SIZE] = {};
    std::string retryAfter_;
    std::string finalRetryAfter_;
    HttpResponseHead head_;
    long finalStatus_ = 0;
    bool sawLocation_ = false;
    bool statusDelivered_ = false;
    bool skipped_ = false;
    bool aborted_ = false;
    bool done_ = false;
    HttpResult result_;
    std::exception_ptr pendingException_;
};

// A silent transfer's abort hook is asked at least this often.
constexpr int kPollMs = 250;

class CurlTransport final : public HttpSession::Transport {
  public:
    using TransferId = HttpSession::TransferId;
    using Ended = HttpSession::Ended;

    CurlTransport() = default;

    ~CurlTransport() override {
        // Easy handles leave the multi handle, and go, before it and the share handle do.
        while (!transfers_.empty()) Cancel(transfers_.begin()->first);
    }

    TransferId Start(HttpRequest request) override {
        SetUpOnce();
        const TransferId id = nextId_++;
        auto transfer = std::make_unique<Transfer>(std::move(request));
        transfer->ShareBudget(&budget_, id);
        if (!multi_) {
            transfer->FinishBySession(setupFailure_, false);
            ended_.push_back(id);
        } else if (transfer->Setup(share_.get()) &&
                   Lib().multi_add_handle(multi_.get(), transfer->Easy()) != CURLM_OK) {
            transfer->Finish(CURLE_FAILED_INIT);
            ended_.push_back(id);
        } else if (transfer->Done()) {
            ended_.push_back(id);
        }
        transfers_.emplace(id, std::move(transfer));
        return id;
    }

    HttpResult Wait(TransferId id) override {
        const auto found = transfers_.find(id);
        if (found == transfers_.end()) {
            HttpResult unknown;
            unknown.failure = HttpFailure::Connect;
            unknown.errorCode = static_cast<int>(CURLE_FAILED_INIT);
            unknown.errorText = "no such transfer";
            return unknown;
        }
        Transfer& transfer = *found->second;
        awaited_.insert(id);
        try {
            DriveUntilDone(transfer);
        } catch (...) {
            // Thrown by the waiting hook: the request's callbacks refer to the
            // caller's frames, which are going.
            awaited_.erase(id);
            Cancel(id);
            throw;
        }
        awaited_.erase(id);
        std::unique_ptr<Transfer> ended = std::move(found->second);
        transfers_.erase(found);
        ended_.erase(std::remove(ended_.begin(), ended_.end(), id), ended_.end());
        return ended->TakeResult();
    }

    std::vector<Ended> DriveUntilOneEnds(std::chrono::milliseconds maxWait) override {
        const auto deadline = Clock::now() + maxWait;
        DriveOnce();
        while (ended_.empty() && !woken_.exchange(false)) {
            // Rounded up: a wait cut to 0 ms would have the caller spin until its time.
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            // Also with nothing in flight: the caller waits out a pause, and a wake-up ends it.
            if (left.count() <= 0) break;
            Poll(std::min(left, PollLimit()));
            DriveOnce();
        }
        return CollectEnded();
    }

    void Wakeup() override {
        // Under the lock: the multi handle may be made meanwhile on the session's thread.
        std::lock_guard<std::mutex> lock(wakeMutex_);
        woken_.store(true);
        wakeChanged_.notify_all();
        if (multi_) Lib().multi_wakeup(multi_.get());
    }

    void Cancel(TransferId id) override {
        const auto found = transfers_.find(id);
        if (found == transfers_.end()) return;
        Detach(*found->second);
        transfers_.erase(found);
        ended_.erase(std::remove(ended_.begin(), ended_.end(), id), ended_.end());
    }

    void WhileWaiting(std::function<void()> hook) override { whileWaiting_ = std::move(hook); }

    void SetRateCap(int64_t bytesPerSecond) override {
        budget_.SetRate(bytesPerSecond, SinceEpoch(Clock::now()));
        ResumeFromBudget();
    }

    size_t InFlight() const override {
        size_t count = 0;
        for (const auto& entry : transfers_) count += entry.second->Done() ? 0 : 1;
        return count;
    }

    uint64_t ConnectionsOpened() const override { return connectionsOpened_; }

  private:
    // libcurl, and the TLS library with it, is loaded and set up for the
    // first transfer rather than with the session: a plug-in asked only for
    // its version or its settings never pays for them.
    void SetUpOnce() {
        if (setUpTried_) return;
        setUpTried_ = true;
        if (!Curl()) {
            setupFailure_ = CurlLoadFailure();
            return;
        }
        const CURLcode initialised = InitialiseCurlOnce();
        if (initialised != CURLE_OK) {
            setupFailure_ =
                std::string("curl_global_init failed: ") + TransferErrorText(initialised);
            return;
        }
        // Used from one thread at a time, so the share handle needs no lock callbacks.
        share_.reset(Lib().share_init());
        if (share_) {
            Lib().share_setopt(share_.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
            Lib().share_setopt(share_.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
        }
        CurlMulti multi(Lib().multi_init());
        if (!multi) {
            setupFailure_ = "curl_multi_init failed";
            return;
        }
        Lib().multi_setopt(multi.get(), CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX);
        Lib().multi_setopt(multi.get(), CURLMOPT_MAX_HOST_CONNECTIONS, HttpSession::kMaxConnectionsPerHost);
        Lib().multi_setopt(multi.get(), CURLMOPT_MAX_TOTAL_CONNECTIONS, HttpSession::kMaxConnectionsTotal);
        Lib().multi_setopt(multi.get(), CURLMOPT_MAX_CONCURRENT_STREAMS, HttpSession::kMaxStreamsPerConnection);
        std::lock_guard<std::mutex> lock(wakeMutex_);
        multi_ = std::move(multi);
    }

    // A held transfer goes on as soon as the budget allows, not at the next poll.
    std::chrono::milliseconds PollLimit() {
        std::chrono::milliseconds limit(kPollMs);
        if (const auto resume = budget_.TimeToResume(SinceEpoch(Clock::now())))
            limit = std::clamp(*resume, std::chrono::milliseconds(1), limit);
        return limit;
    }

    void ResumeFromBudget() {
        while (const auto id = budget_.NextToResume(SinceEpoch(Clock::now()))) {
            const auto found = transfers_.find(*id);
            if (found == transfers_.end() || found->second->Done()) {
                budget_.Forget(*id);
                continue;
            }
            // May hand over the bytes kept at once, and so take from the budget.
            found->second->Resume();
        }
    }

    // The waiting hook is called once the request is under way (so that it
    // goes out before whatever the hook starts) and again whenever others
    // have ended since its last call.
    void DriveUntilDone(const Transfer& transfer) {
        bool hookDue = static_cast<bool>(whileWaiting_) && !inHook_;
        size_t othersSeen = 0;
        while (!transfer.Done()) {
            DriveOnce();
            if (transfer.Done()) break;
            const size_t others = OthersEnded();
            if (whileWaiting_ && !inHook_ && (hookDue || others > othersSeen)) {
                hookDue = false;
                inHook_ = true;
                try {
                    whileWaiting_();
                } catch (...) {
                    inHook_ = false;
                    throw;
                }
                inHook_ = false;
                othersSeen = OthersEnded();
                continue;  // what the hook started goes out before the next wait
            }
            Poll(PollLimit());
        }
    }

    // Transfers that ended and wait to be handed out, those being waited for not counted.
    size_t OthersEnded() const {
        return static_cast<size_t>(
            std::count_if(ended_.begin(), ended_.end(),
                          [this](TransferId id) { return awaited_.count(id) == 0; }));
    }

    std::vector<Ended> CollectEnded() {
        std::vector<Ended> ended;
        std::vector<TransferId> kept;  // those a Wait is waiting for stay its own
        for (const TransferId id : ended_) {
            if (awaited_.count(id) != 0) {
                kept.push_back(id);
                continue;
            }
            const auto found = transfers_.find(id);
            if (found == transfers_.end()) continue;
            Ended entry;
            entry.id = id;
            entry.thrown = found->second->TakeException();
            entry.result = found->second->TakeResult();
            ended.push_back(std::move(entry));
            transfers_.erase(found);
        }
        ended_ = std::move(kept);
        return ended;
    }

    void Poll(std::chrono::milliseconds wait) {
        // libcurl does not wait without a transfer to wait for.
        if (!multi_ || transfers_.empty()) {
            std::unique_lock<std::mutex> lock(wakeMutex_);
            wakeChanged_.wait_for(lock, wait, [this] { return woken_.load(); });
            return;
        }
        const CURLMcode polled =
            Lib().multi_poll(multi_.get(), nullptr, 0, static_cast<int>(wait.count()), nullptr);
        // Else the loop would spin on a multi handle that can no longer wait.
        if (polled != CURLM_OK) EndAllInFlight("curl_multi_poll", polled);
    }

    // As curl's own parallel loop does: a failed multi call ends every transfer.
    void EndAllInFlight(const char* call, CURLMcode code) {
        const std::string why = std::string(call) + " failed: " + Lib().multi_strerror(code);
        for (auto& entry : transfers_) {
            Transfer& transfer = *entry.second;
            if (transfer.Done()) continue;
            Detach(transfer);
            transfer.FinishBySession(why, true);
            ended_.push_back(entry.first);
        }
    }

    void DriveOnce() {
        if (!multi_) return;
        ResumeFromBudget();
        int running = 0;
        const CURLMcode performed = Lib().multi_perform(multi_.get(), &running);
        if (performed != CURLM_OK) {
            EndAllInFlight("curl_multi_perform", performed);
            return;
        }
        int queued = 0;
        while (CURLMsg* message = Lib().multi_info_read(multi_.get(), &queued)) {
            if (message->msg != CURLMSG_DONE) continue;
            Transfer* transfer = nullptr;
            Lib().easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &transfer);
            const CURLcode code = message->data.result;
            if (!transfer || transfer->Done()) continue;
            Detach(*transfer);
            transfer->Finish(code);
            NoteEnded(transfer);
        }
        // A stop must not wait for a transfer that nothing arrives on.
        for (auto& entry : transfers_) {
            Transfer& transfer = *entry.second;
            if (transfer.Done() || !transfer.AbortRequested()) continue;
            Detach(*entry.second);
            transfer.Finish(CURLE_ABORTED_BY_CALLBACK);
            ended_.push_back(entry.first);
        }
    }

    void NoteEnded(const Transfer* transfer) {
        for (const auto& entry : transfers_)
            if (entry.second.get() == transfer) ended_.push_back(entry.first);
    }

    void Detach(Transfer& transfer) {
        for (const auto& entry : transfers_)
            if (entry.second.get() == &transfer) budget_.Forget(entry.first);
        if (!transfer.Easy() || transfer.Done()) return;
        long opened = 0;
        Lib().easy_getinfo(transfer.Easy(), CURLINFO_NUM_CONNECTS, &opened);
        connectionsOpened_ += static_cast<uint64_t>(opened);
        Lib().multi_remove_handle(multi_.get(), transfer.Easy());
    }

    RateBudget budget_{SinceEpoch(Clock::now())};  // outlives the transfers that use it
    CurlShare share_;
    CurlMulti multi_;
    std::map<TransferId, std::unique_ptr<Transfer>> transfers_;
    std::vector<TransferId> ended_;  // ended and not yet handed out, in the order they ended
    std::set<TransferId> awaited_;   // those a Wait is under way for
    std::function<void()> whileWaiting_;
    bool inHook_ = false;  // whileWaiting_ runs; a Wait inside it does not call it again
    // Guards the making of multi_; with wakeChanged_, ends a wait without transfers.
    std::mutex wakeMutex_;
    std::condition_variable wakeChanged_;
    std::atomic<bool> woken_{false};
    bool setUpTried_ = false;
    std::string setupFailure_;  // why no transfer can be made, when none can
    TransferId nextId_ = 1;
    uint64_t connectionsOpened_ = 0;
};

}  // namespace

HttpSession::HttpSession() : impl_(std::make_unique<CurlTransport>()) {}
HttpSession::HttpSession(std::unique_ptr<Transport> transport) : impl_(std::move(transport)) {}
HttpSession::~HttpSession() = default;

HttpSession::TransferId HttpSession::Start(HttpRequest request) {
    return impl_->Start(std::move(request));
}
HttpResult HttpSession::Wait(TransferId id) {
    return impl_->Wait(id);
}
std::vector<HttpSession::Ended> HttpSession::DriveUntilOneEnds(std::chrono::milliseconds maxWait) {
    return impl_->DriveUntilOneEnds(maxWait);
}
void HttpSession::Wakeup() {
    impl_->Wakeup();
}
void HttpSession::WhileWaiting(std::function<void()> hook) {
    impl_->WhileWaiting(std::move(hook));
}
void HttpSession::Cancel(TransferId id) {
    impl_->Cancel(id);
}
size_t HttpSession::InFlight() const {
    return impl_->InFlight();
}
void HttpSession::SetRateCap(int64_t bytesPerSecond) {
    impl_->SetRateCap(bytesPerSecond);
}
uint64_t HttpSession::ConnectionsOpened() const {
    return impl_->ConnectionsOpened();
}

HttpResult PerformHttpGet(const HttpRequest& request) {
    HttpSession session;
    return session.Perform(request);
}

std::string TransferErrorText(int code) {
    if (!Curl()) return "transfer error " + std::to_string(code);
    return Lib().easy_strerror(static_cast<CURLcode>(code));
}

}  // namespace pixolune::platform
