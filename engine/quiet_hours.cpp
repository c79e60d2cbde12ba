#include "engine/quiet_hours.h"

#include <ctime>

namespace pixolune {

bool IsQuietHour(int hour, int from, int to) {
    if (from == to) return false;
    if (from < to) return hour >= from && hour < to;
    return hour >= from || hour < to;  // over midnight
}

int LocalHourAt(int64_t wallSeconds) {
    const std::time_t when = static_cast<std::time_t>(wallSeconds);
    std::tm local{};
    if (!localtime_r(&when, &local)) return 0;
    return local.tm_hour;
}

}  // namespace pixolune
