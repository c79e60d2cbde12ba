#include "engine/health_recorder.h"

#include <fcntl.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "engine/disk_reserve.h"
#include "engine/feed_query.h"
#include "generated/pixolune_version.h"
#include "model/host_link.h"
#include "platform/atomic_file.h"
#include "platform/state_folder.h"
#include "service/http_retrieval.h"

namespace pixolune {
namespace {

constexpr mode_t kRecordMode = 0600;

// The failed request's result in words; never its URL, which carries the token.
std::string DescribeFailure(int failure) {
    return RetrievalFailureText(static_cast<RetrievalResult>(failure));
}

std::string VersionText() {
    return std::to_string(PIXOLUNE_VERSION_MAJOR) + "." + std::to_string(PIXOLUNE_VERSION_MINOR) +
           "." + std::to_string(PIXOLUNE_VERSION_PATCH);
}

std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

}  // namespace

HealthRecorder::HealthRecorder(platform::FileSystem& fileSystem, WallClock clock)
    : fileSystem_(fileSystem), clock_(std::move(clock)) {
    record_.version = VersionText();
}

platform::WallTime HealthRecorder::Now() const {
    // Whole seconds, as the file keeps them: a record reads back as it was.
    return std::chrono::floor<std::chrono::seconds>(clock_());
}

bool ClockBeforeRelease(platform::WallTime now) {
    return now < platform::WallTime(std::chrono::seconds(PIXOLUNE_RELEASED_ON));
}

void HealthRecorder::Open(const std::string& path) {
    std::lock_guard<std::mutex> guard(mutex_);
    path_ = path;
    writeFailureSaid_ = false;
    record_.started = Now();
    if (path_.empty()) {
        Log("HealthRecord: no state folder (neither XDG_STATE_HOME nor HOME is set); the "
            "plug-in's health is not recorded");
        return;
    }
    KeepHistoryOf(path_);
    const platform::Outcome folder = platform::MakePrivateFolder(FolderOf(path_));
    if (!folder) {
        Log("HealthRecord: %s; the plug-in's health is not recorded", folder.Error().c_str());
        writeFailureSaid_ = true;
    }
    RemoveLeftovers();
    writtenState_.reset();
    dirty_ = true;
}

void HealthRecorder::WorkerStarted() {
    std::lock_guard<std::mutex> guard(mutex_);
    record_.stoppedAt.reset();
    record_.inQuietHours = false;
    dirty_ = true;
    // A start after a stop says so at once; the first start waits for the
    // worker's first word (the folder may be another host's).
    if (writtenState_) WriteRecord();
}

void HealthRecorder::WorkerStopped() {
    std::lock_guard<std::mutex> guard(mutex_);
    record_.stoppedAt = Now();
    Changed();
}

void HealthRecorder::RefreshEnded() {
    std::lock_guard<std::mutex> guard(mutex_);
    // The feeds' new times wait for the batch's close, at most a minute
    // away: a worker refreshing every minute writes the record once, not twice.
    if (dirty_ && record_.State() != writtenState_) WriteRecord();
}

void HealthRecorder::QuietHours(bool begun, int from, int to) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (record_.inQuietHours == begun && record_.quietFrom == from && record_.quietTo == to) return;
    record_.inQuietHours = begun;
    record_.quietFrom = from;
    record_.quietTo = to;
    // No refresh writes the record until the hours end: the next refresh it
    // shows moves now, whatever state it says.
    dirty_ = true;
    if (writtenState_)
        WriteRecord();
    else
        Changed();
}

void HealthRecorder::ClockReadAgain() {
    std::lock_guard<std::mutex> guard(mutex_);
    constexpr std::chrono::minutes kSkew{1};
    if (writtenState_ && record_.updated && *record_.updated > Now() + kSkew) WriteRecord();
}

void HealthRecorder::TokenGiven() {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!record_.signInNeeded) return;
    record_.signInNeeded = false;
    record_.tokenRefusedAt.reset();
    Changed();
}

void HealthRecorder::FolderHeldByAnotherHost() {
    std::lock_guard<std::mutex> guard(mutex_);
    silent_ = true;
}

void HealthRecorder::RemoveLeftovers() {
    // A kill in the middle of a write leaves the writer's temporary file.
    const std::string folder = FolderOf(path_);
    const std::string recordName = path_.substr(path_.rfind('/') + 1);
    std::vector<std::string> names;
    if (fileSystem_.ListFolder(folder.c_str(), &names) != 0) return;
    for (const std::string& name : names)
        if (platform::IsAtomicWriteLeftover(name, recordName))
            fileSystem_.Unlink((folder + "/" + name).c_str());
}

void HealthRecorder::KeepHistoryOf(const std::string& path) {
    std::string text;
    platform::FileHandle file(fileSystem_, fileSystem_.Open(path.c_str(), O_RDONLY | O_CLOEXEC, 0));
    char buffer[4096];
    ssize_t got;
    while (file && (got = fileSystem_.Read(file.Get(), buffer, sizeof(buffer))) > 0)
        text.append(buffer, static_cast<size_t>(got));
    const std::optional<HealthRecord> earlier = HealthRecordFromJson(text);
    if (!earlier) return;
    // A restart must not hide since when the feeds have not been read; what
    // needs the user is found again by the first pass.
    record_.feeds = earlier->feeds;
    for (FeedHealth& feed : record_.feeds) feed.nextTry.reset();
    record_.lastBatch = earlier->lastBatch;
    record_.listedFiles = earlier->listedFiles;
}

void HealthRecorder::RefreshBegins(int32_t tmUpdateMinutes, int quietFrom, int quietTo) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (record_.refreshIntervalMinutes == tmUpdateMinutes && record_.quietFrom == quietFrom &&
        record_.quietTo == quietTo)
        return;
    record_.refreshIntervalMinutes = tmUpdateMinutes;
    record_.quietFrom = quietFrom;
    record_.quietTo = quietTo;
    dirty_ = true;
}

void HealthRecorder::SignInMissing() {
    std::lock_guard<std::mutex> guard(mutex_);
    if (record_.signInNeeded && !record_.tokenRefusedAt) return;
    record_.signInNeeded = true;
    record_.tokenRefusedAt.reset();
    record_.nextRefresh.reset();
    Changed();
}

void HealthRecorder::TokenRefused(std::chrono::milliseconds nextTryIn) {
    std::lock_guard<std::mutex> guard(mutex_);
    const platform::WallTime now = Now();
    if (!record_.signInNeeded || !record_.tokenRefusedAt) record_.tokenRefusedAt = now;
    record_.signInNeeded = true;
    record_.nextRefresh = now + std::chrono::duration_cast<std::chrono::seconds>(nextTryIn);
    Changed();
}

FeedHealth& HealthRecorder::FeedEntry(int index, const CPixoluneFeed& feed) {
    auto& feeds = record_.feeds;
    auto found = std::find_if(feeds.begin(), feeds.end(),
                              [index](const FeedHealth& f) { return f.index == index; });
    // A feed replaced in the dialog starts a history of its own.
    if (found != feeds.end() && (found->type != feed.Type || found->tags != feed.Tags))
        *found = FeedHealth{};
    if (found == feeds.end()) {
        feeds.push_back({});
        found = feeds.end() - 1;
    }
    found->index = index;
    found->type = feed.Type;
    found->tags = feed.Tags;
    std::sort(feeds.begin(), feeds.end(),
              [](const FeedHealth& a, const FeedHealth& b) { return a.index < b.index; });
    return *std::find_if(feeds.begin(), feeds.end(),
                         [index](const FeedHealth& f) { return f.index == index; });
}

std::optional<std::chrono::milliseconds> HealthRecorder::SinceLastAnswer(
    int index, const CPixoluneFeed& feed) const {
    std::lock_guard<std::mutex> guard(mutex_);
    for (const FeedHealth& entry : record_.feeds) {
        if (entry.index != index || entry.type != feed.Type || entry.tags != feed.Tags ||
            !entry.lastSuccess)
            continue;
        const auto since = Now() - *entry.lastSuccess;
        if (since < platform::WallClock::duration::zero()) return std::nullopt;
        return std::chrono::duration_cast<std::chrono::milliseconds>(since);
    }
    return std::nullopt;
}

void HealthRecorder::UpdateNextRefresh() {
    if (record_.signInNeeded) return;  // the token's own schedule stands
    record_.nextRefresh.reset();
    for (const FeedHealth& feed : record_.feeds)
        if (feed.nextTry && (!record_.nextRefresh || *feed.nextTry < *record_.nextRefresh))
            record_.nextRefresh = feed.nextTry;
}

void HealthRecorder::FeedRefreshed(int index, const CPixoluneFeed& feed, size_t queueLength) {
    std::lock_guard<std::mutex> guard(mutex_);
    const platform::WallTime now = Now();
    // An answer proves the token good, and the clock good enough.
    record_.clockLooksWrong = false;
    record_.signInNeeded = false;
    record_.tokenRefusedAt.reset();
    FeedHealth& entry = FeedEntry(index, feed);
    entry.lastSuccess = now;
    entry.lastError.clear();
    entry.lastErrorAt.reset();
    entry.failuresInARow = 0;
    entry.nextTry.reset();
    if (record_.refreshIntervalMinutes > 0)
        entry.nextTry = now + std::chrono::minutes(record_.refreshIntervalMinutes);
    record_.queueLength = queueLength;
    UpdateNextRefresh();
    Changed();
}

void HealthRecorder::FeedFailed(int index, const CPixoluneFeed& feed, int failure,
                                std::chrono::milliseconds nextTryIn) {
    std::lock_guard<std::mutex> guard(mutex_);
    const platform::WallTime now = Now();
    FeedHealth& entry = FeedEntry(index, feed);
    entry.lastError = DescribeFailure(failure);
    entry.lastErrorAt = now;
    ++entry.failuresInARow;
    entry.nextTry = now + std::chrono::duration_cast<std::chrono::seconds>(nextTryIn);
    record_.clockLooksWrong = failure == ResultCode(kCertificateRefused) && ClockBeforeRelease(now);
    UpdateNextRefresh();
    Changed();
}

void HealthRecorder::FeedsCounted(size_t count) {
    std::lock_guard<std::mutex> guard(mutex_);
    auto& feeds = record_.feeds;
    const auto gone = std::remove_if(feeds.begin(), feeds.end(), [count](const auto& f) {
        return f.index < 0 || static_cast<size_t>(f.index) >= count;
    });
    if (gone == feeds.end()) return;
    feeds.erase(gone, feeds.end());
    UpdateNextRefresh();
    dirty_ = true;
}

void HealthRecorder::FolderUnusable(const std::string& folder, const std::string& line) {
    std::lock_guard<std::mutex> guard(mutex_);
    // Log lines begin with the operation's name, which means nothing to a user.
    const size_t nameEnd = line.find(": ");
    const std::string problem = nameEnd == std::string::npos ? line : line.substr(nameEnd + 2);
    if (record_.mediaFolder == folder && record_.mediaFolderProblem == problem) return;
    record_.mediaFolder = folder;
    record_.mediaFolderProblem = problem;
    Changed();
}

void HealthRecorder::FolderUsable(const std::string& folder) {
    std::lock_guard<std::mutex> guard(mutex_);
    silent_ = false;
    if (record_.mediaFolder == folder && record_.mediaFolderProblem.empty()) return;
    record_.mediaFolder = folder;
    record_.mediaFolderProblem.clear();
    Changed();
}

void HealthRecorder::FileStored(const std::string& fullPath) {
    struct stat status {};
    const bool sized = fileSystem_.Lstat(fullPath.c_str(), &status) == 0;
    std::lock_guard<std::mutex> guard(mutex_);
    ++batch_.stored;
    if (sized) batch_.bytes += static_cast<uint64_t>(status.st_size);
}

void HealthRecorder::DownloadFailed() {
    std::lock_guard<std::mutex> guard(mutex_);
    ++batch_.failed;
}

void HealthRecorder::BatchClosed(const BatchCounts& counts) {
    std::optional<DiskSpace> space;
    if (!counts.folder.empty()) space = ReadDiskSpace(fileSystem_, counts.folder);
    const bool spaceKnown = space.has_value();
    const DiskSpace disk = space.value_or(DiskSpace{});
    std::lock_guard<std::mutex> guard(mutex_);
    record_.listedFiles = counts.listedFiles;
    record_.queueLength = counts.queueLength;
    record_.freeBytes.reset();
    if (spaceKnown) {
        record_.freeBytes = disk.freeBytes;
        record_.reserveBytes = ReserveBytesFor(disk.sizeBytes);
    }
    // Reached stays until the disk shows room again: a batch of known items
    // downloads nothing and proves nothing.
    const bool roomSeen = spaceKnown && disk.freeBytes > record_.reserveBytes;
    record_.reserveReached = counts.reserveReached || (record_.reserveReached && !roomSeen);
    if (counts.itemsTaken) {
        batch_.pruned = counts.pruned;
        batch_.closedAt = Now();
        record_.lastBatch = batch_;
        batch_ = BatchHealth{};
        dirty_ = true;
    }
    if (dirty_ || record_.State() != writtenState_) WriteRecord();
}

HealthRecord HealthRecorder::Record() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return record_;
}

void HealthRecorder::Changed() {
    dirty_ = true;
    if (record_.State() != writtenState_) WriteRecord();
}

void HealthRecorder::WriteRecord() {
    if (path_.empty() || silent_) return;
    record_.updated = Now();
    const platform::Outcome written =
        platform::WriteFileAtomically(fileSystem_, path_, HealthRecordToJson(record_), kRecordMode);
    if (!written) {
        if (!writeFailureSaid_)
            Log("HealthRecord: can't write %s (%s)", path_.c_str(), written.Error().c_str());
        writeFailureSaid_ = true;
        return;
    }
    writeFailureSaid_ = false;
    writtenState_ = record_.State();
    dirty_ = false;
}

}  // namespace pixolune
