#pragma once

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>

namespace pixolune::test {

// A cpp-httplib server on 127.0.0.1, run on its own thread from the
// constructor to the destructor; tests add handlers through Http(). Handlers
// that stall wait on Release(), so that stopping the server never waits for a
// stall to run out.
class LoopbackServer {
  public:
    struct Options {
        int port = 0;             // 0: a port the OS picks
        bool tcpNoDelay = false;  // send each piece at once, as a real server does
    };

    LoopbackServer();
    // Throws std::runtime_error when the port cannot be bound.
    explicit LoopbackServer(Options options);
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    httplib::Server& Http() { return server_; }
    int Port() const { return port_; }
    // "http://127.0.0.1:PORT" + path.
    std::string Url(const std::string& path) const;
    // Serves `size` bytes of PatternBytes under `path`.
    void ServeBytes(const std::string& path, size_t size);

    // Waits until Release() or the time-out, whichever comes first.
    void Stall(std::chrono::milliseconds longest);
    void Release();

  private:
    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
    std::mutex mutex_;  // guards isReleased_
    std::condition_variable released_;
    bool isReleased_ = false;
};

// The bytes ServeBytes sends: a fixed pattern of letters, `size` long.
std::string PatternBytes(size_t size);

}  // namespace pixolune::test
