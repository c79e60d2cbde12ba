#include "platform/clock.h"

#include <ctime>

#include "platform/tick_count.h"

namespace pixolune::platform {
namespace {

class SystemClock final : public Clock {
  public:
    uint32_t TickCount() override { return platform::TickCount(); }
    int64_t WallSeconds() override { return static_cast<int64_t>(std::time(nullptr)); }
    bool WaitFor(AutoResetEvent& event, std::chrono::milliseconds timeout) override {
        return event.WaitFor(timeout);
    }
};

}  // namespace

Clock& RealClock() {
    static SystemClock clock;
    return clock;
}

}  // namespace pixolune::platform
