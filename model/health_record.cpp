#include "model/health_record.h"

#include <json/json.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <memory>
#include <sstream>

namespace pixolune {
namespace {

constexpr std::chrono::hours kStaleGrace{1};
// A record written this far ahead of the clock was written by a clock that
// was wrong, or the clock is wrong now.
constexpr std::chrono::minutes kAheadTolerance{5};
// Quiet time is counted over at most this long a span; longer is stale anyway.
constexpr std::chrono::hours kLongestQuietCount{24 * 400};

int LocalHour(WallTime time) {
    const std::time_t seconds = WallClock::to_time_t(time);
    std::tm local{};
    localtime_r(&seconds, &local);
    return local.tm_hour;
}

// The start of the local hour after `time`.
WallTime NextHourStart(WallTime time) {
    const std::time_t seconds = WallClock::to_time_t(time);
    std::tm local{};
    localtime_r(&seconds, &local);
    const int intoHour = local.tm_min * 60 + local.tm_sec;
    return std::chrono::floor<std::chrono::seconds>(time) + std::chrono::seconds(3600 - intoHour);
}

bool WrittenLately(const HealthRecord& record, WallTime now) {
    if (!record.updated) return false;
    if (record.refreshIntervalMinutes <= 0) return true;
    return now - *record.updated <=
           2 * std::chrono::minutes(record.refreshIntervalMinutes) + kStaleGrace;
}

bool IsQuietHour(int hour, int from, int to) {
    if (from == to) return false;
    return from < to ? hour >= from && hour < to : hour >= from || hour < to;
}

Json::Value TimeValue(const std::optional<WallTime>& time) {
    return time ? Json::Value(platform::FormatWallTime(*time)) : Json::Value(Json::nullValue);
}

std::optional<WallTime> ReadTime(const Json::Value& value) {
    if (!value.isString()) return std::nullopt;
    return platform::ParseWallTime(value.asString());
}

uint64_t ReadCount(const Json::Value& value) {
    return value.isUInt64() ? value.asUInt64() : 0;
}

int ReadInt(const Json::Value& value) {
    return value.isInt() ? value.asInt() : 0;
}

std::string ReadText(const Json::Value& value) {
    return value.isString() ? value.asString() : std::string();
}

Json::Value FeedToJson(const FeedHealth& feed) {
    Json::Value out(Json::objectValue);
    out["index"] = feed.index;
    out["type"] = feed.type;
    out["tags"] = feed.tags;
    out["last_success"] = TimeValue(feed.lastSuccess);
    out["last_error"] = feed.lastError;
    out["last_error_at"] = TimeValue(feed.lastErrorAt);
    out["failures_in_a_row"] = feed.failuresInARow;
    out["next_try"] = TimeValue(feed.nextTry);
    return out;
}

FeedHealth FeedFromJson(const Json::Value& in) {
    FeedHealth feed;
    feed.index = ReadInt(in["index"]);
    feed.type = ReadInt(in["type"]);
    feed.tags = ReadText(in["tags"]);
    feed.lastSuccess = ReadTime(in["last_success"]);
    feed.lastError = ReadText(in["last_error"]);
    feed.lastErrorAt = ReadTime(in["last_error_at"]);
    feed.failuresInARow = ReadInt(in["failures_in_a_row"]);
    feed.nextTry = ReadTime(in["next_try"]);
    return feed;
}

Json::Value BatchToJson(const BatchHealth& batch) {
    Json::Value out(Json::objectValue);
    out["closed_at"] = TimeValue(batch.closedAt);
    out["stored"] = Json::UInt64(batch.stored);
    out["pruned"] = Json::UInt64(batch.pruned);
    out["failed"] = Json::UInt64(batch.failed);
    out["bytes"] = Json::UInt64(batch.bytes);
    return out;
}

BatchHealth BatchFromJson(const Json::Value& in) {
    BatchHealth batch;
    batch.closedAt = ReadTime(in["closed_at"]);
    batch.stored = ReadCount(in["stored"]);
    batch.pruned = ReadCount(in["pruned"]);
    batch.failed = ReadCount(in["failed"]);
    batch.bytes = ReadCount(in["bytes"]);
    return batch;
}

}  // namespace

bool FeedHealth::operator==(const FeedHealth& other) const {
    return index == other.index && type == other.type && tags == other.tags &&
           lastSuccess == other.lastSuccess && lastError == other.lastError &&
           lastErrorAt == other.lastErrorAt && failuresInARow == other.failuresInARow &&
           nextTry == other.nextTry;
}

bool BatchHealth::operator==(const BatchHealth& other) const {
    return closedAt == other.closedAt && stored == other.stored && pruned == other.pruned &&
           failed == other.failed && bytes == other.bytes;
}

bool HealthRecord::operator==(const HealthRecord& other) const {
    return version == other.version && started == other.started && updated == other.updated &&
           refreshIntervalMinutes == other.refreshIntervalMinutes &&
           nextRefresh == other.nextRefresh && quietFrom == other.quietFrom &&
           quietTo == other.quietTo && inQuietHours == other.inQuietHours &&
           stoppedAt == other.stoppedAt && signInNeeded == other.signInNeeded &&
           tokenRefusedAt == other.tokenRefusedAt && mediaFolder == other.mediaFolder &&
           mediaFolderProblem == other.mediaFolderProblem &&
           reserveReached == other.reserveReached && feeds == other.feeds &&
           lastBatch == other.lastBatch && queueLength == other.queueLength &&
           listedFiles == other.listedFiles && freeBytes == other.freeBytes &&
           reserveBytes == other.reserveBytes;
}

HealthState HealthRecord::State() const {
    if (stoppedAt) return HealthState::Stopped;
    if (signInNeeded) return HealthState::WaitingForSignIn;
    if (!mediaFolderProblem.empty()) return HealthState::MediaFolderUnusable;
    if (reserveReached) return HealthState::DiskReserveReached;
    if (EveryFeedFailing()) return HealthState::ServiceFailing;
    if (inQuietHours) return HealthState::QuietHours;
    return HealthState::Working;
}

HealthVerdict JudgeHealth(const HealthRecord& record, WallTime now) {
    if (record.stoppedAt && !record.LiesAhead(now)) return HealthVerdict::Stopped;
    switch (record.State()) {
        case HealthState::WaitingForSignIn:
            return HealthVerdict::NeedsSignIn;
        case HealthState::MediaFolderUnusable:
            return HealthVerdict::MediaFolderUnusable;
        case HealthState::DiskReserveReached:
            return HealthVerdict::DiskReserveReached;
        default:
            break;
    }
    if (record.LiesAhead(now)) return HealthVerdict::Stale;
    if (record.IsQuietAt(now)) return HealthVerdict::QuietHours;
    // A worker that still writes its record (it does at every refresh) says
    // the service fails; one that stopped writing is not known to run at all.
    const bool failing = record.State() == HealthState::ServiceFailing;
    if (failing && record.clockLooksWrong) return HealthVerdict::ClockLooksWrong;
    if (failing && WrittenLately(record, now)) return HealthVerdict::ServiceFailing;
    if (record.IsStale(now)) return HealthVerdict::Stale;
    return failing ? HealthVerdict::ServiceFailing : HealthVerdict::Healthy;
}

bool HealthRecord::EveryFeedFailing() const {
    // One feed that fails (a tag the service refuses) leaves the others working.
    const bool anyFailing = std::any_of(feeds.begin(), feeds.end(),
                                        [](const FeedHealth& f) { return f.failuresInARow > 0; });
    const bool anyFine = std::any_of(feeds.begin(), feeds.end(), [](const FeedHealth& f) {
        return f.failuresInARow == 0 && f.lastSuccess;
    });
    return anyFailing && !anyFine;
}

std::optional<WallTime> HealthRecord::LastRefresh() const {
    std::optional<WallTime> latest;
    for (const FeedHealth& feed : feeds)
        if (feed.lastSuccess && (!latest || *feed.lastSuccess > *latest)) latest = feed.lastSuccess;
    return latest;
}

bool HealthRecord::LiesAhead(WallTime now) const {
    const std::optional<WallTime> written = updated ? updated : started;
    return written && *written > now + kAheadTolerance;
}

bool HealthRecord::IsQuietAt(WallTime time) const {
    return IsQuietHour(LocalHour(time), quietFrom, quietTo);
}

WallTime HealthRecord::QuietEndAfter(WallTime time) const {
    for (int hours = 0; hours < 24 && IsQuietAt(time); ++hours) time = NextHourStart(time);
    return time;
}

std::optional<WallTime> HealthRecord::NextRefreshShown(WallTime now) const {
    if (!nextRefresh) return std::nullopt;
    WallTime next = std::max(*nextRefresh, IsQuietAt(now) ? now : *nextRefresh);
    return IsQuietAt(next) ? QuietEndAfter(next) : next;
}

bool HealthRecord::IsStale(WallTime now) const {
    if (LiesAhead(now)) return true;
    if (refreshIntervalMinutes <= 0) return false;
    const std::optional<WallTime> since = LastRefresh() ? LastRefresh() : started;
    if (!since || now <= *since) return false;
    auto allowed = std::chrono::duration_cast<std::chrono::seconds>(
        2 * std::chrono::minutes(refreshIntervalMinutes) + kStaleGrace);
    if (quietFrom == quietTo || now - *since > kLongestQuietCount) return now - *since > allowed;
    // Hours the user asked to be quiet are no hours without a refresh.
    for (WallTime at = *since; at < now;) {
        const WallTime next = std::min(NextHourStart(at), now);
        if (IsQuietAt(at)) allowed += std::chrono::duration_cast<std::chrono::seconds>(next - at);
        at = next;
    }
    return now - *since > allowed;
}

const char* StateName(HealthState state) {
    switch (state) {
        case HealthState::Working:
            return "working";
        case HealthState::WaitingForSignIn:
            return "waiting for a sign-in";
        case HealthState::MediaFolderUnusable:
            return "media folder unusable";
        case HealthState::DiskReserveReached:
            return "disk reserve reached";
        case HealthState::ServiceFailing:
            return "service failing";
        case HealthState::QuietHours:
            return "quiet hours";
        case HealthState::Stopped:
            return "stopped";
    }
    return "working";
}

std::string HealthRecordToJson(const HealthRecord& record) {
    Json::Value root(Json::objectValue);
    root["state"] = StateName(record.State());
    root["version"] = record.version;
    root["started"] = TimeValue(record.started);
    root["updated"] = TimeValue(record.updated);
    root["refresh_interval_minutes"] = record.refreshIntervalMinutes;
    root["next_refresh"] = TimeValue(record.nextRefresh);
    root["quiet_from"] = record.quietFrom;
    root["quiet_to"] = record.quietTo;
    root["in_quiet_hours"] = record.inQuietHours;
    if (record.clockLooksWrong) root["clock_looks_wrong"] = true;
    root["stopped_at"] = TimeValue(record.stoppedAt);
    root["sign_in_needed"] = record.signInNeeded;
    root["token_refused_at"] = TimeValue(record.tokenRefusedAt);
    root["media_folder"] = record.mediaFolder;
    root["media_folder_problem"] = record.mediaFolderProblem;
    root["reserve_reached"] = record.reserveReached;
    root["feeds"] = Json::Value(Json::arrayValue);
    for (const FeedHealth& feed : record.feeds) root["feeds"].append(FeedToJson(feed));
    root["last_batch"] = BatchToJson(record.lastBatch);
    root["queue_length"] = Json::UInt64(record.queueLength);
    root["listed_files"] = Json::UInt64(record.listedFiles);
    root["free_bytes"] =
        record.freeBytes ? Json::Value(Json::UInt64(*record.freeBytes)) : Json::Value();
    root["reserve_bytes"] = Json::UInt64(record.reserveBytes);
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "  ";
    return Json::writeString(builder, root) + "\n";
}

std::optional<HealthRecord> HealthRecordFromJson(const std::string& text) {
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    if (!reader->parse(text.data(), text.data() + text.size(), &root, &errors) ||
        !root.isObject() || !root["state"].isString())
        return std::nullopt;
    HealthRecord record;
    record.version = ReadText(root["version"]);
    record.started = ReadTime(root["started"]);
    record.updated = ReadTime(root["updated"]);
    record.refreshIntervalMinutes = ReadInt(root["refresh_interval_minutes"]);
    record.nextRefresh = ReadTime(root["next_refresh"]);
    record.quietFrom = std::clamp(ReadInt(root["quiet_from"]), 0, 23);
    record.quietTo = std::clamp(ReadInt(root["quiet_to"]), 0, 23);
    record.inQuietHours = root["in_quiet_hours"].isBool() && root["in_quiet_hours"].asBool();
    record.clockLooksWrong =
        root["clock_looks_wrong"].isBool() && root["clock_looks_wrong"].asBool();
    record.stoppedAt = ReadTime(root["stopped_at"]);
    record.signInNeeded = root["sign_in_needed"].isBool() && root["sign_in_needed"].asBool();
    record.tokenRefusedAt = ReadTime(root["token_refused_at"]);
    record.mediaFolder = ReadText(root["media_folder"]);
    record.mediaFolderProblem = ReadText(root["media_folder_problem"]);
    record.reserveReached = root["reserve_reached"].isBool() && root["reserve_reached"].asBool();
    if (root["feeds"].isArray())
        for (const Json::Value& feed : root["feeds"])
            if (feed.isObject()) record.feeds.push_back(FeedFromJson(feed));
    if (root["last_batch"].isObject()) record.lastBatch = BatchFromJson(root["last_batch"]);
    record.queueLength = ReadCount(root["queue_length"]);
    record.listedFiles = ReadCount(root["listed_files"]);
    if (root["free_bytes"].isUInt64()) record.freeBytes = root["free_bytes"].asUInt64();
    record.reserveBytes = ReadCount(root["reserve_bytes"]);
    return record;
}

}  // namespace pixolune
