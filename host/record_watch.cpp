#include "record_watch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cstdint>

#include "platform/state_folder.h"

namespace kalhost {
namespace {

constexpr uint32_t kRecordReplaced = IN_MOVED_TO | IN_CLOSE_WRITE;

}  // namespace

RecordWatch::RecordWatch(const std::string& recordPath) {
    const size_t slash = recordPath.rfind('/');
    if (recordPath.empty() || slash == std::string::npos) return;
    recordName_ = recordPath.substr(slash + 1);
    const std::string folder = recordPath.substr(0, slash);
    // The plug-in makes it too; the watch needs it now.
    (void)pixolune::platform::MakePrivateFolder(folder);
    inotify_ = pixolune::platform::UniqueFd(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    if (inotify_ && ::inotify_add_watch(inotify_.Get(), folder.c_str(), kRecordReplaced) < 0)
        inotify_ = pixolune::platform::UniqueFd();
}

bool RecordWatch::RecordChanged() {
    if (!inotify_) return false;
    alignas(struct inotify_event) char buffer[4096];
    bool changed = false;
    for (;;) {
        const ssize_t got = ::read(inotify_.Get(), buffer, sizeof(buffer));
        if (got <= 0) return changed;
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const struct inotify_event*>(buffer + at);
            if (event->len > 0 && recordName_ == event->name) changed = true;
            at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
        }
    }
}

}  // namespace kalhost
