#pragma once

#include <optional>
#include <string>
#include <vector>

#include "model/health_record.h"

namespace kalhost {

// `kalhost status`'s exit status beside its lines; 1 to 4 are the other
// commands' failures, 11 is `run --once`'s.
enum class HealthExit : int {
    Healthy = 0,
    NoRecord = 5,  // none yet, or one that can't be read
    NeedsSignIn = 6,
    MediaFolderUnusable = 7,
    DiskReserveReached = 8,
    Stale = 9,
    ServiceFailing = 10,
    Stopped = 12,
    ClockLooksWrong = 13,
};

// What `kalhost status` tells a person about the plug-in's health, read off
// its record alone: a few plain lines, the first of which says it all (the
// service manager shows that one), and the exit status a script tests.
struct HealthReport {
    HealthExit exit = HealthExit::NoRecord;
    std::vector<std::string> lines;
};

[[nodiscard]] HealthReport DescribeHealth(const pixolune::HealthRecord& record,
                                          pixolune::platform::WallTime now);

// The record's file as read: its text, and the record when the text is one.
struct HealthFile {
    bool found = false;
    std::string text;
    std::optional<pixolune::HealthRecord> record;
};
[[nodiscard]] HealthFile ReadHealthFile(const std::string& path);
// What the file at `path` says at `now`: its record's report, or why there is none.
[[nodiscard]] HealthReport DescribeHealthFile(const std::string& path, const HealthFile& file,
                                              pixolune::platform::WallTime now);

}  // namespace kalhost
