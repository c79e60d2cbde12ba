#pragma once

#include <cstdint>

namespace pixolune {

// Whether `hour` (0-23) lies in the quiet hours [from, to), which may run
// over midnight (23 to 7); equal bounds mean there are none.
[[nodiscard]] bool IsQuietHour(int hour, int from, int to);

// The local hour of the day (0-23) at `wallSeconds` since 1970.
[[nodiscard]] int LocalHourAt(int64_t wallSeconds);

}  // namespace pixolune
