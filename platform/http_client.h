#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace pixolune::platform {

// Time limits of every transfer, kept in one place. The connect time-out is
// the 60 s a desktop HTTP stack gives by default; the low-speed limit ends a
// transfer that moved less than lowSpeedBytesPerSecond on average over
// lowSpeedSeconds, so that a server which accepts and then stalls can never
// hold a request for ever. A server that trickles a byte now and then passes
// a low floor; the overall deadline, when set, bounds such a request too.
struct HttpLimits {
    long connectTimeoutSeconds = 60;
    long lowSpeedBytesPerSecond = 1;
    long lowSpeedSeconds = 60;
    long totalTimeoutSeconds = 0;  // the whole request, queueing included; 0 = none
    long maxRedirects = 10;
};

// What the final answer's headers announce.
struct HttpResponseHead {
    long status = 0;
    std::string contentType;     // as sent; empty when none
    int64_t contentLength = -1;  // -1 when not announced
    // The validators a later request can resume with (If-Range); empty when none.
    std::string etag;
    std::string lastModified;
    int64_t rangeStart = -1;  // first byte of a 206 answer's Content-Range; -1 when none
};

// API replies are small: two minutes is far beyond any honest answer.
[[nodiscard]] inline HttpLimits ApiRequestLimits() {
    HttpLimits limits;
    limits.totalTimeoutSeconds = 120;
    return limits;
}

// Media files are large and have no deadline; a link slower than 1 KiB/s
// over a minute is treated as a server that trickles.
[[nodiscard]] inline HttpLimits MediaTransferLimits() {
    HttpLimits limits;
    limits.lowSpeedBytesPerSecond = 1024;
    return limits;
}

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
    Connect,  // the request could not be sent: bad URL, scheme, name lookup, connect, TLS
    Status,   // no usable status line arrived
    Body,     // the transfer broke off after the status had arrived
    Aborted,  // onHead, onBody or shouldAbort ended it
    Skipped   // onStatus declined the body
};

// Which of the HttpLimits ended a transfer after it had reached the server.
enum class HttpLimitReached { None, Deadline, LowSpeed };

struct HttpResult {
    HttpFailure failure = HttpFailure::None;
    HttpLimitReached limitReached = HttpLimitReached::None;
    int errorCode = 0;        // the transfer library's own code (> 0) when it failed
    std::string errorText;    // its message for that code
    bool loopFailed = false;  // the session's own loop failed and ended every transfer
    // The host (or its proxy) could not be reached at all: no name, no
    // connection, or none within the connect time-out. Worth waiting out.
    bool hostUnreachable = false;
    long status = 0;         // final HTTP status, 0 when none arrived
    std::string retryAfter;  // the Retry-After header of the final answer, if any
};

// The transfers of one piece of work (the worker's run): one connection
// cache, DNS cache and TLS session cache shared by every request made through
// it, so that API pages and media files reuse their connections (HTTP/1.1
// keep-alive, HTTP/2 multiplexing where the server offers it). Several
// transfers may be in flight at once; they progress whenever any of them is
// waited for. Not thread-safe: one thread uses a session at a time.
//
//   HttpSession session;
//   auto a = session.Start(requestA), b = session.Start(requestB);
//   HttpResult ra = session.Wait(a);  // b moves along meanwhile
//   session.Cancel(b);                // b's callbacks are never called again
//
// The callbacks of a started request (and whatever they refer to) must live
// until its Wait or Cancel returns. An exception thrown by a callback ends
// that transfer alone and is rethrown by its Wait.
class HttpSession {
  public:
    using TransferId = uint64_t;

    // At most this many connections to one host, and in all, as browsers keep
    // to on HTTP/1.1; transfers beyond them queue until a connection is free.
    // On HTTP/2 they share one connection per host, up to kMaxStreamsPerConnection
    // (or fewer, when the server allows fewer): more than a caller keeps in
    // flight, so that a request made beside them (an API page beside the
    // media) never needs a connection, and its handshakes, of its own.
    static constexpr long kMaxConnectionsPerHost = 6;
    static constexpr long kMaxConnectionsTotal = 16;
    static constexpr long kMaxStreamsPerConnection = 100;

    // A transfer that ended while the session was driven, and how.
    struct Ended {
        TransferId id = 0;
        HttpResult result;
        std::exception_ptr thrown;  // what one of its callbacks threw, if any
    };

    // What carries the transfers: libcurl, or a simulated network in a test
    // that must replay exactly. HttpSession's functions say what each does.
    class Transport {
      public:
        virtual ~Transport() = default;
        virtual TransferId Start(HttpRequest request) = 0;
        virtual HttpResult Wait(TransferId id) = 0;
        virtual void Cancel(TransferId id) = 0;
        virtual void WhileWaiting(std::function<void()> hook) = 0;
        virtual std::vector<Ended> DriveUntilOneEnds(std::chrono::milliseconds maxWait) = 0;
        virtual void Wakeup() = 0;
        virtual void SetRateCap(int64_t bytesPerSecond) = 0;
        [[nodiscard]] virtual size_t InFlight() const = 0;
        [[nodiscard]] virtual uint64_t ConnectionsOpened() const = 0;
    };

    HttpSession();  // over libcurl
    explicit HttpSession(std::unique_ptr<Transport> transport);
    ~HttpSession();  // ends every transfer still in flight
    HttpSession(const HttpSession&) = delete;
    HttpSession& operator=(const HttpSession&) = delete;

    [[nodiscard]] TransferId Start(HttpRequest request);
    // Drives every transfer until this one has ended; its result.
    [[nodiscard]] HttpResult Wait(TransferId id);
    // Ends a transfer without a result; unknown ids are ignored.
    void Cancel(TransferId id);
    [[nodiscard]] HttpResult Perform(HttpRequest request) {
        return Wait(Start(std::move(request)));
    }
    // Called by Wait (and Perform) once the request waited for is under way,
    // and again whenever other transfers have ended meanwhile, so that their
    // owner can take them (DriveUntilOneEnds with no wait) and start others
    // while one request is awaited; the one waited for is never handed out
    // there. What the hook throws ends that request and leaves its Wait.
    // Null: none. A Wait inside the hook does not call it again.
    void WhileWaiting(std::function<void()> hook);
    // Drives every transfer until at least one has ended, Wakeup is called or
    // `maxWait` has passed; the transfers that ended, in the order they did.
    // Should the loop itself fail, every transfer in flight ends with
    // loopFailed set and the library's text in errorText.
    [[nodiscard]] std::vector<Ended> DriveUntilOneEnds(std::chrono::milliseconds maxWait);
    // Ends a wait in DriveUntilOneEnds (or Wait) at once; safe from any thread.
    void Wakeup();

    // One cap on the bytes per second of all the session's transfers
    // together (0: none), from now on; transfers held back by it wait in turn.
    void SetRateCap(int64_t bytesPerSecond);

    [[nodiscard]] size_t InFlight() const;
    // Connections opened by this session's transfers so far.
    [[nodiscard]] uint64_t ConnectionsOpened() const;

  private:
    std::unique_ptr<Transport> impl_;
};

// One request in a session of its own: nothing survives from one call to the next.
[[nodiscard]] HttpResult PerformHttpGet(const HttpRequest& request);

// The transfer library's reason for a failed transfer's code.
[[nodiscard]] std::string TransferErrorText(int code);

}  // namespace pixolune::platform
