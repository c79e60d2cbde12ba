#include "service_notifier.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "health_status.h"

namespace kalhost {
namespace {

bool UnderServiceManager() {
    const char* socket = std::getenv("NOTIFY_SOCKET");
    return socket && *socket;
}

std::string StatusLine(const std::string& recordPath) {
    const HealthReport report = DescribeHealthFile(recordPath, ReadHealthFile(recordPath),
                                                   std::chrono::system_clock::now());
    return report.lines.empty() ? std::string() : report.lines.front();
}

}  // namespace

ServiceNotifier::ServiceNotifier(std::string recordPath) : recordPath_(std::move(recordPath)) {
    if (!UnderServiceManager()) return;
    uint64_t watchdogUsec = 0;
    if (sd_watchdog_enabled(0, &watchdogUsec) > 0)
        watchdogInterval_ = std::chrono::microseconds(watchdogUsec);
    record_ = std::make_unique<RecordWatch>(recordPath_);
    SendStatusIfChanged("READY=1\n");
    stopEvent_ = pixolune::platform::UniqueFd(::eventfd(0, EFD_CLOEXEC));
    if (stopEvent_ && (record_->Watching() || watchdogInterval_.count() > 0))
        thread_ = std::thread([this] { Watch(); });
}

ServiceNotifier::~ServiceNotifier() {
    if (!UnderServiceManager()) return;
    if (thread_.joinable()) {
        const uint64_t one = 1;
        (void)!::write(stopEvent_.Get(), &one, sizeof(one));
        thread_.join();
    }
    SendStatusIfChanged();
    sd_notify(0, "STOPPING=1");
}

void ServiceNotifier::SendStatusIfChanged(const char* prefix) {
    const std::string status = StatusLine(recordPath_);
    std::lock_guard<std::mutex> lock(mutex_);
    if (status == lastStatus_ && *prefix == '\0') return;
    lastStatus_ = status;
    sd_notify(0, (std::string(prefix) + "STATUS=" + status).c_str());
}

void ServiceNotifier::Watch() {
    using Clock = std::chrono::steady_clock;
    const auto pingEvery = watchdogInterval_ / 2;
    auto nextPing = Clock::now();
    for (;;) {
        int timeoutMs = -1;
        if (pingEvery.count() > 0) {
            const auto now = Clock::now();
            if (now >= nextPing) {
                sd_notify(0, "WATCHDOG=1");
                nextPing = now + pingEvery;
            }
            timeoutMs = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(nextPing - now).count() + 1);
        }
        struct pollfd fds[2] = {{stopEvent_.Get(), POLLIN, 0}, {record_->Fd(), POLLIN, 0}};
        const int ready = ::poll(fds, record_->Watching() ? 2 : 1, timeoutMs);
        if (ready < 0 && errno != EINTR) return;
        if (fds[0].revents & POLLIN) return;
        if ((fds[1].revents & POLLIN) && record_->RecordChanged()) SendStatusIfChanged();
    }
}

}  // namespace kalhost
