#include "health_status.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>

namespace kalhost {
namespace {

using pixolune::platform::HealthRecord;
using pixolune::platform::HealthState;
using pixolune::platform::WallClock;
using pixolune::platform::WallTime;

constexpr uint64_t kBytesPerKiB = 1024ull;
constexpr uint64_t kBytesPerMiB = 1024ull * kBytesPerKiB;
constexpr uint64_t kBytesPerGiB = 1024ull * kBytesPerMiB;

std::tm LocalTime(WallTime time) {
    const std::time_t seconds = WallClock::to_time_t(time);
    std::tm local{};
    localtime_r(&seconds, &local);
    return local;
}

// "2 Dec 09:14".
std::string DayAndTime(WallTime time) {
    const std::tm local = LocalTime(time);
    char text[32];
    std::strftime(text, sizeof(text), "%e %b %H:%M", &local);
    std::string result(text);
    return result.front() == ' ' ? result.substr(1) : result;
}

// "14:02" today, else with its day.
std::string ShortTime(WallTime time, WallTime now) {
    const std::tm local = LocalTime(time);
    const std::tm today = LocalTime(now);
    if (local.tm_year != today.tm_year || local.tm_yday != today.tm_yday) return DayAndTime(time);
    char text[16];
    std::strftime(text, sizeof(text), "%H:%M", &local);
    return text;
}

std::string Size(uint64_t bytes) {
    char text[32];
    if (bytes >= kBytesPerGiB)
        std::snprintf(text, sizeof(text), "%llu GiB",
                      static_cast<unsigned long long>(bytes / kBytesPerGiB));
    else if (bytes >= kBytesPerMiB)
        std::snprintf(text, sizeof(text), "%llu MiB",
                      static_cast<unsigned long long>(bytes / kBytesPerMiB));
    else
        std::snprintf(text, sizeof(text), "%llu KiB",
                      static_cast<unsigned long long>(bytes / kBytesPerKiB));
    return text;
}

std::string Plural(uint64_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::string AtAGlance(const HealthRecord& record, WallTime now) {
    std::string line;
    if (const auto last = record.LastRefresh())
        line = "last refresh " + ShortTime(*last, now);
    else if (record.started)
        line = "no refresh yet (started " + ShortTime(*record.started, now) + ")";
    else
        line = "no refresh yet";
    const auto fine = std::count_if(record.feeds.begin(), record.feeds.end(), [](const auto& f) {
        return f.failuresInARow == 0 && f.lastSuccess;
    });
    line += ", " + Plural(static_cast<uint64_t>(fine), "feed fine", "feeds fine");
    line += ", " + Plural(record.listedFiles, "file", "files");
    if (record.freeBytes) line += ", " + Size(*record.freeBytes) + " free";
    return line;
}

std::string NeedsSignIn(const HealthRecord& record) {
    if (!record.tokenRefusedAt)
        return "not signed in: run `kalhost configure` and sign in to the service";
    return "the service refused the sign-in on " + DayAndTime(*record.tokenRefusedAt) +
           ": run `kalhost configure` and sign in again";
}

std::string ReserveReached(const HealthRecord& record) {
    std::string line = "the media folder's disk is full";
    if (record.freeBytes)
        line +=
            ": " + Size(*record.freeBytes) + " free, " + Size(record.reserveBytes) + " kept free";
    return line + "; nothing is downloaded until there is room";
}

std::string Stale(const HealthRecord& record) {
    const auto last = record.LastRefresh();
    const std::string since =
        last ? "since " + DayAndTime(*last) : "since the start on " + DayAndTime(*record.started);
    return "no successful refresh " + since + ", longer than twice the refresh interval (" +
           std::to_string(record.refreshIntervalMinutes) +
           " min) and an hour: is `kalhost run` running?";
}

void AddDetails(const HealthRecord& record, WallTime now, std::vector<std::string>& lines) {
    for (const auto& feed : record.feeds) {
        if (feed.failuresInARow == 0) continue;
        lines.push_back("feed " + std::to_string(feed.index) + " failed " +
                        Plural(static_cast<uint64_t>(feed.failuresInARow), "time", "times") +
                        " in a row: " + feed.lastError +
                        (feed.lastErrorAt ? " (last " + ShortTime(*feed.lastErrorAt, now) + ")"
                                          : std::string()));
    }
    const auto& batch = record.lastBatch;
    if (batch.closedAt)
        lines.push_back("last batch " + ShortTime(*batch.closedAt, now) + ": " +
                        std::to_string(batch.stored) + " stored (" + Size(batch.bytes) + "), " +
                        std::to_string(batch.pruned) + " pruned, " + std::to_string(batch.failed) +
                        " failed");
    if (record.queueLength > 0)
        lines.push_back(Plural(record.queueLength, "item", "items") + " waiting to download");
    if (record.nextRefresh) lines.push_back("next refresh " + ShortTime(*record.nextRefresh, now));
}

}  // namespace

HealthReport DescribeHealth(const HealthRecord& record, WallTime now) {
    HealthReport report;
    report.exit = HealthExit::Healthy;
    switch (record.State()) {
        case HealthState::WaitingForSignIn:
            report.exit = HealthExit::NeedsSignIn;
            report.lines.push_back(NeedsSignIn(record));
            break;
        case HealthState::MediaFolderUnusable:
            report.exit = HealthExit::MediaFolderUnusable;
            report.lines.push_back(record.mediaFolderProblem +
                                   ": see to it, or choose another with `kalhost configure`");
            break;
        case HealthState::DiskReserveReached:
            report.exit = HealthExit::DiskReserveReached;
            report.lines.push_back(ReserveReached(record));
            break;
        case HealthState::ServiceFailing:
        case HealthState::Working:
            if (record.IsStale(now)) {
                report.exit = HealthExit::Stale;
                report.lines.push_back(Stale(record));
            }
            break;
    }
    if (record.State() == HealthState::ServiceFailing && report.exit == HealthExit::Healthy)
        report.lines.push_back("the service fails: no feed could be read lately");
    report.lines.push_back(AtAGlance(record, now));
    AddDetails(record, now, report.lines);
    return report;
}

HealthReport DescribeMissingRecord(const std::string& path) {
    HealthReport report;
    report.exit = HealthExit::NoRecord;
    report.lines.push_back(path.empty() ? "no health record: neither XDG_STATE_HOME nor HOME is set"
                                        : "no health record yet (" + path +
                                              "): the download worker has not run");
    return report;
}

std::optional<HealthFile> ReadHealthFile(const std::string& path) {
    if (path.empty()) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::stringstream text;
    text << in.rdbuf();
    auto record = pixolune::platform::HealthRecordFromJson(text.str());
    if (!record) return std::nullopt;
    return HealthFile{text.str(), std::move(*record)};
}

}  // namespace kalhost
