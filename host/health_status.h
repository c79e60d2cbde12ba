#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/health_record.h"

namespace kalhost {

// `kalhost status`'s exit status beside its lines; 1 to 4 are the other
// commands' failures.
enum class HealthExit : int {
    Healthy = 0,
    NoRecord = 5,
    NeedsSignIn = 6,
    MediaFolderUnusable = 7,
    DiskReserveReached = 8,
    Stale = 9,
};

// What `kalhost status` tells a person about the plug-in's health, read off
// its record alone: a few plain lines, the first of which says it all (the
// service manager shows that one), and the exit status a script tests.
struct HealthReport {
    HealthExit exit = HealthExit::NoRecord;
    std::vector<std::string> lines;
};

[[nodiscard]] HealthReport DescribeHealth(const pixolune::platform::HealthRecord& record,
                                          pixolune::platform::WallTime now);
[[nodiscard]] HealthReport DescribeMissingRecord(const std::string& path);

// The record's text and the record; nothing when the file is missing or not a record.
struct HealthFile {
    std::string text;
    pixolune::platform::HealthRecord record;
};
[[nodiscard]] std::optional<HealthFile> ReadHealthFile(const std::string& path);

}  // namespace kalhost
