#include "platform/wall_time.h"

#include <cstdio>
#include <ctime>

namespace pixolune::platform {
namespace {

constexpr int kSecondsPerMinute = 60;

// Days since 1970-01-01 of a civil date, without the local zone that
// mktime would apply.
long long DaysFromCivil(int year, unsigned month, unsigned day) {
    year -= month <= 2;
    const long long era = (year >= 0 ? year : year - 399) / 400;
    const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<long long>(dayOfEra) - 719468;
}

}  // namespace

std::string FormatWallTime(WallTime time) {
    const std::time_t seconds = WallClock::to_time_t(time);
    std::tm local{};
    localtime_r(&seconds, &local);
    const long offsetMinutes = local.tm_gmtoff / kSecondsPerMinute;
    const long absolute = offsetMinutes < 0 ? -offsetMinutes : offsetMinutes;
    char text[96];
    std::snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02d%c%02ld:%02ld",
                  local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                  local.tm_min, local.tm_sec, offsetMinutes < 0 ? '-' : '+', absolute / 60,
                  absolute % 60);
    return text;
}

std::optional<WallTime> ParseWallTime(const std::string& text) {
    int year, month, day, hour, minute, second, used = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &year, &month, &day, &hour, &minute,
                    &second, &used) != 6 ||
        used != 19)
        return std::nullopt;
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
        return std::nullopt;
    long offsetSeconds = 0;
    const std::string zone = text.substr(19);
    if (zone != "Z") {
        int zoneHours, zoneMinutes, zoneUsed = 0;
        if (zone.size() != 6 || (zone[0] != '+' && zone[0] != '-') ||
            std::sscanf(zone.c_str() + 1, "%2d:%2d%n", &zoneHours, &zoneMinutes, &zoneUsed) != 2 ||
            zoneUsed != 5)
            return std::nullopt;
        offsetSeconds = (zoneHours * 60L + zoneMinutes) * kSecondsPerMinute;
        if (zone[0] == '-') offsetSeconds = -offsetSeconds;
    }
    const long long days =
        DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
    const long long utcSeconds =
        days * 86400 + hour * 3600LL + minute * 60LL + second - offsetSeconds;
    return WallTime(std::chrono::seconds(utcSeconds));
}

}  // namespace pixolune::platform
