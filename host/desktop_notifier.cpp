#include "desktop_notifier.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <memory>

#include "health_status.h"
#include "record_watch.h"

namespace kalhost {
namespace {

constexpr const char* kService = "org.freedesktop.Notifications";
constexpr const char* kPath = "/org/freedesktop/Notifications";
constexpr const char* kInterface = "org.freedesktop.Notifications";
constexpr const char* kSignInAction = "configure";
constexpr uint64_t kCallTimeoutUsec = 5 * 1000 * 1000;  // a busy desktop, never a hung run
constexpr uint8_t kUrgencyNormal = 1;
constexpr uint8_t kUrgencyCritical = 2;  // stays until dismissed: someone must act

struct BusClose {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct SlotUnref {
    void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};
struct MessageUnref {
    void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using MessagePtr = std::unique_ptr<sd_bus_message, MessageUnref>;

// Starts `argv` apart from this process (its own session, reaped by init),
// with no signal blocked, as a person would start it.
void LaunchDetached(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    // Only async-signal-safe calls after fork: the process has threads.
    const pid_t child = ::fork();
    if (child == 0) {
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        ::setsid();
        if (::fork() != 0) ::_exit(0);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    if (child > 0) ::waitpid(child, nullptr, 0);
}

}  // namespace

// Everything that touches the bus, on the notifier's thread only.
class DesktopNotifier::Session {
  public:
    Session(const Setup& setup, sd_bus* bus) : setup_(setup), bus_(bus), record_(setup.recordPath) {
        sd_bus_slot* slot = nullptr;
        if (sd_bus_match_signal(bus_.get(), &slot, kService, kPath, kInterface, "ActionInvoked",
                                &Session::OnAction, this) >= 0)
            actionSlot_.reset(slot);
    }
    ~Session() { WithdrawAttention(); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    int BusFd() const { return sd_bus_get_fd(bus_.get()); }
    int RecordFd() const { return record_.Fd(); }
    short BusEvents() const { return static_cast<short>(sd_bus_get_events(bus_.get())); }
    int BusTimeoutMs() const {
        uint64_t usec = 0;
        if (sd_bus_get_timeout(bus_.get(), &usec) <= 0 || usec == UINT64_MAX) return -1;
        const uint64_t now =
            static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                      std::chrono::steady_clock::now().time_since_epoch())
                                      .count());
        return usec <= now ? 0 : static_cast<int>((usec - now) / 1000 + 1);
    }
    void ProcessBus() {
        while (sd_bus_process(bus_.get(), nullptr) > 0) {
        }
    }
    void RecordEvent() {
        if (record_.RecordChanged()) Look();
    }

    // What the record says now, if it is this run's.
    void Look() {
        const HealthFile file = ReadHealthFile(setup_.recordPath);
        if (!file.record) return;
        const auto& started = file.record->started;
        if (!started || *started < setup_.runStart - std::chrono::seconds(1)) return;
        if (const auto notice = tracker_.Next(*file.record, std::chrono::system_clock::now()))
            Send(*notice);
    }

  private:
    void Send(const DesktopNotice& notice) {
        const bool attention = notice.kind == DesktopNotice::Kind::Attention;
        const char* const signIn[] = {"default", "Sign in", kSignInAction, "Sign in\u2026",
                                      nullptr};
        const char* const none[] = {nullptr};
        sd_bus_message* made = nullptr;
        if (sd_bus_message_new_method_call(bus_.get(), &made, kService, kPath, kInterface,
                                           "Notify") < 0)
            return;
        const MessagePtr call(made);
        int result = sd_bus_message_append(call.get(), "susss", "kalhost", shownId_, "",
                                           notice.summary.c_str(), notice.body.c_str());
        if (result >= 0)
            result = sd_bus_message_append_strv(
                call.get(), const_cast<char**>(notice.offersSignIn ? signIn : none));
        if (result >= 0)
            result = sd_bus_message_append(call.get(), "a{sv}i", 1, "urgency", "y",
                                           attention ? kUrgencyCritical : kUrgencyNormal, -1);
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* answer = nullptr;
        if (result >= 0)
            result = sd_bus_call(bus_.get(), call.get(), kCallTimeoutUsec, &error, &answer);
        const MessagePtr reply(answer);
        uint32_t id = 0;
        if (result >= 0) result = sd_bus_message_read(reply.get(), "u", &id);
        if (result < 0) {
            SayOnce(std::string("desktop notification not shown: ") +
                    (error.message ? error.message : "no answer from the notification service"));
        } else {
            shownId_ = id;
            signInShown_ = notice.offersSignIn;
            attentionShown_ = attention;
        }
        sd_bus_error_free(&error);
    }

    void WithdrawAttention() {
        if (!attentionShown_ || shownId_ == 0) return;
        (void)sd_bus_call_method(bus_.get(), kService, kPath, kInterface, "CloseNotification",
                                 nullptr, nullptr, "u", shownId_);
    }

    void SayOnce(const std::string& line) {
        if (said_ || !setup_.say) return;
        said_ = true;
        setup_.say(line);
    }

    static int OnAction(sd_bus_message* message, void* self, sd_bus_error*) {
        auto* session = static_cast<Session*>(self);
        uint32_t id = 0;
        const char* key = nullptr;
        if (sd_bus_message_read(message, "us", &id, &key) < 0 || !key) return 0;
        const std::string action = key;
        if (id != session->shownId_ || !session->signInShown_ ||
            (action != kSignInAction && action != "default"))
            return 0;
        if (session->setup_.say) session->setup_.say("opening `kalhost configure` to sign in");
        LaunchDetached(session->setup_.configureCommand);
        return 0;
    }

    const Setup& setup_;
    std::unique_ptr<sd_bus, BusClose> bus_;
    std::unique_ptr<sd_bus_slot, SlotUnref> actionSlot_;
    RecordWatch record_;
    AttentionTracker tracker_;
    uint32_t shownId_ = 0;  // the notice on screen; the next replaces it
    bool signInShown_ = false;
    bool attentionShown_ = false;
    bool said_ = false;
};

DesktopNotifier::DesktopNotifier(Setup setup)
    : setup_(std::move(setup)), stopEvent_(::eventfd(0, EFD_CLOEXEC)) {
    if (stopEvent_) thread_ = std::thread([this] { Serve(); });
}

DesktopNotifier::~DesktopNotifier() {
    if (!thread_.joinable()) return;
    const uint64_t one = 1;
    (void)!::write(stopEvent_.Get(), &one, sizeof(one));
    thread_.join();
}

void DesktopNotifier::Serve() {
    sd_bus* bus = nullptr;
    // sd-bus starts no bus of its own: no session bus, no notifications.
    if (sd_bus_open_user(&bus) < 0) return;
    Session session(setup_, bus);
    session.Look();  // the record may have been written before the watch began
    for (;;) {
        session.ProcessBus();
        struct pollfd fds[3] = {{stopEvent_.Get(), POLLIN, 0},
                                {session.BusFd(), session.BusEvents(), 0},
                                {session.RecordFd(), POLLIN, 0}};
        const int ready = ::poll(fds, session.RecordFd() >= 0 ? 3 : 2, session.BusTimeoutMs());
        if (ready < 0 && errno != EINTR) return;
        if (fds[0].revents & POLLIN) return;
        if (fds[2].revents & POLLIN) session.RecordEvent();
    }
}

}  // namespace kalhost
