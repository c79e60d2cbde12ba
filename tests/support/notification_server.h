#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/unique_fd.h"
#include "tests/support/bus_connection.h"
#include "tests/support/session_bus.h"

namespace pixolune::test {

// A desktop's notification server (org.freedesktop.Notifications) on a bus of
// the test's own, on a thread of its own: it keeps what it is sent, answers
// each notice with a new id, and clicks an action when the test asks.
class NotificationServer {
  public:
    struct Notice {
        uint32_t id = 0;
        uint32_t replacesId = 0;
        std::string appName, summary, body;
        std::vector<std::string> actions;  // key, label, key, label...
        int urgency = -1;                  // the hint; -1 when not given
    };

    explicit NotificationServer(const PrivateSessionBus& bus);  // throws when it can't serve
    ~NotificationServer();
    NotificationServer(const NotificationServer&) = delete;
    NotificationServer& operator=(const NotificationServer&) = delete;

    [[nodiscard]] std::vector<Notice> Notices() const;
    [[nodiscard]] std::vector<uint32_t> Closed() const;
    // True once `count` notices came; false after the time-out.
    [[nodiscard]] bool WaitForNotices(size_t count, std::chrono::milliseconds timeout) const;
    // Emits ActionInvoked, as a click on the action's button does.
    void InvokeAction(uint32_t id, const std::string& key);

  private:
    void Serve();
    static int OnCall(sd_bus_message* message, void* self, sd_bus_error* error);
    int Notify(sd_bus_message* message);

    BusConnection bus_;
    platform::UniqueFd wake_;
    mutable std::mutex mutex_;  // guards every field below
    mutable std::condition_variable arrived_;
    std::vector<Notice> notices_;
    std::vector<uint32_t> closed_;
    std::vector<std::pair<uint32_t, std::string>> actionsToInvoke_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace pixolune::test
