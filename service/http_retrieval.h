#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "platform/http_client.h"

namespace pixolune {

// API replies are a few kilobytes; anything near this size is a broken or
// hostile server, and is refused rather than held in memory.
inline constexpr size_t kMaxReplyBytes = 16u * 1024u * 1024u;

// The result of InternetReadWholeFile and ReadWholeUrl. It travels as the
// integer the failure text and callers know: 0, one of the negative codes
// named here, the HTTP status the server answered other than 200, 301 or 302
// (ServerAnswered), or a transfer-library code > 0 when no usable status
// arrived (TransferFailed).
enum class RetrievalResult : int {
    Ok = 0,
    OpenFailed = -1,  // the request could not be sent
    ReadFailed = -2,  // the body broke off
    GrowFailed = -3,  // the buffer could not hold the body
};

[[nodiscard]] constexpr RetrievalResult ServerAnswered(int httpStatus) {
    return static_cast<RetrievalResult>(httpStatus);
}
[[nodiscard]] constexpr RetrievalResult TransferFailed(int transferCode) {
    return static_cast<RetrievalResult>(transferCode);
}
// The integer that "Connection to Pixolune server failed with error %d" shows.
[[nodiscard]] constexpr int ResultCode(RetrievalResult result) {
    return static_cast<int>(result);
}

// How API requests are made. The defaults are those of the plug-in; tests
// shorten the limits so that a stalling server costs seconds, not minutes.
struct RetrievalOptions {
    platform::HttpLimits limits = platform::ApiRequestLimits();
    size_t maxReplyBytes = kMaxReplyBytes;
    // Polled while a request runs (also while the server is silent); true
    // ends it with RetrievalResult::ReadFailed. The worker passes its stop request.
    std::function<bool()> shouldAbort;
    // The worker's transfers, whose connections the request reuses; null: a
    // session of its own for each request. Used from one thread only.
    platform::HttpSession* transfers = nullptr;
};

// A failed retrieval in words, for a person: "HTTP status 503", "the reply
// broke off", or the transfer's own reason ("Couldn't connect to server")
// when its `transferCode` is known.
[[nodiscard]] std::string RetrievalFailureText(RetrievalResult result, int transferCode = 0);

// What stands in for the platform's Internet handle: the settings that every
// request opened through it shares.
struct InternetSession {
    std::string agent;
    RetrievalOptions options;
};

// What a retrieval learned beyond its result code.
struct RetrievalDetails {
    std::string retryAfter;  // the Retry-After header of the final answer, as sent
    platform::HttpLimitReached limitReached = platform::HttpLimitReached::None;
    int transferCode = 0;  // the transfer's own code of a failure (0: none)
};

// Fetches `url` whole into `data` (emptied first, left empty on every failure).
// Writes one log line per failure: "InternetOpenUrl() failed, error %d",
// "HttpQueryInfo()  error returned by server: %d", "HttpQueryInfo() failed, error %d",
// "InternetReadWholeFile: error %d returned by InternetReadFile",
// "InternetReadWholeFile: realloc failed" or
// "InternetReadWholeFile: reply larger than %zu bytes refused".
[[nodiscard]] RetrievalResult InternetReadWholeFile(const InternetSession& session,
                                                    const std::string& url, std::string& data,
                                                    RetrievalDetails* details = nullptr);

// Opens a session with the agent "Internet Explorer" for this one URL and
// calls InternetReadWholeFile; nothing survives from one call to the next.
[[nodiscard]] RetrievalResult ReadWholeUrl(const std::string& url, std::string& data,
                                           const RetrievalOptions& options = RetrievalOptions{},
                                           RetrievalDetails* details = nullptr);

// The delay a Retry-After value asks for, in seconds; 0 for an HTTP date,
// an empty or a malformed value. Capped at one day.
[[nodiscard]] unsigned RetryAfterSeconds(const std::string& value);

}  // namespace pixolune
