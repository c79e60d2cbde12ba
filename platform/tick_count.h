#pragma once

#include <cstdint>

namespace pixolune::platform {

// Milliseconds of a steady clock, truncated to 32 bits: it wraps after about
// 49.7 days, so intervals must be taken as unsigned differences.
[[nodiscard]] uint32_t TickCount();

// Adds `offsetMs` to every later TickCount() (0 restores the real count), so
// that tests can put the counter just past its wrap.
void ShiftTickCount(uint32_t offsetMs);

// The unsigned 32-bit distance from `earlier` to `later`, right across a wrap.
[[nodiscard]] inline uint32_t TicksBetween(uint32_t earlier, uint32_t later) {
    return later - earlier;
}

}  // namespace pixolune::platform
