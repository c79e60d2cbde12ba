#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace pixolune::platform {

// An event that lets exactly one wait through per Set() and then resets
// itself; a Set() with no waiter is kept until the next wait.
class AutoResetEvent {
  public:
    enum class WaitResult { Signalled, TimedOut };

    void Set();
    [[nodiscard]] WaitResult WaitFor(std::chrono::milliseconds timeout);

  private:
    std::mutex mutex_;  // guards signalled_
    std::condition_variable changed_;
    bool signalled_ = false;
};

}  // namespace pixolune::platform
