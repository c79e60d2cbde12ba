#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace pixolune::stub {

// Set once when the stub shuts down; every slow reply waits on it, so that
// stalls and trickles end at once instead of holding the server open.
class ShutdownLatch {
  public:
    void Set() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            set_ = true;
        }
        changed_.notify_all();
    }

    [[nodiscard]] bool IsSet() {
        std::lock_guard<std::mutex> lock(mutex_);
        return set_;
    }

    // Returns true when the latch was set before the time ran out.
    [[nodiscard]] bool WaitFor(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [this] { return set_; });
    }

  private:
    std::mutex mutex_;  // guards set_
    std::condition_variable changed_;
    bool set_ = false;
};

}  // namespace pixolune::stub
