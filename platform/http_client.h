#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace pixolune::platform {

// Time limits of every transfer, kept in one place. The connect time-out is
// the 60 s a desktop HTTP stack gives by default; the low-speed limit ends a
// transfer that moved less than one byte per second for 60 s, so that a
// server which accepts and then stalls can never hold a request for ever.
struct HttpLimits {
    long connectTimeoutSeconds = 60;
    long lowSpeedBytesPerSecond = 1;
    long lowSpeedSeconds = 60;
    long maxRedirects = 10;
};

// What the final answer's headers announce.
struct HttpResponseHead {
    long status = 0;
    std::string contentType;     // as sent; empty when none
    int64_t contentLength = -1;  // -1 when not announced
};

// One GET request. Only http and https are spoken, also across redirects;
// certificates are always verified (PIXOLUNE_CA_BUNDLE may name an extra
// trust store, for the local test service); the usual proxy environment
// variables are honoured; caches are bypassed both ways.
struct HttpRequest {
    std::string url;
    std::string userAgent;
    std::vector<std::string> headers;  // extra "Name: value" lines
    HttpLimits limits;
    size_t bufferSize = 0;  // largest piece handed to onBody; 0 = the library's default
    // Called once with the final status, before any body byte; false skips the body.
    std::function<bool(long status)> onStatus;
    // Called once after onStatus accepted the answer, before any body byte;
    // false ends the transfer (HttpFailure::Aborted).
    std::function<bool(const HttpResponseHead& head)> onHead;
    // Called for each piece of the body in order; false ends the transfer.
    std::function<bool(const char* data, size_t size)> onBody;
    // Polled about once a second and after every piece, also while nothing
    // arrives; true ends the transfer.
    std::function<bool()> shouldAbort;
};

enum class HttpFailure {
    None,
    Connect,   // the request could not be sent: bad URL, scheme, name lookup, connect, TLS
    Status,    // no usable status line arrived
    Body,      // the transfer broke off after the status had arrived
    Aborted,   // onHead, onBody or shouldAbort ended it
    Skipped    // onStatus declined the body
};

struct HttpResult {
    HttpFailure failure = HttpFailure::None;
    int errorCode = 0;       // the transfer library's own code (> 0) when it failed
    std::string errorText;   // its message for that code
    long status = 0;         // final HTTP status, 0 when none arrived
    std::string retryAfter;  // the Retry-After header of the final answer, if any
};

[[nodiscard]] HttpResult PerformHttpGet(const HttpRequest& request);

}  // namespace pixolune::platform
