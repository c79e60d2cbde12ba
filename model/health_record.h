#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/wall_time.h"

namespace pixolune {

// The plug-in's health as a user or a script reads it, written by the plug-in
// and read by the host program; both see this layer, so the record, its file
// format and the rules read off it live here once.

using platform::WallClock;
using platform::WallTime;

enum class HealthState {
    Working,
    WaitingForSignIn,
    MediaFolderUnusable,
    DiskReserveReached,
    ServiceFailing,
    QuietHours,  // no request until they end, by the user's wish
    Stopped,     // the worker was stopped and has not started again
};

// What a record says to a person or a script at a given time: the state,
// and whether its times still stand (kalhost status's exit status follows).
enum class HealthVerdict {
    Healthy,
    QuietHours,
    NeedsSignIn,
    MediaFolderUnusable,
    DiskReserveReached,
    Stale,
    ServiceFailing,
    Stopped,
    ClockLooksWrong,
};

struct FeedHealth {
    int index = 0;
    int type = 0;
    std::string tags;
    std::optional<WallTime> lastSuccess;
    std::string lastError;  // empty when the last query succeeded
    std::optional<WallTime> lastErrorAt;
    int failuresInARow = 0;
    std::optional<WallTime> nextTry;

    bool operator==(const FeedHealth&) const;
};

struct BatchHealth {
    std::optional<WallTime> closedAt;  // none: no batch closed yet
    uint64_t stored = 0;
    uint64_t pruned = 0;
    uint64_t failed = 0;
    uint64_t bytes = 0;

    bool operator==(const BatchHealth&) const;
};

struct HealthRecord {
    std::string version;  // the plug-in's, "1.4.0"
    std::optional<WallTime> started;
    std::optional<WallTime> updated;
    int refreshIntervalMinutes = 0;  // 0: each feed is read once per run
    std::optional<WallTime> nextRefresh;
    // The settings' quiet hours, local hours [from, to); equal: none.
    int quietFrom = 0;
    int quietTo = 0;
    bool inQuietHours = false;  // the worker keeps them now
    // The service's certificate was refused while the date read earlier than
    // this release was made: the clock, not the service, is what fails.
    bool clockLooksWrong = false;
    std::optional<WallTime> stoppedAt;  // a clean stop, until the next start

    // Why the worker can't go on without the user; clear when it can.
    bool signInNeeded = false;
    std::optional<WallTime> tokenRefusedAt;  // none with signInNeeded: no token at all
    std::string mediaFolder;
    std::string mediaFolderProblem;  // empty: the folder is usable
    bool reserveReached = false;

    std::vector<FeedHealth> feeds;
    BatchHealth lastBatch;
    uint64_t queueLength = 0;
    uint64_t listedFiles = 0;
    std::optional<uint64_t> freeBytes;  // none: the disk's space could not be read
    uint64_t reserveBytes = 0;

    // The first condition that holds, as it was when the record was written:
    // a stop, then what the user must mend first, then quiet hours.
    [[nodiscard]] HealthState State() const;
    // No successful refresh (or, before the first, no start) for longer than
    // twice the refresh interval plus an hour, time in quiet hours not
    // counted: the frame has stopped getting new media although nothing says
    // why. Never with an interval of 0. A record whose times lie ahead of
    // `now` (a clock that jumped) is stale too: nothing it says is known to hold.
    [[nodiscard]] bool IsStale(WallTime now) const;
    // Whether the record was written at a time ahead of `now`.
    [[nodiscard]] bool LiesAhead(WallTime now) const;
    // Whether `time` falls in the quiet hours, and when they end.
    [[nodiscard]] bool IsQuietAt(WallTime time) const;
    [[nodiscard]] WallTime QuietEndAfter(WallTime time) const;
    // When the next refresh comes as far as the record knows: never within
    // quiet hours; nothing when the record names none.
    [[nodiscard]] std::optional<WallTime> NextRefreshShown(WallTime now) const;
    // Every feed failed its last query, and none is fine.
    [[nodiscard]] bool EveryFeedFailing() const;
    // The latest successful refresh of any feed.
    [[nodiscard]] std::optional<WallTime> LastRefresh() const;

    bool operator==(const HealthRecord&) const;
};

// The record's file: JSON, times as ISO 8601 with the zone's offset, the
// state spelled out (StateName) beside the facts it was derived from.
[[nodiscard]] std::string HealthRecordToJson(const HealthRecord& record);
// Nothing when the text is not a record.
[[nodiscard]] std::optional<HealthRecord> HealthRecordFromJson(const std::string& text);

[[nodiscard]] const char* StateName(HealthState state);

// The record read at `now`: what `kalhost status` and the service manager say.
[[nodiscard]] HealthVerdict JudgeHealth(const HealthRecord& record, WallTime now);

}  // namespace pixolune
