#include "tests/stub/raw_http.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace pixolune::test {

int RawReply::Status() const {
    auto space = head.find(' ');
    return space == std::string::npos ? 0 : std::atoi(head.c_str() + space + 1);
}

std::string RawReply::Header(const std::string& name) const {
    std::string lowerHead = head;
    for (auto& c : lowerHead) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string key = "\r\n" + name + ":";
    for (auto& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    auto at = lowerHead.find(key);
    if (at == std::string::npos) return "";
    auto start = head.find_first_not_of(' ', at + key.size());
    auto end = head.find("\r\n", start);
    return head.substr(start, end - start);
}

RawReply RawGet(int port, const std::string& target, std::chrono::milliseconds timeout,
                size_t maxBytes, size_t keepBytes, const std::string& extraHeaders) {
    return RawRequest(port, "GET", target, timeout, maxBytes, keepBytes, extraHeaders);
}

RawReply RawRequest(int port, const std::string& method, const std::string& target,
                    std::chrono::milliseconds timeout, size_t maxBytes, size_t keepBytes,
                    const std::string& extraHeaders) {
    auto started = std::chrono::steady_clock::now();
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket failed");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        throw std::runtime_error("connect failed");
    }
    std::string request = method + " " + target +
                          " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" + extraHeaders +
                          "\r\n";
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(request.size())) {
        close(fd);
        throw std::runtime_error("send failed");
    }
    std::string head;
    RawReply reply;
    bool inBody = false;
    auto deadline = started + timeout;
    while (reply.bodyBytes < maxBytes) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd entry{fd, POLLIN, 0};
        if (poll(&entry, 1, static_cast<int>(left.count())) <= 0) break;
        char buffer[65536];
        ssize_t count = recv(fd, buffer, sizeof buffer, 0);
        if (count <= 0) {
            reply.closedByServer = true;
            break;
        }
        std::string piece(buffer, static_cast<size_t>(count));
        if (!inBody) {
            head += piece;
            auto end = head.find("\r\n\r\n");
            if (end == std::string::npos) continue;
            piece = head.substr(end + 4);
            head.resize(end);
            inBody = true;
        }
        reply.bodyBytes += piece.size();
        if (reply.body.size() < keepBytes) {
            reply.body.append(piece, 0, std::min(piece.size(), keepBytes - reply.body.size()));
        }
    }
    close(fd);
    reply.head = head;
    reply.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - started);
    return reply;
}

}  // namespace pixolune::test
