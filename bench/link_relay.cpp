// A TCP relay that behaves like a slower link: every byte is held for a set
// delay in each direction, and all connections together share one bandwidth
// cap per direction. It counts the connections it accepts, so a benchmark can
// tell a client that reuses its connections from one that does not.
//
//   link_relay --target PORT [--delay-ms 25] [--mbit 100] [--count-file FILE]
//              [--drop-every-mib N]
//
// With --drop-every-mib the line drops the connection that carries the
// byte at each N MiB sent down it, as a flaky home link does. On exit it
// says how many bytes went down the line in all.
//
// Listens on 127.0.0.1 with an OS-chosen port and prints "PORT=<n>" first;
// relays to 127.0.0.1:PORT (TLS passes through untouched). After each accept
// the number of connections so far is written to the count file. Runs until
// SIGTERM or SIGINT.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/unique_fd.h"

namespace {

using Clock = std::chrono::steady_clock;
using pixolune::platform::UniqueFd;

struct RelayOptions {
    int targetPort = 0;
    std::chrono::microseconds delay{25000};
    double bytesPerSecond = 100e6 / 8;
    std::string countFile;
    uint64_t dropEveryBytes = 0;  // 0: the line never drops
};

// Bytes sent down the line, over every connection.
std::atomic<uint64_t> g_downBytes{0};

// The link's capacity in one direction, shared by every connection: each
// piece is given the next free slot of the wire.
class Pacer {
  public:
    explicit Pacer(double bytesPerSecond) : bytesPerSecond_(bytesPerSecond) {}

    Clock::time_point Reserve(size_t bytes) {
        std::lock_guard<std::mutex> lock(mutex_);
        // A writer that wakes late has not used the wire meanwhile: up to
        // kSlack of idle wire is still its own, or one connection, whose
        // writer sleeps once a piece, would never reach the link's rate.
        const auto start = std::max(Clock::now() - kSlack, nextFree_);
        nextFree_ = start + std::chrono::duration_cast<Clock::duration>(
                                std::chrono::duration<double>(bytes / bytesPerSecond_));
        return nextFree_;
    }

  private:
    static constexpr std::chrono::milliseconds kSlack{2};
    const double bytesPerSecond_;
    std::mutex mutex_;  // guards nextFree_
    Clock::time_point nextFree_{};
};

// Pieces read from one side, each with the moment it may be sent on.
class DelayLine {
  public:
    struct Piece {
        Clock::time_point due;
        std::string bytes;  // empty: the sender closed its side
    };

    void Push(Piece piece) {
        std::unique_lock<std::mutex> lock(mutex_);
        // A bounded backlog keeps memory in check when the receiver is slow.
        changed_.wait(lock, [this] { return heldBytes_ < kMaxHeldBytes; });
        heldBytes_ += piece.bytes.size();
        pieces_.push_back(std::move(piece));
        changed_.notify_all();
    }

    Piece Pop() {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return !pieces_.empty(); });
        Piece piece = std::move(pieces_.front());
        pieces_.pop_front();
        heldBytes_ -= piece.bytes.size();
        changed_.notify_all();
        return piece;
    }

  private:
    static constexpr size_t kMaxHeldBytes = 8u << 20;
    std::mutex mutex_;  // guards pieces_ and heldBytes_
    std::condition_variable changed_;
    std::deque<Piece> pieces_;
    size_t heldBytes_ = 0;
};

bool WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
        if (sent <= 0) return false;
        data += sent;
        size -= static_cast<size_t>(sent);
    }
    return true;
}

// One direction of one connection: a reader that stamps what arrives and a
// writer that hands it on when its delay and the wire allow.
void Pump(int from, int to, std::chrono::microseconds delay, Pacer& pacer,
          uint64_t dropEveryBytes = 0) {
    DelayLine line;
    std::thread reader([&] {
        char buffer[16384];
        for (;;) {
            const ssize_t got = ::recv(from, buffer, sizeof(buffer), 0);
            if (got <= 0) break;
            line.Push({Clock::now() + delay, std::string(buffer, static_cast<size_t>(got))});
        }
        line.Push({Clock::now() + delay, std::string()});
    });
    for (;;) {
        DelayLine::Piece piece = line.Pop();
        std::this_thread::sleep_until(piece.due);
        if (piece.bytes.empty()) break;
        std::this_thread::sleep_until(pacer.Reserve(piece.bytes.size()));
        if (!WriteAll(to, piece.bytes.data(), piece.bytes.size())) break;
        const uint64_t before = g_downBytes.fetch_add(piece.bytes.size());
        if (dropEveryBytes > 0 &&
            before / dropEveryBytes != (before + piece.bytes.size()) / dropEveryBytes) {
            // The line drops: both ends see the connection go at once.
            ::shutdown(to, SHUT_RDWR);
            ::shutdown(from, SHUT_RDWR);
            break;
        }
    }
    ::shutdown(to, SHUT_WR);
    ::shutdown(from, SHUT_RD);
    reader.join();
}

UniqueFd ConnectToTarget(int port) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (!fd || ::connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0)
        return UniqueFd();
    return fd;
}

void Relay(UniqueFd client, const RelayOptions& options, Pacer& up, Pacer& down) {
    UniqueFd server = ConnectToTarget(options.targetPort);
    if (!server) return;
    const int one = 1;
    ::setsockopt(client.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    ::setsockopt(server.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    std::thread upstream([&] { Pump(client.Get(), server.Get(), options.delay, up); });
    Pump(server.Get(), client.Get(), options.delay, down, options.dropEveryBytes);
    upstream.join();
}

bool ParseOptions(int argc, char** argv, RelayOptions& options) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const char* value = argv[i + 1];
        if (name == "--target")
            options.targetPort = std::atoi(value);
        else if (name == "--delay-ms")
            options.delay =
                std::chrono::microseconds(static_cast<long long>(std::atof(value) * 1000));
        else if (name == "--mbit")
            options.bytesPerSecond = std::atof(value) * 1e6 / 8;
        else if (name == "--count-file")
            options.countFile = value;
        else if (name == "--drop-every-mib")
            options.dropEveryBytes = static_cast<uint64_t>(std::atof(value) * 1024 * 1024);
        else
            return false;
    }
    return options.targetPort > 0 && options.bytesPerSecond > 0;
}

std::atomic<bool> g_stop{false};

void OnSignal(int) {
    g_stop = true;
}

}  // namespace

int main(int argc, char** argv) {
    RelayOptions options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: link_relay --target PORT [--delay-ms MS] [--mbit RATE] "
                     "[--count-file FILE] [--drop-every-mib N]\n");
        return 2;
    }
    struct sigaction action {};
    action.sa_handler = &OnSignal;  // no SA_RESTART: accept() returns on a signal
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);

    UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (!listener || ::bind(listener.Get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener.Get(), 64) != 0 ||
        ::getsockname(listener.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::perror("link_relay");
        return 1;
    }
    std::printf("PORT=%d\n", ntohs(address.sin_port));
    std::fflush(stdout);

    Pacer up(options.bytesPerSecond), down(options.bytesPerSecond);
    long accepted = 0;
    while (!g_stop) {
        UniqueFd client(::accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!client) continue;
        ++accepted;
        if (!options.countFile.empty()) std::ofstream(options.countFile) << accepted << "\n";
        // Connections live as long as the benchmark's clients keep them; the
        // process ends with the benchmark, so they are not joined.
        std::thread([fd = std::make_shared<UniqueFd>(std::move(client)), &options, &up, &down] {
            Relay(std::move(*fd), options, up, down);
        }).detach();
    }
    std::fprintf(stderr, "link_relay: %ld connections accepted, %llu bytes sent down\n", accepted,
                 static_cast<unsigned long long>(g_downBytes.load()));
    std::_Exit(0);
}
