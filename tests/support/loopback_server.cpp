#include "tests/support/loopback_server.h"

#include <stdexcept>

namespace pixolune::test {

LoopbackServer::LoopbackServer() : LoopbackServer(Options{}) {}

LoopbackServer::LoopbackServer(Options options) {
    server_.set_tcp_nodelay(options.tcpNoDelay);
    if (options.port == 0) {
        port_ = server_.bind_to_any_port("127.0.0.1");
    } else if (server_.bind_to_port("127.0.0.1", options.port)) {
        port_ = options.port;
    }
    if (port_ <= 0) {
        throw std::runtime_error("no loopback port " + std::to_string(options.port));
    }
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

LoopbackServer::~LoopbackServer() {
    Release();
    server_.stop();
    thread_.join();
}

std::string LoopbackServer::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void LoopbackServer::ServeBytes(const std::string& path, size_t size) {
    const std::string body = PatternBytes(size);
    server_.Get(path, [body](const httplib::Request&, httplib::Response& response) {
        response.set_content(body, "image/jpeg");
    });
}

void LoopbackServer::Stall(std::chrono::milliseconds longest) {
    std::unique_lock<std::mutex> lock(mutex_);
    released_.wait_for(lock, longest, [this] { return isReleased_; });
}

void LoopbackServer::Release() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        isReleased_ = true;
    }
    released_.notify_all();
}

std::string PatternBytes(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>('a' + (i * 7) % 26);
    return bytes;
}

}  // namespace pixolune::test
