#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace pixolune::platform {

// The calendar clock, as the health record and the log show it.
using WallClock = std::chrono::system_clock;
using WallTime = WallClock::time_point;

// "2026-12-02T09:14:05+01:00", local time, whole seconds.
[[nodiscard]] std::string FormatWallTime(WallTime time);
// Reads what FormatWallTime writes, and "Z" for UTC.
[[nodiscard]] std::optional<WallTime> ParseWallTime(const std::string& text);

}  // namespace pixolune::platform
