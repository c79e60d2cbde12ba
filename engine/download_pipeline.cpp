#include "engine/download_pipeline.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <optional>
#include <string_view>
#include <utility>

#include "engine/disk_reserve.h"
#include "model/host_link.h"
#include "platform/tick_count.h"
#include "platform/url_parts.h"

namespace pixolune {
namespace {

// A note holds one header value; anything longer is no note of ours.
constexpr size_t kLongestNoteBytes = 1024;
constexpr long kHttpTooManyRequests = 429;
constexpr long kHttpUnavailable = 503;
constexpr long kHttpRangeNotSatisfiable = 416;

std::string HostOf(const std::string& url) {
    const auto parts = platform::ParseUrl(url);
    if (!parts) return url;
    return parts->scheme + "://" + parts->host + ":" + std::to_string(parts->port);
}

// Retry-After in seconds; an HTTP date (or anything else) is taken as a minute.
std::chrono::seconds RetryAfterOf(const std::string& text) {
    constexpr std::chrono::seconds kUnreadable{60};
    if (text.empty() || text.size() > 9) return kUnreadable;
    long seconds = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return kUnreadable;
        seconds = seconds * 10 + (c - '0');
    }
    return std::chrono::seconds(seconds);
}

std::chrono::milliseconds Doubled(std::chrono::milliseconds first, int times,
                                  std::chrono::milliseconds longest) {
    std::chrono::milliseconds pause = first;
    for (int i = 0; i < times && pause < longest; ++i) pause *= 2;
    return std::min(pause, longest);
}

// The line broke off after the answer began. A server too slow for our own
// limits is not: asking again won't help, and it gets nothing stored.
bool IsCut(const platform::HttpResult& result) {
    return (result.failure == platform::HttpFailure::Body ||
            result.failure == platform::HttpFailure::Status) &&
           result.limitReached == platform::HttpLimitReached::None;
}

long long Ms(std::chrono::milliseconds duration) {
    return static_cast<long long>(duration.count());
}

}  // namespace

struct DownloadPipeline::Entry {
    uint64_t order = 0;  // queue order
    CPixoluneItem item;
    LocalName name;
    PartialPaths paths;
    std::string host;
    std::unique_ptr<MediaTransfer> transfer;
    Clock::time_point notBefore;
    uint64_t bytesBefore = 0;  // in the part when this try began
    int triesWithoutProgress = 0;
    int triesInAll = 0;
    int hostHolds = 0;
    bool startOver = false;  // the next try must not resume
};

DownloadPipeline::DownloadPipeline(platform::HttpSession& session, platform::FileSystem& fileSystem,
                                   platform::Clock& clock)
    : session_(session), fileSystem_(fileSystem), clock_(clock), lastTick_(clock.TickCount()) {}

DownloadPipeline::Clock::time_point DownloadPipeline::Now() const {
    const uint32_t tick = clock_.TickCount();
    elapsedMs_ += platform::TicksBetween(lastTick_, tick);
    lastTick_ = tick;
    return Clock::time_point(std::chrono::milliseconds(elapsedMs_));
}

DownloadPipeline::~DownloadPipeline() {
    (void)Cancel();
}

void DownloadPipeline::Prepare(const std::string& folder, const std::atomic<int32_t>* stop,
                               const MediaDownloadLimits& limits,
                               std::atomic<bool>* reserveSaidInBatch) {
    folder_ = folder;
    stop_ = stop;
    limits_ = limits;
    reserveSaidInBatch_ = reserveSaidInBatch;
}

bool DownloadPipeline::PreparedFor(const std::string& folder,
                                   const std::atomic<int32_t>* stop) const {
    return folder == folder_ && stop == stop_;
}

void DownloadPipeline::Add(const CPixoluneItem& item, const LocalName& name) {
    auto entry = std::make_unique<Entry>();
    entry->order = nextOrder_++;
    entry->item = item;
    entry->name = name;
    entry->paths = PartialPathsFor(folder_, name.fileName, item.Url);
    entry->host = HostOf(item.Url);
    entry->notBefore = Now();
    claimed_.insert(name.fileName);
    urls_.insert(item.Url);
    waiting_.push_back(std::move(entry));
}

std::vector<DownloadPipeline::Complete> DownloadPipeline::Refill() {
    std::vector<Complete> complete;
    if (StopRequested()) return complete;
    // Transfers that ended while another request drove the session still hold their slots.
    if (!inFlight_.empty())
        TakeAllEnded(session_.DriveUntilOneEnds(std::chrono::milliseconds(0)), complete);
    while (StartReady()) {
    }
    return complete;
}

std::vector<DownloadPipeline::Complete> DownloadPipeline::TakeWhatCame() {
    std::vector<Complete> complete;
    if (!inFlight_.empty())
        TakeAllEnded(session_.DriveUntilOneEnds(std::chrono::milliseconds(0)), complete);
    return complete;
}

std::vector<DownloadPipeline::Complete> DownloadPipeline::Step() {
    std::vector<Complete> complete;
    if (StopRequested()) return complete;
    while (StartReady()) {
    }
    if (Empty()) return complete;
    if (inFlight_.empty()) {
        // Every item waits out a pause: the wait passes on the engine's clock.
        (void)clock_.WaitFor(pauseEnded_, std::min(TimeToNextStart(), timing_.longestStep));
        while (StartReady()) {
        }
        if (inFlight_.empty()) return complete;
    }
    std::chrono::milliseconds wait = timing_.longestStep;
    if (inFlight_.size() < kTransfersInFlight && !waiting_.empty())
        wait = std::clamp(TimeToNextStart(), std::chrono::milliseconds(1), wait);
    TakeAllEnded(session_.DriveUntilOneEnds(wait), complete);
    return complete;
}

void DownloadPipeline::TakeAllEnded(std::vector<platform::HttpSession::Ended> ended,
                                    std::vector<Complete>& complete) {
    int loopFailures = 0;
    std::string loopFailure;
    for (platform::HttpSession::Ended& one : ended) {
        if (one.result.loopFailed) {
            ++loopFailures;
            loopFailure = one.result.errorText;
        }
        TakeEnded(one, complete);
    }
    if (loopFailures > 0)
        Log("DownloadNext(), the transfer loop failed (%s): %d transfers ended",
            loopFailure.c_str(), loopFailures);
}

bool DownloadPipeline::HostHeld(const Entry& entry, Clock::time_point now) const {
    const auto hold = holds_.find(entry.host);
    return hold != holds_.end() && hold->second.until > now;
}

bool DownloadPipeline::HostHeld(const std::string& url) const {
    const auto hold = holds_.find(HostOf(url));
    return hold != holds_.end() && hold->second.until > Now();
}

size_t DownloadPipeline::HeldBack() const {
    if (holds_.empty()) return 0;
    const Clock::time_point now = Now();
    return static_cast<size_t>(std::count_if(
        waiting_.begin(), waiting_.end(), [&](const auto& entry) { return HostHeld(*entry, now); }));
}

uint64_t DownloadPipeline::PromisedBytes(const MediaTransfer* besides) const {
    uint64_t promised = 0;
    for (const auto& [id, entry] : inFlight_)
        if (entry->transfer && entry->transfer.get() != besides)
            promised += entry->transfer->BytesStillToCome();
    return promised;
}

bool DownloadPipeline::DiskHasRoomForMore() const {
    const uint64_t promised = PromisedBytes(nullptr);
    if (promised == 0) return true;
    const std::optional<DiskSpace> space = ReadDiskSpace(fileSystem_, folder_.empty() ? "." : folder_);
    if (!space) return true;  // a failed query says nothing of the disk
    const uint64_t reserve = ReserveBytesFor(space->sizeBytes);
    return space->freeBytes > reserve && space->freeBytes - reserve > promised;
}

// Starts the first item, in queue order, whose pause and host allow it;
// false when there is none or no slot. While the transfers in flight have
// announced all the room the disk has, none starts: what starts must be
// able to finish, and the others wait for a later batch.
bool DownloadPipeline::StartReady() {
    if (inFlight_.size() >= kTransfersInFlight || StopRequested()) return false;
    const Clock::time_point now = Now();
    for (auto it = waiting_.begin(); it != waiting_.end(); ++it) {
        Entry& entry = **it;
        if (entry.notBefore > now || HostHeld(entry, now)) continue;
        if (!DiskHasRoomForMore()) return false;
        std::unique_ptr<Entry> taken = std::move(*it);
        waiting_.erase(it);
        Start(*taken);
        if (taken->transfer) {
            const platform::HttpSession::TransferId id = session_.Start(taken->transfer->Request());
            inFlight_.emplace(id, std::move(taken));
        } else {
            ++failed_;
            Release(*taken);
        }
        return true;
    }
    return false;
}

// Gives the entry its transfer, resuming its part when the part and its
// validator are there; leaves it without one when Begin refused (logged).
void DownloadPipeline::Start(Entry& entry) {
    TransferFileStart start;
    start.mode = TransferFileStart::Mode::Exclusive;
    struct stat status {};
    const bool partThere = fileSystem_.Lstat(entry.paths.part.c_str(), &status) == 0;
    if (partThere && !entry.startOver && S_ISREG(status.st_mode) && !IsStale(entry.paths.part)) {
        start.validator = ReadNote(entry.paths.note);
        if (!start.validator.empty()) start.mode = TransferFileStart::Mode::Resume;
    }
    if (start.mode == TransferFileStart::Mode::Exclusive) RemovePart(entry.paths);
    entry.startOver = false;
    entry.transfer = std::make_unique<MediaTransfer>(fileSystem_, entry.item.Url, entry.paths.part,
                                                     limits_, stop_, reserveSaidInBatch_);
    entry.transfer->StartFileAs(std::move(start));
    entry.transfer->OnValidator([this, note = entry.paths.note](const std::string& validator) {
        WriteNote(note, validator);
    });
    entry.transfer->WeighAgainst(
        [this, self = entry.transfer.get()] { return PromisedBytes(self); });
    if (entry.transfer->Begin() != DownloadResult::Ok) {
        entry.transfer.reset();
        return;
    }
    entry.bytesBefore = entry.transfer->BytesInFile();
}

std::chrono::milliseconds DownloadPipeline::TimeToNextStart() const {
    const Clock::time_point now = Now();
    Clock::time_point next = Clock::time_point::max();
    for (const auto& entry : waiting_) {
        Clock::time_point ready = entry->notBefore;
        if (const auto hold = holds_.find(entry->host); hold != holds_.end())
            ready = std::max(ready, hold->second.until);
        next = std::min(next, ready);
    }
    if (next <= now) return std::chrono::milliseconds(0);
    if (next == Clock::time_point::max()) return timing_.longestStep;
    return std::chrono::duration_cast<std::chrono::milliseconds>(next - now) +
           std::chrono::milliseconds(1);
}

void DownloadPipeline::TakeEnded(platform::HttpSession::Ended& ended,
                                 std::vector<Complete>& complete) {
    const auto found = inFlight_.find(ended.id);
    if (found == inFlight_.end()) return;
    std::unique_ptr<Entry> entry = std::move(found->second);
    inFlight_.erase(found);
    if (ended.thrown) {
        (void)entry->transfer->Broken();
        ++failed_;
        Release(*entry);
        return;
    }
    if (StopRequested() && ended.result.failure != platform::HttpFailure::None) {
        // The item waits for Cancel to give it back to the queue; its part
        // stays for the next run to go on from, as after a cut. One that
        // came whole before the stop is stored as ever.
        SetAside(*entry);
        Requeue(std::move(*entry));
        return;
    }
    const Ending why = Classify(*entry, ended.result);
    if (why == Ending::Done) {
        Finish(*entry, ended.result, complete);
        return;
    }
    Retry(std::move(*entry), why, ended.result);
}

DownloadPipeline::Ending DownloadPipeline::Classify(const Entry& entry,
                                                    const platform::HttpResult& result) const {
    if (StopRequested() || result.loopFailed) return Ending::Done;
    if (entry.transfer->StartOverWanted()) return Ending::StartOver;
    switch (result.failure) {
        case platform::HttpFailure::Skipped:
            if (result.status == kHttpRangeNotSatisfiable && entry.transfer->ResumedFromBytes() > 0)
                return Ending::StartOver;
            if ((result.status == kHttpTooManyRequests || result.status == kHttpUnavailable) &&
                !result.retryAfter.empty())
                return Ending::HostBusy;
            return Ending::Done;
        case platform::HttpFailure::Connect:
            return result.hostUnreachable ? Ending::HostUnreachable : Ending::Done;
        case platform::HttpFailure::Status:
        case platform::HttpFailure::Body:
            return IsCut(result) ? Ending::CutShort : Ending::Done;
        case platform::HttpFailure::None:
        case platform::HttpFailure::Aborted:
            return Ending::Done;
    }
    return Ending::Done;
}

void DownloadPipeline::Retry(Entry entry, Ending why, const platform::HttpResult& result) {
    MediaTransfer& transfer = *entry.transfer;
    const bool progress = transfer.BytesInFile() > entry.bytesBefore;
    entry.triesWithoutProgress = progress ? 1 : entry.triesWithoutProgress + 1;
    ++entry.triesInAll;
    const bool hostHeld = why == Ending::HostUnreachable || why == Ending::HostBusy;
    if (hostHeld) ++entry.hostHolds;
    const bool triesLeft = hostHeld ? entry.hostHolds <= kHostHolds
                                    : entry.triesWithoutProgress <= kTriesWithoutProgress &&
                                          entry.triesInAll <= kTriesInAll;
    const std::chrono::seconds asked = std::min(RetryAfterOf(result.retryAfter), timing_.longestHostHold);
    if (!triesLeft) {
        std::vector<Complete> none;
        Finish(entry, result, none);
        return;
    }
    entry.notBefore = Now();
    switch (why) {
        case Ending::StartOver:
            entry.transfer.reset();  // its file goes with it
            RemovePart(entry.paths);
            entry.startOver = true;
            break;
        case Ending::CutShort: {
            const auto pause = Doubled(timing_.firstRetryPause, entry.triesWithoutProgress - 1,
                                       timing_.longestRetryPause);
            Log("DownloadImage(), cut short after %llu bytes (%s), going on in %lld ms, url=%s",
                static_cast<unsigned long long>(transfer.BytesInFile()), result.errorText.c_str(),
                Ms(pause), entry.item.Url.c_str());
            SetAside(entry);
            entry.notBefore += pause;
            break;
        }
        case Ending::HostUnreachable:
            SetAside(entry);
            HoldHost(entry.host, timing_.firstOutagePause, true);
            break;
        case Ending::HostBusy:
            SetAside(entry);
            HoldHost(entry.host, std::chrono::duration_cast<std::chrono::milliseconds>(asked),
                     false);
            break;
        case Ending::Done:
            break;
    }
    entry.transfer.reset();
    Requeue(std::move(entry));
}

// Ends the entry's transfer: a part that may resume waits for the next try,
// any other goes (an empty one would only linger with the time of its
// making) and the next try starts over.
void DownloadPipeline::SetAside(Entry& entry) {
    if (entry.transfer->Resumable()) {
        entry.transfer->Suspend();
    } else {
        entry.transfer.reset();
        RemovePart(entry.paths);
        entry.startOver = true;
    }
    entry.transfer.reset();
}

// A host already held is not held longer by the other items that meet it;
// one that fails again after its hold waits twice as long.
void DownloadPipeline::HoldHost(const std::string& host, std::chrono::milliseconds pause,
                                bool doubling) {
    const Clock::time_point now = Now();
    HostHold& hold = holds_[host];
    if (hold.until > now) return;
    if (doubling) {
        pause =
            hold.pause.count() > 0 ? std::min(hold.pause * 2, timing_.longestOutagePause) : pause;
        Log("DownloadNext(), %s can't be reached; its downloads wait %lld ms", host.c_str(),
            Ms(pause));
    } else {
        Log("DownloadNext(), %s asked for a pause; its downloads wait %lld ms", host.c_str(),
            Ms(pause));
    }
    hold.pause = pause;
    hold.until = now + pause;
}

void DownloadPipeline::Finish(Entry& entry, const platform::HttpResult& result,
                              std::vector<Complete>& complete) {
    MediaTransfer& transfer = *entry.transfer;
    // A cut part that may resume can go on in a later batch or run.
    const bool keepPart = IsCut(result) && transfer.Resumable();
    const DownloadResult outcome =
        keepPart ? transfer.FinishKeepingPart(result) : transfer.Finish(result);
    if (!keepPart) fileSystem_.Unlink(entry.paths.note.c_str());
    Release(entry);
    if (outcome != DownloadResult::Ok && !StopRequested()) ++failed_;
    if (outcome == DownloadResult::Ok) {
        // A host that answers is reachable again: its next failure starts with a short pause.
        holds_.erase(entry.host);
        complete.push_back({entry.item, entry.name, entry.paths.part});
    }
}

void DownloadPipeline::Release(const Entry& entry) {
    claimed_.erase(entry.name.fileName);
    urls_.erase(entry.item.Url);
}

void DownloadPipeline::Requeue(Entry entry) {
    auto later = std::find_if(waiting_.begin(), waiting_.end(),
                              [&entry](const auto& other) { return other->order > entry.order; });
    waiting_.insert(later, std::make_unique<Entry>(std::move(entry)));
}

void DownloadPipeline::Suspend() {
    for (auto& [id, entry] : inFlight_) {
        session_.Cancel(id);
        SetAside(*entry);
        entry->notBefore = Now();
        Requeue(std::move(*entry));
    }
    inFlight_.clear();
}

std::vector<CPixoluneItem> DownloadPipeline::Cancel(Parts parts) {
    std::vector<std::unique_ptr<Entry>> left;
    for (auto& [id, entry] : inFlight_) {
        session_.Cancel(id);
        if (parts == Parts::KeptToResume && entry->transfer->Resumable())
            entry->transfer->Suspend();
        entry->transfer.reset();  // a part not kept goes with it
        left.push_back(std::move(entry));
    }
    inFlight_.clear();
    for (auto& entry : waiting_) left.push_back(std::move(entry));
    waiting_.clear();
    claimed_.clear();
    urls_.clear();
    for (const auto& entry : left) {
        struct stat status {};
        const bool kept = parts == Parts::KeptToResume &&
                          fileSystem_.Lstat(entry->paths.part.c_str(), &status) == 0;
        if (!kept) RemovePart(entry->paths);
    }
    std::sort(left.begin(), left.end(),
              [](const auto& a, const auto& b) { return a->order < b->order; });
    std::vector<CPixoluneItem> items;
    for (const auto& entry : left) items.push_back(entry->item);
    return items;
}

std::set<std::string> DownloadPipeline::PartsInUse() const {
    std::set<std::string> parts;
    const auto add = [&parts](const Entry& entry) {
        parts.insert(entry.paths.part);
        parts.insert(entry.paths.note);
    };
    for (const auto& entry : waiting_) add(*entry);
    for (const auto& [id, entry] : inFlight_) add(*entry);
    return parts;
}

void DownloadPipeline::SweepParts(
    bool feedsAllAnswered, const std::function<std::set<std::string>()>& partsOfItemsDelivered) {
    std::vector<std::string> names;
    (void)fileSystem_.ListFolder(folder_.empty() ? "." : folder_.c_str(), &names);
    std::optional<std::set<std::string>> inUse;
    for (const std::string& name : names) {
        if (!IsPartialDownloadName(name)) continue;
        const std::string path = MediaPath(folder_, name);
        if (feedsAllAnswered && !inUse) {
            inUse = partsOfItemsDelivered();
            const std::set<std::string> ours = PartsInUse();
            inUse->insert(ours.begin(), ours.end());
        }
        const bool leftTheFeeds = feedsAllAnswered && inUse->count(path) == 0;
        struct stat status {};
        if (fileSystem_.Lstat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) continue;
        if ((leftTheFeeds || IsStale(path)) && fileSystem_.Unlink(path.c_str()) == 0)
            Log("DownloadNext(), removed the part %s", path.c_str());
    }
}

void DownloadPipeline::WriteNote(const std::string& notePath, const std::string& validator) {
    if (validator.empty()) {
        fileSystem_.Unlink(notePath.c_str());
        return;
    }
    // A torn note names no validator the server knows, so the part starts over.
    platform::FileHandle note(
        fileSystem_, fileSystem_.Open(notePath.c_str(),
                                      O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
    const std::string line = validator + "\n";
    if (!note || fileSystem_.Write(note.Get(), line.data(), line.size()) !=
                     static_cast<ssize_t>(line.size()))
        fileSystem_.Unlink(notePath.c_str());
}

std::string DownloadPipeline::ReadNote(const std::string& notePath) {
    platform::FileHandle note(
        fileSystem_, fileSystem_.Open(notePath.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC, 0));
    if (!note) return {};
    char text[kLongestNoteBytes];
    const ssize_t got = fileSystem_.Read(note.Get(), text, sizeof(text));
    if (got <= 0) return {};
    const std::string_view read(text, static_cast<size_t>(got));
    const size_t end = read.find('\n');
    if (end == std::string_view::npos || end == 0) return {};
    return std::string(read.substr(0, end));
}

void DownloadPipeline::RemovePart(const PartialPaths& paths) {
    fileSystem_.Unlink(paths.part.c_str());
    fileSystem_.Unlink(paths.note.c_str());
}

bool DownloadPipeline::IsStale(const std::string& path) const {
    struct stat status {};
    if (fileSystem_.Lstat(path.c_str(), &status) != 0) return false;
    const auto age = std::chrono::seconds(clock_.WallSeconds() - status.st_mtime);
    return age > kPartMaxAge;
}

}  // namespace pixolune
