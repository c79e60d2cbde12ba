#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "model/feed.h"
#include "model/health_record.h"
#include "platform/file_system.h"

namespace pixolune {

// What the worker closed a download batch with.
struct BatchCounts {
    bool itemsTaken = false;  // false: an idle pass found the queue empty
    uint64_t pruned = 0;
    uint64_t listedFiles = 0;
    uint64_t queueLength = 0;
    bool reserveReached = false;  // a download was refused for the disk's reserve
    std::string folder;           // whose disk's space is recorded
};

// Whether `now` reads earlier than the day this release was made: a clock
// that plainly is wrong (a board without a real-time clock, not yet set).
[[nodiscard]] bool ClockBeforeRelease(platform::WallTime now);

// Keeps the health record the host program shows: the engine tells it what
// happened through the calls below, it keeps the record and replaces its file
// when the overall state changes and when a batch closes. It never reaches
// into the engine, so it takes no lock of the engine's; its own lock lets the
// host's thread open it while a worker reports.
//
// Writing never fails a step of the worker: a record that can't be written
// is said once in the log, until a write succeeds again.
class HealthRecorder {
  public:
    using WallClock = std::function<platform::WallTime()>;

    explicit HealthRecorder(platform::FileSystem& fileSystem,
                            WallClock clock = platform::WallClock::now);

    // From here on the record goes to `path` (its folder is made private);
    // before, nothing is written. Marks the worker's start; the feeds'
    // history and the last batch of a record already there are kept. The
    // first write waits for the worker's first word: a host refused the
    // media folder must not write over the record of the one that has it.
    void Open(const std::string& path);

    // The worker's run: a clean stop is recorded with its time.
    void WorkerStarted();
    void WorkerStopped();

    // Refresh. A refresh that changed the overall state writes the record at
    // its end; the feeds' new times are written when the batch closes.
    void RefreshBegins(int32_t tmUpdateMinutes, int quietFrom, int quietTo);
    void RefreshEnded();
    // The settings' quiet hours [from, to) began or ended.
    void QuietHours(bool begun, int from, int to);
    // A pass that sends nothing (quiet hours): a record written while the
    // clock ran ahead would read as from the future once it is set right,
    // so it is written again then.
    void ClockReadAgain();
    void SignInMissing();
    // A new token came from the host: no sign-in is awaited until it is refused.
    void TokenGiven();
    void TokenRefused(std::chrono::milliseconds nextTryIn);
    void FeedRefreshed(int index, const CPixoluneFeed& feed, size_t queueLength);
    // `failure`: the failed request's result (an HTTP status, a negative or transfer code).
    void FeedFailed(int index, const CPixoluneFeed& feed, int failure,
                    std::chrono::milliseconds nextTryIn);
    void FeedsCounted(size_t count);

    // The media folder. `line` is the log line that said the problem.
    void FolderUnusable(const std::string& folder, const std::string& line);
    void FolderUsable(const std::string& folder);
    // Another host holds the folder: its record is that host's to write,
    // until this worker has the folder (FolderUsable).
    void FolderHeldByAnotherHost();

    // Downloads.
    void FileStored(const std::string& fullPath);
    void DownloadFailed();
    void BatchClosed(const BatchCounts& counts);

    // How long ago feed `index` last answered, as the record knows it across
    // restarts; nothing when it never has, or when that time lies ahead of the clock.
    [[nodiscard]] std::optional<std::chrono::milliseconds> SinceLastAnswer(
        int index, const CPixoluneFeed& feed) const;

    // A copy of the record as it stands (tests, and what the file holds once written).
    [[nodiscard]] HealthRecord Record() const;

  private:
    [[nodiscard]] platform::WallTime Now() const;
    void KeepHistoryOf(const std::string& path);
    void RemoveLeftovers();
    FeedHealth& FeedEntry(int index, const CPixoluneFeed& feed);
    void UpdateNextRefresh();
    // Writes at once when the overall state changed; else at the next batch close.
    void Changed();
    void WriteRecord();

    platform::FileSystem& fileSystem_;
    WallClock clock_;
    mutable std::mutex mutex_;  // guards every field below
    std::string path_;          // empty: not opened, nothing is written
    HealthRecord record_;
    BatchHealth batch_;                        // the batch being run
    std::optional<HealthState> writtenState_;  // none: not written since Open
    bool dirty_ = false;
    bool silent_ = false;  // another host writes this record
    bool writeFailureSaid_ = false;
};

}  // namespace pixolune
