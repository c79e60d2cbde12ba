#pragma once

#include <chrono>
#include <cstdint>

#include "platform/auto_reset_event.h"

namespace pixolune::platform {

// Every reading of time the worker makes, handed in as the file system is:
// the real clock in the plug-in, a simulated one that jumps ahead in tests
// that live through months in seconds.
class Clock {
  public:
    virtual ~Clock() = default;
    // Milliseconds of a steady clock, truncated to 32 bits (see TickCount()).
    [[nodiscard]] virtual uint32_t TickCount() = 0;
    // Seconds since 1970, the time files are aged by.
    [[nodiscard]] virtual int64_t WallSeconds() = 0;
    // Waits on `event` for at most `timeout`, true when it was set; a
    // simulated clock lets the time pass instead of waiting for it.
    virtual bool WaitFor(AutoResetEvent& event, std::chrono::milliseconds timeout) = 0;
};

// The system's clocks and a real wait.
[[nodiscard]] Clock& RealClock();

}  // namespace pixolune::platform
