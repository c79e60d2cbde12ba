#pragma once

#include <chrono>
#include <cstdint>

#include "platform/clock.h"

namespace pixolune::life {

inline constexpr uint64_t kMsPerMinute = 60'000;
inline constexpr uint64_t kMsPerHour = 60 * kMsPerMinute;
inline constexpr uint64_t kMsPerDay = 24 * kMsPerHour;

// Time that passes only when the life lets it: a wait passes at once, and the
// simulated network moves it on while transfers are under way. Its tick count
// starts two hours before the 32-bit wrap, so every life crosses it.
class SimClock final : public platform::Clock {
  public:
    uint32_t TickCount() override { return kStartTick + static_cast<uint32_t>(nowMs_); }
    int64_t WallSeconds() override {
        return kWallStartSeconds + wallJumps_ + static_cast<int64_t>(nowMs_ / 1000);
    }
    bool WaitFor(platform::AutoResetEvent&, std::chrono::milliseconds timeout) override {
        nowMs_ += static_cast<uint64_t>(timeout.count());
        return false;
    }

    void AdvanceTo(uint64_t ms) {
        if (ms > nowMs_) nowMs_ = ms;
    }
    // The date is set: the wall clock jumps, the tick count runs on.
    void JumpWall(int64_t seconds) { wallJumps_ += seconds; }
    [[nodiscard]] uint64_t NowMs() const { return nowMs_; }

  private:
    static constexpr uint32_t kStartTick = 0xFFFFFFFFu - 2u * 3600u * 1000u;
    static constexpr int64_t kWallStartSeconds = 1'800'000'000;  // a fixed day
    uint64_t nowMs_ = 0;
    int64_t wallJumps_ = 0;
};

}  // namespace pixolune::life
