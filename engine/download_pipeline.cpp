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

// Positions in the list stay those of the queue: an item that waits again
// keeps its place.
struct DownloadPipeline::Entry {
    CPixoluneItem item;
    LocalName name;
    PartialPaths paths;
    std::string host;
    State state = State::Waiting;
    platform::HttpSession::TransferId id = 0;  // while InFlight
    std::unique_ptr<MediaTransfer> transfer;   // while InFlight
    Clock::time_point notBefore;               // a Waiting item starts no earlier
    uint64_t bytesBefore = 0;                  // in the part when this try began
    int triesWithoutProgress = 0;
    int triesInAll = 0;
    int hostHolds = 0;
};

// What the item of a transfer that ended does next.
enum class DownloadPipeline::Next {
    Finish,   // leaves: its file is stored when whole, else it fails
    Fail,     // leaves, failed
    TryAgain  // waits for another try
};
// Which count of tries another try uses up; once it is spent the item is finished.
enum class DownloadPipeline::Budget { None, Tries, HostHolds };
// What another try waits for besides its turn.
enum class DownloadPipeline::Pause {
    None,
    Doubling,    // a pause doubled per try without progress
    HostOutage,  // its host, held for a pause doubled per outage
    HostAsked    // its host, held as long as it asked (within a day)
};
struct DownloadPipeline::WhatFollows {
    Ending ending;
    Next next;
    Budget budget;
    bool keepsPart;  // a part that may resume is continued; any other goes, the file starts over
    Pause pause;
};

namespace {

template <typename Row, size_t N>
constexpr bool RowPerEndingInItsOrder(const Row (&rows)[N]) {
    for (size_t i = 0; i < N; ++i)
        if (static_cast<size_t>(rows[i].ending) != i) return false;
    return true;
}

}  // namespace

const DownloadPipeline::WhatFollows& DownloadPipeline::WhatFollowsOn(Ending ending) {
    // clang-format off
    static constexpr WhatFollows kTable[] = {
        // ending                 next            uses up            keeps part  waits for
        {Ending::Finished,        Next::Finish,   Budget::None,      false,      Pause::None},
        {Ending::Thrown,          Next::Fail,     Budget::None,      false,      Pause::None},
        // Cancel gives it back to the queue; the next run goes on from its part.
        {Ending::Stopped,         Next::TryAgain, Budget::None,      true,       Pause::None},
        {Ending::CutShort,        Next::TryAgain, Budget::Tries,     true,       Pause::Doubling},
        {Ending::StartOver,       Next::TryAgain, Budget::Tries,     false,      Pause::None},
        {Ending::HostUnreachable, Next::TryAgain, Budget::HostHolds, true,       Pause::HostOutage},
        {Ending::HostBusy,        Next::TryAgain, Budget::HostHolds, true,       Pause::HostAsked},
    };
    // clang-format on
    static_assert(RowPerEndingInItsOrder(kTable), "one row per Ending, in its order");
    return kTable[static_cast<size_t>(ending)];
}

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

size_t DownloadPipeline::InFlight() const {
    return static_cast<size_t>(
        std::count_if(entries_.begin(), entries_.end(),
                      [](const Entry& entry) { return entry.state == State::InFlight; }));
}

bool DownloadPipeline::OnlyHeldBack() const {
    const Clock::time_point now = Now();
    return std::all_of(entries_.begin(), entries_.end(), [&](const Entry& entry) {
        return entry.state != State::InFlight && HostHeld(entry, now);
    });
}

void DownloadPipeline::Add(const CPixoluneItem& item, const LocalName& name) {
    Entry& entry = entries_.emplace_back();
    entry.item = item;
    entry.name = name;
    entry.paths = PartialPathsFor(folder_, name.fileName, item.Url);
    entry.host = HostOf(item.Url);
    entry.notBefore = Now();
    claimed_.insert(name.fileName);
    urls_.insert(item.Url);
}

std::vector<DownloadPipeline::Complete> DownloadPipeline::Refill() {
    std::vector<Complete> complete;
    if (StopRequested()) return complete;
    // Transfers that ended while another request drove the session still hold their slots.
    if (InFlight() > 0)
        TakeAllEnded(session_.DriveUntilOneEnds(std::chrono::milliseconds(0)), complete);
    while (StartReady()) {
    }
    return complete;
}

std::vector<DownloadPipeline::Complete> DownloadPipeline::TakeWhatCame() {
    std::vector<Complete> complete;
    if (InFlight() > 0)
        TakeAllEnded(session_.DriveUntilOneEnds(std::chrono::milliseconds(0)), complete);
    return complete;
}

std::vector<DownloadPipeline::Complete> DownloadPipeline::Step() {
    std::vector<Complete> complete;
    if (StopRequested()) return complete;
    while (StartReady()) {
    }
    if (Empty()) return complete;
    if (InFlight() == 0) {
        // Every item waits out a pause: the wait passes on the engine's clock.
        (void)clock_.WaitFor(pauseEnded_, std::min(TimeToNextStart(), timing_.longestStep));
        while (StartReady()) {
        }
        if (InFlight() == 0) return complete;
    }
    std::chrono::milliseconds wait = timing_.longestStep;
    const size_t inFlight = InFlight();
    if (inFlight < kTransfersInFlight && inFlight < Size())
        wait = std::clamp(TimeToNextStart(), std::chrono::milliseconds(1), wait);
    TakeAllEnded(session_.DriveUntilOneEnds(wait), complete);
    return complete;
}

void DownloadPipeline::TakeAllEnded(std::vector<platform::HttpSession::Ended> ended,
                                    std::vector<Complete>& complete) {
    int loopFailures = 0;
    std::string loopFailure;
    for (const platform::HttpSession::Ended& one : ended) {
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
    return static_cast<size_t>(
        std::count_if(entries_.begin(), entries_.end(), [&](const Entry& entry) {
            return entry.state != State::InFlight && HostHeld(entry, now);
        }));
}

uint64_t DownloadPipeline::PromisedBytes(const MediaTransfer* besides) const {
    uint64_t promised = 0;
    for (const Entry& entry : entries_)
        if (entry.state == State::InFlight && entry.transfer.get() != besides)
            promised += entry.transfer->BytesStillToCome();
    return promised;
}

bool DownloadPipeline::DiskHasRoomForMore() const {
    const uint64_t promised = PromisedBytes(nullptr);
    if (promised == 0) return true;
    const std::optional<DiskSpace> space =
        ReadDiskSpace(fileSystem_, folder_.empty() ? "." : folder_);
    if (!space) return true;  // a failed query says nothing of the disk
    const uint64_t reserve = ReserveBytesFor(space->sizeBytes);
    return space->freeBytes > reserve && space->freeBytes - reserve > promised;
}

// Starts the first item, in queue order, whose pause and host allow it;
// false when there is none or no slot. While the transfers in flight have
// announced all the room the disk has, none starts: what starts must be
// able to finish, and the others wait for a later batch.
bool DownloadPipeline::StartReady() {
    if (InFlight() >= kTransfersInFlight || StopRequested()) return false;
    const Clock::time_point now = Now();
    for (auto entry = entries_.begin(); entry != entries_.end(); ++entry) {
        if (entry->state == State::InFlight || entry->notBefore > now || HostHeld(*entry, now))
            continue;
        if (!DiskHasRoomForMore()) return false;
        if (!Start(*entry)) {
            ++failed_;
            Leave(entry);
        }
        return true;
    }
    return false;
}

// The part on disk is continued when the entry may go on from it and it is
// still a fresh file of ours with its validator noted; else the file starts anew.
TransferFileStart DownloadPipeline::FileStartFor(const Entry& entry) {
    TransferFileStart start;
    start.mode = TransferFileStart::Mode::Exclusive;
    struct stat status {};
    const bool partThere = fileSystem_.Lstat(entry.paths.part.c_str(), &status) == 0;
    if (partThere && entry.state != State::WaitingAnew && S_ISREG(status.st_mode) &&
        !IsStale(entry.paths.part)) {
        start.validator = ReadNote(entry.paths.note);
        if (!start.validator.empty()) start.mode = TransferFileStart::Mode::Resume;
    }
    return start;
}

// Gives the entry its transfer and starts it on the session; false when
// Begin refused (logged).
bool DownloadPipeline::Start(Entry& entry) {
    TransferFileStart start = FileStartFor(entry);
    if (start.mode == TransferFileStart::Mode::Exclusive) RemovePart(entry.paths);
    auto transfer = std::make_unique<MediaTransfer>(fileSystem_, entry.item.Url, entry.paths.part,
                                                    limits_, stop_, reserveSaidInBatch_);
    transfer->StartFileAs(std::move(start));
    transfer->OnValidator([this, note = entry.paths.note](const std::string& validator) {
        WriteNote(note, validator);
    });
    transfer->WeighAgainst([this, self = transfer.get()] { return PromisedBytes(self); });
    if (transfer->Begin() != DownloadResult::Ok) return false;
    entry.bytesBefore = transfer->BytesInFile();
    entry.id = session_.Start(transfer->Request());
    entry.transfer = std::move(transfer);
    entry.state = State::InFlight;
    return true;
}

std::chrono::milliseconds DownloadPipeline::TimeToNextStart() const {
    const Clock::time_point now = Now();
    Clock::time_point next = Clock::time_point::max();
    for (const Entry& entry : entries_) {
        if (entry.state == State::InFlight) continue;
        Clock::time_point ready = entry.notBefore;
        if (const auto hold = holds_.find(entry.host); hold != holds_.end())
            ready = std::max(ready, hold->second.until);
        next = std::min(next, ready);
    }
    if (next <= now) return std::chrono::milliseconds(0);
    if (next == Clock::time_point::max()) return timing_.longestStep;
    return std::chrono::duration_cast<std::chrono::milliseconds>(next - now) +
           std::chrono::milliseconds(1);
}

// A slot freed: its item leaves or waits for another try, as the table says.
void DownloadPipeline::TakeEnded(const platform::HttpSession::Ended& ended,
                                 std::vector<Complete>& complete) {
    const auto entry = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& one) {
        return one.state == State::InFlight && one.id == ended.id;
    });
    if (entry == entries_.end()) return;
    const WhatFollows& follows = WhatFollowsOn(Classify(*entry, ended));
    switch (follows.next) {
        case Next::TryAgain:
            if (TryAgain(*entry, follows, ended.result)) return;
            Finish(*entry, ended.result, complete);  // no tries left
            break;
        case Next::Finish:
            Finish(*entry, ended.result, complete);
            break;
        case Next::Fail:
            (void)entry->transfer->Broken();
            ++failed_;
            break;
    }
    Leave(entry);
}

DownloadPipeline::Ending DownloadPipeline::Classify(
    const Entry& entry, const platform::HttpSession::Ended& ended) const {
    const platform::HttpResult& result = ended.result;
    if (ended.thrown) return Ending::Thrown;
    // One that came whole before the stop is stored as ever.
    if (StopRequested())
        return result.failure == platform::HttpFailure::None ? Ending::Finished : Ending::Stopped;
    if (result.loopFailed) return Ending::Finished;
    if (entry.transfer->StartOverWanted()) return Ending::StartOver;
    switch (result.failure) {
        case platform::HttpFailure::Skipped:
            if ((result.status == kHttpTooManyRequests || result.status == kHttpUnavailable) &&
                !result.retryAfter.empty())
                return Ending::HostBusy;
            return Ending::Finished;
        case platform::HttpFailure::Connect:
            return result.hostUnreachable ? Ending::HostUnreachable : Ending::Finished;
        case platform::HttpFailure::Status:
        case platform::HttpFailure::Body:
            return IsCut(result) ? Ending::CutShort : Ending::Finished;
        case platform::HttpFailure::None:
        case platform::HttpFailure::Aborted:
            return Ending::Finished;
    }
    return Ending::Finished;
}

// Counts the try that ended against `budget`; false when none is left.
bool DownloadPipeline::CountTry(Entry& entry, Budget budget) {
    if (budget == Budget::None) return true;
    const bool progress = entry.transfer->BytesInFile() > entry.bytesBefore;
    entry.triesWithoutProgress = progress ? 1 : entry.triesWithoutProgress + 1;
    ++entry.triesInAll;
    if (budget == Budget::HostHolds) return ++entry.hostHolds <= kHostHolds;
    return entry.triesWithoutProgress <= kTriesWithoutProgress && entry.triesInAll <= kTriesInAll;
}

// Sets the entry aside for its next try; false, with the transfer left to
// finish, when it has no tries left.
bool DownloadPipeline::TryAgain(Entry& entry, const WhatFollows& follows,
                                const platform::HttpResult& result) {
    if (!CountTry(entry, follows.budget)) return false;
    std::chrono::milliseconds pause{0};
    switch (follows.pause) {
        case Pause::None:
            break;
        case Pause::Doubling:
            pause = Doubled(timing_.firstRetryPause, entry.triesWithoutProgress - 1,
                            timing_.longestRetryPause);
            Log("DownloadImage(), cut short after %llu bytes (%s), going on in %lld ms, url=%s",
                static_cast<unsigned long long>(entry.transfer->BytesInFile()),
                result.errorText.c_str(), Ms(pause), entry.item.Url.c_str());
            break;
        case Pause::HostOutage:
            HoldHost(entry.host, timing_.firstOutagePause, true);
            break;
        case Pause::HostAsked: {
            const std::chrono::seconds asked =
                std::min(RetryAfterOf(result.retryAfter), timing_.longestHostHold);
            HoldHost(entry.host, std::chrono::duration_cast<std::chrono::milliseconds>(asked),
                     false);
            break;
        }
    }
    SetAside(entry, follows.keepsPart);
    entry.notBefore = Now() + pause;
    return true;
}

// Ends the entry's transfer and lets it wait: a part that may resume stays
// for the next try (when `keepsPart`); any other goes (an empty one would
// only linger with the time of its making) and the next try starts over.
void DownloadPipeline::SetAside(Entry& entry, bool keepsPart) {
    const bool keep = keepsPart && entry.transfer->Resumable();
    if (keep) entry.transfer->Suspend();
    entry.transfer.reset();  // a part not kept goes with it
    if (!keep) RemovePart(entry.paths);
    entry.state = keep ? State::Waiting : State::WaitingAnew;
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
    if (outcome != DownloadResult::Ok && !StopRequested()) ++failed_;
    if (outcome == DownloadResult::Ok) {
        // A host that answers is reachable again: its next failure starts with a short pause.
        holds_.erase(entry.host);
        complete.push_back({entry.item, entry.name, entry.paths.part});
    }
}

void DownloadPipeline::Leave(EntryList::iterator entry) {
    claimed_.erase(entry->name.fileName);
    urls_.erase(entry->item.Url);
    entries_.erase(entry);
}

void DownloadPipeline::Suspend() {
    for (Entry& entry : entries_) {
        if (entry.state != State::InFlight) continue;
        session_.Cancel(entry.id);
        SetAside(entry, true);
        entry.notBefore = Now();
    }
}

std::vector<CPixoluneItem> DownloadPipeline::Cancel(Parts parts) {
    std::vector<CPixoluneItem> items;
    for (Entry& entry : entries_) {
        if (entry.state == State::InFlight) {
            session_.Cancel(entry.id);
            SetAside(entry, parts == Parts::KeptToResume);
        }
        struct stat status {};
        const bool kept = parts == Parts::KeptToResume &&
                          fileSystem_.Lstat(entry.paths.part.c_str(), &status) == 0;
        if (!kept) RemovePart(entry.paths);
        items.push_back(entry.item);
    }
    entries_.clear();
    claimed_.clear();
    urls_.clear();
    return items;
}

std::set<std::string> DownloadPipeline::PartsInUse() const {
    std::set<std::string> parts;
    for (const Entry& entry : entries_) {
        parts.insert(entry.paths.part);
        parts.insert(entry.paths.note);
    }
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
