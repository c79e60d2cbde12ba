#include "tests/support/notification_server.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

namespace pixolune::test {
namespace {

constexpr const char* kPath = "/org/freedesktop/Notifications";
constexpr const char* kInterface = "org.freedesktop.Notifications";

// Reads the hints (a{sv}) for the one the tests look at.
int ReadUrgency(sd_bus_message* message, int& urgency) {
    int result = sd_bus_message_enter_container(message, 'a', "{sv}");
    while (result >= 0 && (result = sd_bus_message_enter_container(message, 'e', "sv")) > 0) {
        const char* key = nullptr;
        result = sd_bus_message_read(message, "s", &key);
        if (result >= 0 && key && std::strcmp(key, "urgency") == 0) {
            uint8_t value = 0;
            result = sd_bus_message_read(message, "v", "y", &value);
            urgency = value;
        } else if (result >= 0) {
            result = sd_bus_message_skip(message, "v");
        }
        if (result >= 0) result = sd_bus_message_exit_container(message);
    }
    return result < 0 ? result : sd_bus_message_exit_container(message);
}

}  // namespace

NotificationServer::NotificationServer(const PrivateSessionBus& bus)
    : bus_(ConnectToBus(bus.Address())), wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (sd_bus_add_object(bus_.get(), nullptr, kPath, &NotificationServer::OnCall, this) < 0 ||
        sd_bus_request_name(bus_.get(), "org.freedesktop.Notifications", 0) < 0 || !wake_)
        throw std::runtime_error("the notification server can't serve");
    thread_ = std::thread([this] { Serve(); });
}

NotificationServer::~NotificationServer() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    const uint64_t one = 1;
    (void)!::write(wake_.Get(), &one, sizeof(one));
    thread_.join();
}

std::vector<NotificationServer::Notice> NotificationServer::Notices() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return notices_;
}

std::vector<uint32_t> NotificationServer::Closed() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return closed_;
}

bool NotificationServer::WaitForNotices(size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return arrived_.wait_for(lock, timeout, [&] { return notices_.size() >= count; });
}

void NotificationServer::InvokeAction(uint32_t id, const std::string& key) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        actionsToInvoke_.emplace_back(id, key);
    }
    const uint64_t one = 1;
    (void)!::write(wake_.Get(), &one, sizeof(one));
}

// The bus is touched on this thread only; the test's requests come through wake_.
void NotificationServer::Serve() {
    for (;;) {
        while (sd_bus_process(bus_.get(), nullptr) > 0) {
        }
        std::vector<std::pair<uint32_t, std::string>> actions;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) return;
            actions.swap(actionsToInvoke_);
        }
        for (const auto& [id, key] : actions)
            (void)sd_bus_emit_signal(bus_.get(), kPath, kInterface, "ActionInvoked", "us", id,
                                     key.c_str());
        (void)sd_bus_flush(bus_.get());
        struct pollfd fds[2] = {
            {wake_.Get(), POLLIN, 0},
            {sd_bus_get_fd(bus_.get()), static_cast<short>(sd_bus_get_events(bus_.get())), 0}};
        if (::poll(fds, 2, 1000) > 0 && (fds[0].revents & POLLIN)) {
            uint64_t count = 0;
            (void)!::read(wake_.Get(), &count, sizeof(count));
        }
    }
}

int NotificationServer::OnCall(sd_bus_message* message, void* self, sd_bus_error*) {
    auto* server = static_cast<NotificationServer*>(self);
    if (!sd_bus_message_is_method_call(message, kInterface, nullptr)) return 0;
    const char* member = sd_bus_message_get_member(message);
    if (std::strcmp(member, "Notify") == 0) return server->Notify(message);
    if (std::strcmp(member, "CloseNotification") == 0) {
        uint32_t id = 0;
        if (sd_bus_message_read(message, "u", &id) >= 0) {
            const std::lock_guard<std::mutex> lock(server->mutex_);
            server->closed_.push_back(id);
        }
        return sd_bus_reply_method_return(message, "");
    }
    if (std::strcmp(member, "GetCapabilities") == 0)
        return sd_bus_reply_method_return(message, "as", 2, "body", "actions");
    return 0;
}

int NotificationServer::Notify(sd_bus_message* message) {
    Notice notice;
    const char *app = nullptr, *icon = nullptr, *summary = nullptr, *body = nullptr;
    char** actions = nullptr;
    int result =
        sd_bus_message_read(message, "susss", &app, &notice.replacesId, &icon, &summary, &body);
    if (result >= 0) result = sd_bus_message_read_strv(message, &actions);
    for (char** action = actions; action && *action; ++action) {
        notice.actions.emplace_back(*action);
        free(*action);
    }
    free(actions);
    if (result >= 0) result = ReadUrgency(message, notice.urgency);
    if (result < 0) return result;
    notice.appName = app ? app : "";
    notice.summary = summary ? summary : "";
    notice.body = body ? body : "";
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        notice.id =
            notice.replacesId != 0 ? notice.replacesId : static_cast<uint32_t>(notices_.size() + 1);
        notices_.push_back(notice);
    }
    arrived_.notify_all();
    return sd_bus_reply_method_return(message, "u", notice.id);
}

}  // namespace pixolune::test
