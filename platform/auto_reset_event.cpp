#include "auto_reset_event.h"

namespace pixolune::platform {

void AutoResetEvent::Set() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        signalled_ = true;
    }
    changed_.notify_one();
}

AutoResetEvent::WaitResult AutoResetEvent::WaitFor(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!changed_.wait_for(lock, timeout, [this] { return signalled_; }))
        return WaitResult::TimedOut;
    signalled_ = false;
    return WaitResult::Signalled;
}

}  // namespace pixolune::platform
