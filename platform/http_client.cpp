#include "platform/http_client.h"

#include <curl/curl.h>

#include <cctype>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <string_view>

namespace pixolune::platform {
namespace {

struct CurlEasyDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlEasy = std::unique_ptr<CURL, CurlEasyDeleter>;

struct CurlListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using CurlList = std::unique_ptr<curl_slist, CurlListDeleter>;

// curl_global_init is not thread-safe; the first transfer of any thread does it.
void InitialiseCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) !=
            std::tolower(static_cast<unsigned char>(prefix[i])))
            return false;
    }
    return true;
}

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.remove_suffix(1);
    return text;
}

// A Content-Length value; -1 for one that is not a plain decimal number.
int64_t ParseLength(std::string_view text) {
    if (text.empty() || text.size() > 18) return -1;
    int64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return -1;
        value = value * 10 + (c - '0');
    }
    return value;
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

// One transfer: owns the callbacks' state and turns libcurl's events into the
// calls of HttpRequest. Exceptions thrown by those calls must not unwind
// through libcurl's C frames, so they are held and rethrown after it returns.
class Transfer {
  public:
    explicit Transfer(const HttpRequest& request) : request_(request) {}

    HttpResult Run() {
        InitialiseCurlOnce();
        CurlEasy easy(curl_easy_init());
        if (!easy) return Failed(HttpFailure::Connect, CURLE_FAILED_INIT);
        CurlList headers = BuildHeaders();
        Configure(easy.get(), headers.get());
        const CURLcode code = curl_easy_perform(easy.get());
        if (pendingException_) std::rethrow_exception(pendingException_);
        return Finish(easy.get(), code);
    }

  private:
    CurlList BuildHeaders() const {
        // Neither the service nor any cache between us may answer from a stored copy.
        CurlList list;
        for (const char* line : {"Pragma: no-cache", "Cache-Control: no-cache"})
            list.reset(curl_slist_append(list.release(), line));
        for (const std::string& line : request_.headers)
            list.reset(curl_slist_append(list.release(), line.c_str()));
        return list;
    }

    void Configure(CURL* easy, curl_slist* headers) {
        curl_easy_setopt(easy, CURLOPT_URL, request_.url.c_str());
        // Signals cannot be used for time-outs in a process with several threads.
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(easy, CURLOPT_MAXREDIRS, request_.limits.maxRedirects);
        curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, request_.limits.connectTimeoutSeconds);
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, request_.limits.lowSpeedBytesPerSecond);
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, request_.limits.lowSpeedSeconds);
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
        if (const char* bundle = std::getenv("PIXOLUNE_CA_BUNDLE"); bundle && *bundle)
            curl_easy_setopt(easy, CURLOPT_CAINFO, bundle);
        // A proxy's own "200 Connection established" is not the server's answer.
        curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
        if (!request_.userAgent.empty())
            curl_easy_setopt(easy, CURLOPT_USERAGENT, request_.userAgent.c_str());
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
        if (request_.bufferSize > 0)
            curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, static_cast<long>(request_.bufferSize));
        errorBuffer_[0] = '\0';
        curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorBuffer_);

        curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Transfer::HeaderThunk);
        curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::BodyThunk);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
        curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &Transfer::ProgressThunk);
        curl_easy_setopt(easy, CURLOPT_XFERINFODATA, this);
        easy_ = easy;
    }

    static size_t HeaderThunk(char* data, size_t size, size_t count, void* self) {
        return static_cast<Transfer*>(self)->OnHeaderLine(std::string_view(data, size * count));
    }
    static size_t BodyThunk(char* data, size_t size, size_t count, void* self) {
        return static_cast<Transfer*>(self)->OnBodyPiece(data, size * count);
    }
    static int ProgressThunk(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
        return static_cast<Transfer*>(self)->AbortRequested() ? 1 : 0;
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
            if (StartsWithIgnoringCase(trimmed, "retry-after:"))
                retryAfter_ = std::string(TrimBlanks(trimmed.substr(12)));
            if (StartsWithIgnoringCase(trimmed, "content-type:"))
                head_.contentType = std::string(TrimBlanks(trimmed.substr(13)));
            if (StartsWithIgnoringCase(trimmed, "content-length:"))
                head_.contentLength = ParseLength(TrimBlanks(trimmed.substr(15)));
            return line.size();
        }
        long status = 0;
        curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &status);
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
            curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &status);
            if (!DeliverStatus(status)) return 0;
        }
        try {
            if (request_.onBody && !request_.onBody(data, size)) {
                aborted_ = true;
                return 0;
            }
        } catch (...) {
            pendingException_ = std::current_exception();
            return 0;
        }
        return AbortRequested() ? 0 : size;
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

    HttpResult Failed(HttpFailure failure, CURLcode code) const {
        HttpResult result;
        result.failure = failure;
        result.errorCode = static_cast<int>(code);
        result.errorText = errorBuffer_[0] ? errorBuffer_ : curl_easy_strerror(code);
        return result;
    }

    HttpResult Finish(CURL* easy, CURLcode code) {
        // A body-less answer never reaches the write callback; its status still counts.
        if (code == CURLE_OK && !statusDelivered_) {
            long status = 0;
            curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
            if (!DeliverStatus(status) && pendingException_)
                std::rethrow_exception(pendingException_);
        }
        HttpResult result;
        if (skipped_) {
            result.failure = HttpFailure::Skipped;
        } else if (aborted_) {
            result =
                Failed(HttpFailure::Aborted, code == CURLE_OK ? CURLE_ABORTED_BY_CALLBACK : code);
        } else if (code != CURLE_OK) {
            const HttpFailure failure =
                statusDelivered_ ? HttpFailure::Body
                : IsConnectFailure(code) || (code == CURLE_OPERATION_TIMEDOUT && !Connected(easy))
                    ? HttpFailure::Connect
                    : HttpFailure::Status;
            result = Failed(failure, code);
        }
        if (statusDelivered_) {
            result.status = finalStatus_;
            result.retryAfter = finalRetryAfter_;
        }
        return result;
    }

    // Tells a connect time-out from a server that accepted and then stalled.
    static bool Connected(CURL* easy) {
        curl_off_t requestSentAt = 0;
        curl_easy_getinfo(easy, CURLINFO_PRETRANSFER_TIME_T, &requestSentAt);
        return requestSentAt > 0;
    }

    const HttpRequest& request_;
    CURL* easy_ = nullptr;
    char errorBuffer_[CURL_ERROR_SIZE] = {};
    std::string retryAfter_;
    std::string finalRetryAfter_;
    HttpResponseHead head_;
    long finalStatus_ = 0;
    bool sawLocation_ = false;
    bool statusDelivered_ = false;
    bool skipped_ = false;
    bool aborted_ = false;
    std::exception_ptr pendingException_;
};

}  // namespace

HttpResult PerformHttpGet(const HttpRequest& request) {
    return Transfer(request).Run();
}

}  // namespace pixolune::platform
