#pragma once

#include <chrono>
#include <cstdint>

#include "platform/clock.h"

namespace pixolune {

// A token the service refused is not used more than once an hour, until a
// token with other text arrives or a query with it succeeds again.
class RefusedTokenHold {
  public:
    enum class Pass { Normal, HeldBack, HourlyTry };
    struct Start {
        Pass pass = Pass::Normal;
        bool newToken = false;  // a new token lifted the hold at this start
    };

    // How often a refused token is tried again.
    static constexpr std::chrono::milliseconds kRetryInterval = std::chrono::hours(1);

    explicit RefusedTokenHold(platform::Clock& clock) : clock_(clock) {}

    // How a refresh pass may use the token of `generation`.
    [[nodiscard]] Start BeginPass(uint64_t generation);
    // The service refused the token of `generation` (said once, then hourly).
    void Refused(uint64_t generation);
    // A query with the held token succeeded on the hourly try.
    void Accepted();
    [[nodiscard]] bool Active() const { return active_; }

  private:
    platform::Clock& clock_;
    bool active_ = false;
    uint64_t generation_ = 0;  // the configuration's token generation it was refused under
    uint32_t triedAtTick_ = 0;
};

}  // namespace pixolune
