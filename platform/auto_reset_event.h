#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace pixolune::platform {

// An event that lets exactly one wait through per Set() and then resets
// itself; a Set() with no waiter is kept until the next wait.
class AutoResetEvent {
  public:
    void Set();
    // True when a Set() ended the wait, false when the time ran out.
    [[nodiscard]] bool WaitFor(std::chrono::milliseconds timeout);

  private:
    std::mutex mutex_;  // guards signalled_
    std::condition_variable changed_;
    bool signalled_ = false;
};

}  // namespace pixolune::platform
