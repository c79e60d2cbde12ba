#include "health_status.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>

namespace kalhost {
namespace {

using pixolune::HealthRecord;
using pixolune::HealthState;
using pixolune::HealthVerdict;
using pixolune::platform::WallClock;
using pixolune::platform::WallTime;

constexpr uint64_t kBytesPerKiB = 1024ull;
constexpr uint64_t kBytesPerMiB = 1024ull * kBytesPerKiB;
constexpr uint64_t kBytesPerGiB = 1024ull * kBytesPerMiB;
// Dates further than this from now show their year.
constexpr std::chrono::hours kDatesWithoutYear{24 * 90};

std::tm LocalTime(WallTime time) {
    const std::time_t seconds = WallClock::to_time_t(time);
    std::tm local{};
    localtime_r(&seconds, &local);
    return local;
}

// "2 Dec 09:14", or "2 Dec 2029 09:14" when months away from `now`.
std::string DayAndTime(WallTime time, WallTime now) {
    const std::tm local = LocalTime(time);
    const bool far = time > now + kDatesWithoutYear || time < now - kDatesWithoutYear;
    char text[32];
    std::strftime(text, sizeof(text), far ? "%e %b %Y %H:%M" : "%e %b %H:%M", &local);
    std::string result(text);
    return result.front() == ' ' ? result.substr(1) : result;
}

// "14:02" today, else with its day.
std::string ShortTime(WallTime time, WallTime now) {
    const std::tm local = LocalTime(time);
    const std::tm today = LocalTime(now);
    if (local.tm_year != today.tm_year || local.tm_yday != today.tm_yday)
        return DayAndTime(time, now);
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

std::string NeedsSignIn(const HealthRecord& record, WallTime now) {
    if (!record.tokenRefusedAt)
        return "not signed in: run `kalhost configure` and sign in to the service";
    return "the service refused the sign-in on " + DayAndTime(*record.tokenRefusedAt, now) +
           ": run `kalhost configure` and sign in again";
}

std::string ReserveReached(const HealthRecord& record) {
    std::string line = "the media folder's disk is full";
    if (record.freeBytes)
        line +=
            ": " + Size(*record.freeBytes) + " free, " + Size(record.reserveBytes) + " kept free";
    return line + "; nothing is downloaded until there is room";
}

std::string Stale(const HealthRecord& record, WallTime now) {
    if (record.LiesAhead(now))
        return "the record was written on " +
               DayAndTime(record.updated ? *record.updated : *record.started, now) +
               ", ahead of this clock: the clock jumped, and nothing the record says is known "
               "to hold; is `kalhost run` running?";
    const auto last = record.LastRefresh();
    const std::string since = last ? "since " + DayAndTime(*last, now)
                                   : "since the start on " + DayAndTime(*record.started, now);
    return "no successful refresh " + since + ", longer than twice the refresh interval (" +
           std::to_string(record.refreshIntervalMinutes) +
           " min) and an hour: is `kalhost run` running?";
}

std::string ServiceFails(const HealthRecord& record, WallTime now) {
    const auto last = record.LastRefresh();
    std::string line = "the service fails: every feed has failed";
    if (last)
        line += " since " + DayAndTime(*last, now);
    else if (record.started)
        line += " since the start on " + DayAndTime(*record.started, now);
    return line + " (see the feeds below)";
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
    if (const auto next = record.NextRefreshShown(now); next && !record.stoppedAt)
        lines.push_back("next refresh " + ShortTime(*next, now));
}

}  // namespace

HealthReport DescribeHealth(const HealthRecord& record, WallTime now) {
    HealthReport report;
    std::string first;
    switch (pixolune::JudgeHealth(record, now)) {
        case HealthVerdict::Healthy:
            report.exit = HealthExit::Healthy;
            break;
        case HealthVerdict::QuietHours:
            report.exit = HealthExit::Healthy;
            first = "quiet hours until " + ShortTime(record.QuietEndAfter(now), now) +
                    ": no refresh until then";
            break;
        case HealthVerdict::Stopped:
            report.exit = HealthExit::Stopped;
            first = "the download worker was stopped on " + DayAndTime(*record.stoppedAt, now) +
                    ": it runs again with `kalhost run`";
            break;
        case HealthVerdict::NeedsSignIn:
            report.exit = HealthExit::NeedsSignIn;
            first = NeedsSignIn(record, now);
            break;
        case HealthVerdict::MediaFolderUnusable:
            report.exit = HealthExit::MediaFolderUnusable;
            first = record.mediaFolderProblem +
                    ": see to it, or choose another with `kalhost configure`";
            break;
        case HealthVerdict::DiskReserveReached:
            report.exit = HealthExit::DiskReserveReached;
            first = ReserveReached(record);
            break;
        case HealthVerdict::Stale:
            report.exit = HealthExit::Stale;
            first = Stale(record, now);
            break;
        case HealthVerdict::ServiceFailing:
            report.exit = HealthExit::ServiceFailing;
            first = ServiceFails(record, now);
            break;
        case HealthVerdict::ClockLooksWrong:
            report.exit = HealthExit::ClockLooksWrong;
            first = "the clock looks wrong: the service's certificate was refused while the "
                    "date read earlier than this release was made; set the date (or let the "
                    "network set it)";
            break;
    }
    if (!first.empty()) report.lines.push_back(first);
    report.lines.push_back(AtAGlance(record, now));
    AddDetails(record, now, report.lines);
    return report;
}

HealthFile ReadHealthFile(const std::string& path) {
    HealthFile file;
    if (path.empty()) return file;
    std::ifstream in(path, std::ios::binary);
    if (!in) return file;
    file.found = true;
    std::stringstream text;
    text << in.rdbuf();
    file.text = text.str();
    file.record = pixolune::HealthRecordFromJson(file.text);
    return file;
}

HealthReport DescribeHealthFile(const std::string& path, const HealthFile& file, WallTime now) {
    if (file.record) return DescribeHealth(*file.record, now);
    HealthReport report;
    report.exit = HealthExit::NoRecord;
    if (path.empty())
        report.lines.push_back("no health record: neither XDG_STATE_HOME nor HOME is set");
    else if (file.found)
        report.lines.push_back("the health record " + path +
                               " is damaged: it is written anew at the worker's next refresh");
    else
        report.lines.push_back("no health record yet (" + path +
                               "): the download worker has not run");
    return report;
}

}  // namespace kalhost
