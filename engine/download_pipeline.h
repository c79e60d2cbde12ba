#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "engine/local_names.h"
#include "engine/media_transfer.h"
#include "model/feed.h"
#include "platform/clock.h"
#include "platform/file_system.h"
#include "platform/http_client.h"

namespace pixolune {

// The media transfers of the worker as one pipeline: items enter in queue
// order with their names claimed, up to kTransfersInFlight are in flight on
// the worker's session at once (each with a file of its own), a slot is
// refilled the moment a transfer ends, and each complete file is handed back
// for the engine to store. A transfer cut short keeps its part and goes on
// with Range and If-Range after a pause; an unreachable host, or one that
// asked to be left alone (429/503 with Retry-After), holds its items back
// instead of failing them one after another.
//
// Worker thread only; the session must outlive the pipeline.
class DownloadPipeline {
  public:
    // At once on HTTP/2 (streams of one connection) or over the session's
    // connections per host on HTTP/1.1 (the rest wait there for one). Files
    // of one size started together also end together, and on a far line the
    // requests that replace them take a round trip to bring a byte: with a
    // page and a half of a feed in flight, the line has bytes to carry meanwhile.
    static constexpr size_t kTransfersInFlight = 32;
    static_assert(kTransfersInFlight < platform::HttpSession::kMaxStreamsPerConnection,
                  "the feed's pages must find room on the media's connection");
    // Items that wait, their names claimed, behind those in flight.
    static constexpr size_t kItemsWaiting = 64;
    // A part not continued for this long is removed.
    static constexpr std::chrono::hours kPartMaxAge{72};

    struct Timing {
        // The pause before the first retry of a cut transfer, doubled per retry.
        std::chrono::milliseconds firstRetryPause{250};
        std::chrono::milliseconds longestRetryPause{8000};
        // An unreachable host is tried again after this, doubled per failure.
        std::chrono::milliseconds firstOutagePause{500};
        std::chrono::milliseconds longestOutagePause{30000};
        // However long a host asks to be left alone, its items are tried
        // again within a day; until then they wait, also across batches.
        std::chrono::seconds longestHostHold{24 * 3600};
        // A step hands control back at least this often, so refreshes go on.
        std::chrono::milliseconds longestStep{2000};
    };
    // How often one item is tried: in a row without a new byte, and in all.
    static constexpr int kTriesWithoutProgress = 4;
    static constexpr int kTriesInAll = 32;
    // How often an item meets an unreachable or busy host before it fails.
    static constexpr int kHostHolds = 12;

    // A transfer that brought its whole file, to be stored under `name`.
    struct Complete {
        CPixoluneItem item;
        LocalName name;
        std::string tempPath;
    };

    // Pauses and ages are read on `clock`, which the engine is given too.
    DownloadPipeline(platform::HttpSession& session, platform::FileSystem& fileSystem,
                     platform::Clock& clock);
    ~DownloadPipeline();  // ends every transfer; parts kept for a later run stay
    DownloadPipeline(const DownloadPipeline&) = delete;
    DownloadPipeline& operator=(const DownloadPipeline&) = delete;

    // The folder, stop request, limits and batch flag that the transfers use
    // from now on; the pipeline must be empty when they change.
    void Prepare(const std::string& folder, const std::atomic<int32_t>* stop,
                 const MediaDownloadLimits& limits, std::atomic<bool>* reserveSaidInBatch);
    [[nodiscard]] bool PreparedFor(const std::string& folder,
                                   const std::atomic<int32_t>* stop) const;
    [[nodiscard]] const std::string& Folder() const { return folder_; }

    // Items whose host is held wait without taking room: they must not keep
    // the items of other hosts out.
    [[nodiscard]] bool HasRoom() const {
        return Size() - HeldBack() < kTransfersInFlight + kItemsWaiting;
    }
    [[nodiscard]] bool Empty() const { return Size() == 0; }
    // Nothing in flight, and every item waits for a host that asked for a
    // pause or can't be reached: the worker may idle meanwhile.
    [[nodiscard]] bool OnlyHeldBack() const;
    [[nodiscard]] size_t Size() const { return entries_.size(); }
    [[nodiscard]] size_t InFlight() const;
    // Whether an item in the pipeline has claimed `fileName`.
    [[nodiscard]] bool Claims(const std::string& fileName) const {
        return claimed_.count(fileName) != 0;
    }
    // Whether the item of `url` is in the pipeline already (queued again by a refresh).
    [[nodiscard]] bool Holds(const std::string& url) const { return urls_.count(url) != 0; }
    [[nodiscard]] std::vector<std::string> Urls() const { return {urls_.begin(), urls_.end()}; }
    // Whether the host of `url` asked for a pause, or can't be reached, for now.
    [[nodiscard]] bool HostHeld(const std::string& url) const;
    // The parts and notes the items in the pipeline write or wait to continue.
    [[nodiscard]] std::set<std::string> PartsInUse() const;

    // Takes a named new item in; its name is claimed until it leaves.
    void Add(const CPixoluneItem& item, const LocalName& name);
    // Without waiting: takes the transfers that ended meanwhile, starts the
    // items whose turn it is and answers the files now complete.
    [[nodiscard]] std::vector<Complete> Refill();
    // Starts what may start, drives the transfers until one ends (or a pause
    // or the longest step is over) and answers the files now complete.
    [[nodiscard]] std::vector<Complete> Step();
    // The items that failed for good since the last call.
    [[nodiscard]] size_t TakeFailed() { return std::exchange(failed_, 0); }
    // Without waiting or starting anything: what has come down the line
    // already. After a stop each transfer writes what it holds and ends, its
    // part kept; a file that came whole is answered.
    [[nodiscard]] std::vector<Complete> TakeWhatCame();
    // Ends a wait for a paused item at once (a stop), from any thread.
    void Wake() { pauseEnded_.Set(); }
    // Cuts every transfer in flight; each keeps its part (when its answer
    // named a validator) and waits in the pipeline to go on with Range.
    void Suspend();
    // What becomes of the parts of the items that leave the pipeline.
    enum class Parts {
        KeptToResume,  // a stop: the next run goes on with Range
        Removed        // the folder is left: nothing of ours stays half done
    };
    // Ends every transfer and answers the items not stored, in queue order,
    // for the queue to take back.
    [[nodiscard]] std::vector<CPixoluneItem> Cancel(Parts parts = Parts::KeptToResume);
    // At a batch's end: removes the parts older than kPartMaxAge, and, when
    // `feedsAllAnswered`, those whose items are neither in the pipeline nor
    // among `partsOfItemsDelivered` (the feeds' last answers).
    // The set is asked for only when there are parts to judge.
    void SweepParts(bool feedsAllAnswered,
                    const std::function<std::set<std::string>()>& partsOfItemsDelivered);

  private:
    // Time on the engine's clock, as a steady time that does not wrap.
    using Clock = std::chrono::steady_clock;
    [[nodiscard]] Clock::time_point Now() const;
    // Where an item is in its life. It leaves the pipeline when its file is
    // complete, when it fails for good, or when the pipeline is cancelled.
    enum class State {
        Waiting,      // for its turn, its pause or its host; goes on from its part
        WaitingAnew,  // as Waiting, but its next try starts the file over
        InFlight,     // its transfer runs on the session
    };
    struct Entry;
    using EntryList = std::list<Entry>;
    struct HostHold {
        Clock::time_point until;
        std::chrono::milliseconds pause{0};
    };
    // How a transfer ended, as far as what follows is concerned.
    enum class Ending {
        Finished,         // the answer is final: stored when whole, else failed
        Thrown,           // one of its callbacks threw
        Stopped,          // the stop request cut it short
        CutShort,         // the line broke off
        StartOver,        // the answer did not fit the part it continued
        HostUnreachable,  // no connection to its host
        HostBusy,         // its host asked for a pause (429/503 with Retry-After)
    };
    enum class Next;
    enum class Budget;
    enum class Pause;
    struct WhatFollows;
    // The one table from how a transfer ended to what follows.
    [[nodiscard]] static const WhatFollows& WhatFollowsOn(Ending ending);

    [[nodiscard]] bool StartReady();
    // Whether the disk has room beyond its reserve for more than the
    // transfers in flight have announced and not yet written.
    [[nodiscard]] bool DiskHasRoomForMore() const;
    // What the transfers in flight other than `besides` will still write.
    [[nodiscard]] uint64_t PromisedBytes(const MediaTransfer* besides) const;
    [[nodiscard]] size_t HeldBack() const;
    // Whether the entry's host asked for a pause that is not over yet.
    [[nodiscard]] bool HostHeld(const Entry& entry, Clock::time_point now) const;
    [[nodiscard]] TransferFileStart FileStartFor(const Entry& entry);
    [[nodiscard]] bool Start(Entry& entry);
    [[nodiscard]] std::chrono::milliseconds TimeToNextStart() const;
    void TakeEnded(const platform::HttpSession::Ended& ended, std::vector<Complete>& complete);
    void TakeAllEnded(std::vector<platform::HttpSession::Ended> ended,
                      std::vector<Complete>& complete);
    [[nodiscard]] Ending Classify(const Entry& entry,
                                  const platform::HttpSession::Ended& ended) const;
    [[nodiscard]] bool CountTry(Entry& entry, Budget budget);
    [[nodiscard]] bool TryAgain(Entry& entry, const WhatFollows& follows,
                                const platform::HttpResult& result);
    void SetAside(Entry& entry, bool keepsPart);
    void HoldHost(const std::string& host, std::chrono::milliseconds pause, bool doubling);
    void Finish(Entry& entry, const platform::HttpResult& result, std::vector<Complete>& complete);
    void Leave(EntryList::iterator entry);
    void WriteNote(const std::string& notePath, const std::string& validator);
    [[nodiscard]] std::string ReadNote(const std::string& notePath);
    void RemovePart(const PartialPaths& paths);
    [[nodiscard]] bool IsStale(const std::string& path) const;
    [[nodiscard]] bool StopRequested() const { return stop_ && stop_->load() != 0; }

    platform::HttpSession& session_;
    platform::FileSystem& fileSystem_;
    platform::Clock& clock_;
    mutable uint32_t lastTick_ = 0;
    mutable uint64_t elapsedMs_ = 0;
    platform::AutoResetEvent pauseEnded_;
    Timing timing_;
    std::string folder_;
    const std::atomic<int32_t>* stop_ = nullptr;
    MediaDownloadLimits limits_;
    std::atomic<bool>* reserveSaidInBatch_ = nullptr;

    EntryList entries_;                                // in queue order, each in its State
    std::unordered_set<std::string> claimed_;          // names of the items above
    std::unordered_set<std::string> urls_;             // addresses of the items above
    std::unordered_map<std::string, HostHold> holds_;  // by host
    size_t failed_ = 0;
};

}  // namespace pixolune
