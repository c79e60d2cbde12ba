#pragma once

#include <chrono>
#include <string>

namespace pixolune::test {

// What came over the socket for one request, headers and body as sent.
struct RawReply {
    std::string head;             // status line and headers
    std::string body;             // bytes after the blank line, up to keepBytes of them
    size_t bodyBytes = 0;         // all bytes after the blank line, kept or not
    bool closedByServer = false;  // end of file seen before the time ran out or the limit was hit
    std::chrono::milliseconds elapsed{0};

    int Status() const;
    std::string Header(const std::string& name) const;  // empty when absent
};

// Sends "GET target" on a fresh connection to 127.0.0.1:port and reads until
// the server closes, maxBytes of body arrived, or the time-out passed. No
// client library in between, so short bodies and stray bytes are seen as sent.
// `extraHeaders` are whole lines, each ending in "\r\n".
RawReply RawGet(int port, const std::string& target, std::chrono::milliseconds timeout,
                size_t maxBytes = 64 << 20, size_t keepBytes = 64 << 20,
                const std::string& extraHeaders = "");

// The same with another method and no body, not even an empty one announced.
RawReply RawRequest(int port, const std::string& method, const std::string& target,
                    std::chrono::milliseconds timeout, size_t maxBytes = 64 << 20,
                    size_t keepBytes = 64 << 20, const std::string& extraHeaders = "");

}  // namespace pixolune::test
