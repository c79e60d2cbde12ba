#include "tick_count.h"

#include <atomic>
#include <chrono>

namespace pixolune::platform {
namespace {

uint32_t RealTickCount() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

std::atomic<uint32_t> g_tickShiftMs{0};

}  // namespace

void ShiftTickCount(uint32_t offsetMs) {
    g_tickShiftMs.store(offsetMs);
}

uint32_t TickCount() {
    return RealTickCount() + g_tickShiftMs.load();
}

}  // namespace pixolune::platform
