#include "stub/client_socket.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstdlib>
#include <memory>

namespace pixolune::stub {
namespace {

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

bool IsConnection(int fd, const in_addr& remoteAddress, int remotePort, int localPort) {
    sockaddr_in own{}, peer{};
    socklen_t ownSize = sizeof own, peerSize = sizeof peer;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&own), &ownSize) != 0 ||
        own.sin_family != AF_INET || ntohs(own.sin_port) != localPort)
        return false;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerSize) != 0) return false;
    return ntohs(peer.sin_port) == remotePort && peer.sin_addr.s_addr == remoteAddress.s_addr;
}

}  // namespace

ClientSocket::ClientSocket(const std::string& remoteAddress, int remotePort, int localPort) {
    in_addr address{};
    if (::inet_pton(AF_INET, remoteAddress.c_str(), &address) != 1) return;
    const std::unique_ptr<DIR, DirCloser> fds(::opendir("/proc/self/fd"));
    if (!fds) return;
    while (const dirent* entry = ::readdir(fds.get())) {
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0') continue;
        if (IsConnection(static_cast<int>(fd), address, remotePort, localPort)) {
            fd_ = static_cast<int>(fd);
            return;
        }
    }
}

bool ClientSocket::Gone() const {
    if (fd_ < 0) return false;
    pollfd entry{fd_, POLLRDHUP, 0};
    return ::poll(&entry, 1, 0) > 0 && (entry.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

}  // namespace pixolune::stub
