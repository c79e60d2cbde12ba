#pragma once

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace pixolune::test {

// A cpp-httplib server on 127.0.0.1 with an OS-picked port, run on its own
// thread for the life of one test. Handlers that stall wait on Release(), so
// that stopping the server never waits for a stall to run out.
class LoopbackServer {
  public:
    LoopbackServer() {
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~LoopbackServer() {
        Release();
        server_.stop();
        thread_.join();
    }

    httplib::Server& Http() { return server_; }
    std::string Url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }

    // Waits until Release() or the time-out, whichever comes first.
    void Stall(std::chrono::milliseconds longest) {
        std::unique_lock<std::mutex> lock(mutex_);
        released_.wait_for(lock, longest, [this] { return isReleased_; });
    }
    void Release() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            isReleased_ = true;
        }
        released_.notify_all();
    }

  private:
    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
    std::mutex mutex_;  // guards isReleased_
    std::condition_variable released_;
    bool isReleased_ = false;
};

}  // namespace pixolune::test
