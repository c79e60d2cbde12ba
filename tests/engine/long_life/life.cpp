#include "life.h"

#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "engine/download_pipeline.h"
#include "engine/feed_engine.h"
#include "engine/list_file.h"
#include "engine/local_names.h"
#include "engine/quiet_hours.h"
#include "model/health_record.h"
#include "model/host_link.h"
#include "platform/atomic_file.h"
#include "platform/url_parts.h"
#include "sim_disk.h"
#include "sim_network.h"
#include "sim_service.h"

namespace pixolune::life {
namespace {

constexpr int32_t kOlderHours = 2;  // the age limit of removal mode 1
constexpr double kDeathsPerDay = 1.5;
constexpr size_t kUsersFilesKept = 200;
// Each feed is read again once more than this has passed, at the next pass
// (every 30 s): a new item waits a refresh's period at most before it is asked for.
constexpr int32_t kRefreshMinutes = 2;
constexpr uint64_t kPassMs = 30 * 1000;
constexpr uint64_t kRefreshPeriodMs = kRefreshMinutes * kMsPerMinute + kPassMs;
// The folders live on the simulated disk alone.
const std::string kMediaFolder = "/life/media";
const std::string kStateFolder = "/life/state";
const std::string kHealthRecord = kStateFolder + "/health-KAL.json";

std::string Media(const std::string& name) {
    return kMediaFolder + "/" + name;
}
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitizedMemory = true;
#else
constexpr bool kSanitizedMemory = false;
#endif

// With LONG_LIFE_LOG set, the plug-in's whole log goes to that file.
int WriteWholeLog(int code, intptr_t, intptr_t text) {
    static const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(
        std::getenv("LONG_LIFE_LOG") ? std::fopen(std::getenv("LONG_LIFE_LOG"), "w") : nullptr,
        &std::fclose);
    if (code != 7 || text == 0 || !file) return 0;
    std::fprintf(file.get(), "%s\n", reinterpret_cast<const char*>(text));
    return 1;
}

std::string When(uint64_t ms) {
    char when[64];
    std::snprintf(when, sizeof when, "day %llu %02llu:%02llu:%02llu.%03llu",
                  static_cast<unsigned long long>(ms / kMsPerDay),
                  static_cast<unsigned long long>(ms % kMsPerDay / kMsPerHour),
                  static_cast<unsigned long long>(ms % kMsPerHour / kMsPerMinute),
                  static_cast<unsigned long long>(ms % kMsPerMinute / 1000),
                  static_cast<unsigned long long>(ms % 1000));
    return when;
}

// What happened in a life, in order: the engine's events and the script's
// doings. Its digest tells two lives apart; its tail is shown when a promise breaks.
class Trace {
  public:
    void Note(uint64_t ms, const std::string& what) {
        std::string line = When(ms) + " " + what;
        for (const char c : line)
            digest_ = (digest_ ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
        digest_ = (digest_ ^ '\n') * 0x100000001b3ULL;
        tail_.push_back(std::move(line));
        if (tail_.size() > kShown) tail_.pop_front();
    }
    [[nodiscard]] uint64_t Digest() const { return digest_; }
    [[nodiscard]] std::string Tail() const {
        std::string text;
        for (const std::string& line : tail_) text += "    " + line + "\n";
        return text;
    }

  private:
    static constexpr size_t kShown = 40;
    uint64_t digest_ = 0xcbf29ce484222325ULL;
    std::deque<std::string> tail_;
};

// One fault of the script: on for a while, then off.
struct FaultWindow {
    uint64_t untilMs = 0;
    bool on = false;
};

long StatusField(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(field) + ":";
    while (std::getline(status, line))
        if (line.rfind(prefix, 0) == 0) return std::stol(line.substr(prefix.size()));
    return -1;
}

class Life {
  public:
    explicit Life(const LifeOptions& options)
        : options_(options),
          random_(options.seed),
          disk_({kMediaFolder, kStateFolder}, kMediaFolder, clock_),
          network_(clock_),
          service_(network_.AddHost("media-a.test"), network_.AddHost("media-b.test")),
          media_(*network_.HostOf(service_.UrlOf(1))),
          otherMedia_(*network_.HostOf(service_.UrlOf(SimService::kOtherHostEvery))) {
        SetHostCallback(&WriteWholeLog);
        settings_.ImgFolder = kMediaFolder;
        settings_.tmUpdate = kRefreshMinutes;
        settings_.KpropTitle = 1;
        settings_.RestartKal = 1;
        settings_.FeedsSynch = options.feedsSynch;
        settings_.OlderDays = 0;
        settings_.OlderHours = kOlderHours;
        service_.SetAcceptedToken(token_);
        StartEngine(token_);
        for (int feed = 0; feed < SimService::kFeeds; ++feed)
            for (int n = 0; n < 20; ++n) AddItem(feed);
        const uint64_t days = static_cast<uint64_t>(options.days);
        tagRefusalMs_ = days >= 2 ? kMsPerDay + random_() % (days * kMsPerDay / 2) : UINT64_MAX;
    }
    ~Life() { SetHostCallback(nullptr); }

    LifeReport Run() {
        const uint64_t endMs = static_cast<uint64_t>(options_.days) * kMsPerDay;
        while (clock_.NowMs() < endMs && report_.broken.empty()) {
            if (disk_.Dead()) {
                DieAndStartAgain();
                continue;
            }
            while (nextMinuteMs_ <= clock_.NowMs()) {
                ScriptMinute();
                nextMinuteMs_ += kMsPerMinute;
            }
            prunedInBatch_ = false;  // a batch prunes in the pass that closes it
            const DownloadStep step = engine_->RunPass(&stop_);
            if (disk_.Dead()) continue;
            if (stop_ != 0) {
                StopAndStartAfterATransferWasCut();
                continue;
            }
            if (step == DownloadStep::ItemTaken) continue;
            // A pass that only found the queue empty closes no batch of its own.
            if (std::exchange(batchClosed_, false) && std::exchange(feedsRead_, false)) {
                ++report_.batches;
                CheckPromises();
            }
            (void)clock_.WaitFor(idle_, engine_->Options().idleInterval);
        }
        engine_->EndWork();
        report_.deaths = deaths_;
        report_.digest = trace_.Digest();
        return report_;
    }

  private:
    // The script of a life, one simulated minute at a time.
    void ScriptMinute() {
        EndFaultsThatAreOver();
        if (Chance(0.75)) ChurnAFeed();
        if (Chance(0.5)) ChurnAFeed();
        if (options_.faults) ScriptFaults();
        if (Chance(5.0 / 1440)) DropAUsersFile();
        if (Chance(3.0 / 1440)) DeleteOneOfOurs();
        if (Chance(2.0 / 1440)) StopAndStartTheWorker();
        if (Chance(2.0 / 1440)) ReloadTheSettings();
        if (Chance(4.0 / 1440)) SignTheAddressesAnew();
        if (Chance(4.0 / 1440)) StopDuringTheNextTransfer();
        if (Chance(kDeathsPerDay / 1440)) ArmADeath();
        if (disk_.Dead()) return;  // the host starts it again before anything is judged
        MeasureResourcesDaily();
        CheckStoredFilesReachTheShow();
        CheckTheHealthTellsTheTruth();
        CheckPruningIsPutOffADayAtMost();
    }

    void ScriptFaults() {
        const uint64_t now = clock_.NowMs();
        if (now >= tagRefusalMs_ && !service_.TagRefused()) service_.RefuseTagForGood();
        if (Chance(1.0 / (5 * 1440))) Start(outage_, kMsPerHour, [&] { service_.SetOutage(true); });
        if (Chance(1.0 / (2 * 1440)))
            Start(tooMany_, 10 * kMsPerMinute, [&] { service_.SetRetryAfter(600); });
        if (Chance(1.0 / (10 * 1440)) && !tokenRefused_.on) {
            // The service stops accepting the token; the user signs in again hours later.
            token_ = "tok-" + std::to_string(++tokens_);
            Start(tokenRefused_, (2 + random_() % 5) * kMsPerHour,
                  [&] { service_.SetAcceptedToken(token_); });
        }
        if (Chance(1.0 / 1440))
            Start(flakyLine_, 30 * kMsPerMinute, [&] { media_.SetFlaky(true); });
        if (Chance(1.0 / (2 * 1440)))
            Start(mediaBusy_, 20 * kMsPerMinute, [&] { media_.SetBusy(true); });
        if (Chance(1.0 / (4 * 1440)))
            Start(diskFull_, 2 * kMsPerHour, [&] {
                disk_.SetDiskFull(true);
                diskFullSinceQuiet_ = true;
            });
        if (Chance(1.0 / (5 * 1440)))
            Start(unwritable_, kMsPerHour, [&] { disk_.SetUnwritable(true); });
        if (Chance(1.0 / (3 * 1440)) && !quiet_.on) BeginQuietHours();
        if (Chance(1.0 / (4 * 1440)))
            Start(otherHostHeld_, 3 * kMsPerHour, [&] { otherMedia_.SetBusy(true, 3600); });
        if (Chance(1.0 / (3 * 1440)))
            Start(trickle_, 30 * kMsPerMinute, [&] { TrickleANewItem(); });
        // A board without a real-time clock: its date is years ahead or behind
        // until the network sets it right, hours later; the tick count runs on.
        if (Chance(1.0 / (5 * 1440)))
            Start(clockJumped_, (1 + random_() % 6) * kMsPerHour, [&] {
                clockJumpSeconds_ =
                    (Chance(0.5) ? 1 : -1) * static_cast<int64_t>(1 + random_() % 3) * 365 * 86400;
                clock_.JumpWall(clockJumpSeconds_);
            });
        if (Chance(1.0 / (2 * 1440)) && !rateCapped_.on) {
            rateCapped_ = {clock_.NowMs() + (1 + random_() % 4) * kMsPerHour, true};
            SetRateCap(1 + static_cast<int32_t>(random_() % 8));
        }
        CheckQuietHoursAreQuiet();
        CheckTheRateCapHolds();
    }

    // The user caps the worker's rate; it takes hold at the next pass.
    void SetRateCap(int32_t kibPerSecond) {
        Note("rate cap " + std::to_string(kibPerSecond) + " KiB/s");
        engine_->Configuration().Change(
            [&](EngineConfiguration::Live& live) { live.Settings.MaxRateKB = kibPerSecond; });
        (void)network_.BusiestSecondSince(clock_.NowMs());  // what came before is not judged
        capSinceMs_ = clock_.NowMs() + kMsPerMinute;
        capKiB_ = kibPerSecond;
    }

    // No simulated second carries more than the cap and its budget's burst
    // (a tenth of a second's bytes but at least 16 KiB, and the one piece of
    // up to 16 KiB it may run into debt by).
    void CheckTheRateCapHolds() {
        const uint64_t busiest = network_.BusiestSecondSince(capSinceMs_);
        if (!rateCapped_.on || clock_.NowMs() < capSinceMs_) return;
        const uint64_t cap = static_cast<uint64_t>(capKiB_) * 1024;
        const uint64_t allowed = cap + std::max<uint64_t>(cap / 10, 16 * 1024) + 16 * 1024;
        if (busiest > allowed)
            Break("the rate cap holds: a second carried " + std::to_string(busiest) +
                  " bytes under a cap of " + std::to_string(cap));
    }

    // A host starts the plug-in on the folder: a new engine over the same disk and line.
    void StartEngine(const std::string& token) {
        FeedArray feeds(SimService::kFeeds);
        for (int i = 0; i < SimService::kFeeds; ++i) {
            feeds[i].Type = SimService::kFeedTypes[i];
            feeds[i].MaxP = 30;
        }
        feeds[2].Tags = "sunset";
        engine_ = std::make_unique<CFeedEngine>(settings_, disk_, clock_, network_.NewSession());
        engine_->Options().queryFactory = service_.Factory();
        engine_->Options().idleInterval = std::chrono::milliseconds(kPassMs);
        engine_->OpenHealthRecord(kHealthRecord);
        engine_->Options().events = [this](const EngineEvent& event) { Heard(event); };
        engine_->Configuration().Change(
            [&](EngineConfiguration::Live& live) { live.Feeds = std::move(feeds); });
        engine_->SetToken(token);
        engine_->BeginWork();
    }

    void Heard(const EngineEvent& event) {
        if (disk_.Dead()) return;  // a dead process's words reach nobody
        switch (event.kind) {
            case EngineEvent::Kind::FeedsRead:
                feedsRead_ = true;
                return Note("feeds read, " + std::to_string(event.count) + " queued");
            case EngineEvent::Kind::Stored:
                ++report_.stored;
                storedSinceList_.push_back(event.name);
                if (unshownSinceMs_ == 0) unshownSinceMs_ = clock_.NowMs();
                return Note("stored " + event.name);
            case EngineEvent::Kind::Pruned:
                prunedInBatch_ = true;
                lastPrunedMs_ = clock_.NowMs();
                goneBeforeAPrune_.clear();
                report_.pruned += event.count;
                return Note("pruned " + std::to_string(event.count));
            case EngineEvent::Kind::BatchClosed:
                batchClosed_ = true;
                // The list that names them is written: the journal is gone.
                if (!disk_.Contents(Media(kJournalFileName))) {
                    unshownSinceMs_ = 0;
                    // A file the user deleted is back for good once the list names it
                    // again: until then a death may take it once more.
                    for (const std::string& name : storedSinceList_) deletedByTheUser_.erase(name);
                    storedSinceList_.clear();
                }
                return Note("batch closed, " + std::to_string(event.count) + " listed");
        }
    }

    void Note(const std::string& what) { trace_.Note(clock_.NowMs(), what); }

    // The process dies at one of the next changes it makes to the disk: in
    // a transfer, between a rename and its note, while the list is written,
    // while pruning or during a stop, wherever the count falls.
    void ArmADeath() {
        if (disk_.Dead()) return;
        const uint64_t after = 1 + random_() % 400;
        Note("a death armed, " + std::to_string(after) + " changes on");
        disk_.DieAfter(after, [this] {
            Note("the process dies");
            stop_ = 1;
            engine_->WakeTransfers();
        });
    }

    // Killed: the engine goes without a word to the disk, which loses what
    // was not synced, and the host starts the plug-in again on the folder.
    void DieAndStartAgain() {
        ++deaths_;
        // The host keeps the settings and the token the plug-in was given.
        const std::string token = engine_->Configuration().Read().token;
        engine_.reset();
        std::string lost;
        std::set<std::string> lostNames = disk_.Revive();
        // A part without its note (a transfer that came whole lets its note go
        // before the rename) can't be resumed: the new engine removes it.
        const std::set<std::string>& inFolder = disk_.Names(kMediaFolder);
        for (const std::string& name : inFolder)
            if (KindOfPartialName(name) == PartialName::Part &&
                inFolder.count(NoteOfPart(name)) == 0)
                lostNames.insert(name.substr(0, name.size() - 21));
        for (const std::string& name : lostNames) {
            disk_.ForgetFetched(name);
            inodes_.erase(name);
            lost += " " + name;
        }
        Note("the disk lost what was not synced:" +
             (lost.empty() ? std::string(" nothing") : lost));
        stop_ = 0;
        feedsRead_ = batchClosed_ = false;
        storedSinceList_.clear();
        media_.ClientDied();
        otherMedia_.ClientDied();
        CheckWholeAfterADeath();
        StartEngine(token);
        // The folder's parts and the list are read anew; the world waits for the new engine.
        settledSinceMs_ = calmSinceMs_ = std::max(calmSinceMs_, clock_.NowMs());
        unshownSinceMs_ = 0;
    }

    // After a death: the list reads whole, every file it names is there and
    // complete, and nothing of the user's is touched.
    void CheckWholeAfterADeath() {
        const std::set<std::string> delivered = DeliveredAddresses();
        LocalFileMap listed;
        const ListReadResult list = ReadListFile(disk_, Media(kListFileName), listed);
        if (!list.Readable()) return Break("the list reads whole after a death");
        for (const auto& [url, record] : listed) {
            const std::string* bytes = disk_.Contents(Media(record.LocalName));
            // Pruning removes the files before the list stops naming them (the
            // other way round, a death would leave files of ours unlisted for
            // ever): a file gone is one its feeds had left, whose record goes
            // at the next prune.
            if (!bytes && delivered.count(platform::AddressWithoutQuery(url)) != 0 &&
                deletedByTheUser_.count(record.LocalName) == 0)
                return Break("every listed file is there after a death: " + record.LocalName);
            if (!bytes) {
                goneBeforeAPrune_.insert(url);
                continue;
            }
            if (*bytes != SimHost::BodyOf(record.LocalName) &&
                userNames_.count(record.LocalName) == 0)
                return Break("every listed file is whole after a death: " + record.LocalName);
        }
        CheckUsersFilesUntouched(disk_.Names(kMediaFolder));
    }

    // The host stops the plug-in in the middle of a transfer, and starts it again.
    void StopDuringTheNextTransfer() {
        SimHost& host = Chance(0.5) ? media_ : otherMedia_;
        host.ArmStop([this] {
            stop_ = 1;
            engine_->WakeTransfers();
        });
    }

    void StopAndStartAfterATransferWasCut() {
        Note("the host stops the plug-in midway");
        engine_->EndWork();
        if (disk_.Dead()) return;  // it died while it stopped
        stop_ = 0;
        ++stopsDuringTransfers_;
        engine_->BeginWork();
    }

    // The next new item trickles: one byte, then nothing, while others arrive.
    void TrickleANewItem() {
        tricklingId_ = nextId_;
        media_.SetTrickling(SimService::NameOf(tricklingId_));
        otherMedia_.SetTrickling(SimService::NameOf(tricklingId_));
    }

    [[nodiscard]] const char* NameOf(const FaultWindow& fault) const {
        const std::pair<const FaultWindow*, const char*> names[] = {
            {&outage_, "an outage"},
            {&tooMany_, "too many requests"},
            {&tokenRefused_, "a refused token"},
            {&flakyLine_, "a flaky line"},
            {&mediaBusy_, "a busy media host"},
            {&diskFull_, "a full disk"},
            {&unwritable_, "an unwritable folder"},
            {&quiet_, "quiet hours"},
            {&otherHostHeld_, "the other host's hold"},
            {&trickle_, "a trickle"},
            {&clockJumped_, "a clock jump"},
            {&rateCapped_, "a rate cap"}};
        for (const auto& [window, name] : names)
            if (window == &fault) return name;
        return "a fault";
    }

    template <typename Begin>
    void Start(FaultWindow& fault, uint64_t lengthMs, Begin begin) {
        if (fault.on) return;
        fault = {clock_.NowMs() + lengthMs, true};
        Note(std::string(NameOf(fault)) + " begins");
        faultBeganMs_ = clock_.NowMs();
        settledSinceMs_ = std::max(settledSinceMs_, clock_.NowMs());
        begin();
    }

    // Two quiet hours from the hour now: the settings say so, and the engine
    // must send no request until they are over.
    void BeginQuietHours() {
        const int hour = LocalHourAt(clock_.WallSeconds());
        quietFromHour_ = hour;
        quietEndHour_ = (hour + 2) % 24;
        engine_->Configuration().Change([&](EngineConfiguration::Live& live) {
            live.Settings.QuietFrom = hour;
            live.Settings.QuietTo = quietEndHour_;
        });
        quiet_ = {UINT64_MAX, true};
        diskFullSinceQuiet_ = diskFull_.on;
        Note("quiet hours begin");
        quietBeganMs_ = clock_.NowMs();
        requestsBeforeQuiet_ = service_.Queries() + media_.Requests();
    }

    void CheckQuietHoursAreQuiet() {
        if (!quiet_.on || LocalHourAt(clock_.WallSeconds()) == quietEndHour_) return;
        if (service_.Queries() + media_.Requests() != requestsBeforeQuiet_)
            Break("no request is sent in quiet hours");
    }

    void EndFaultsThatAreOver() {
        const uint64_t now = clock_.NowMs();
        if (quiet_.on && LocalHourAt(clock_.WallSeconds()) == quietEndHour_) {
            quiet_.untilMs = now;
            engine_->Configuration().Change([](EngineConfiguration::Live& live) {
                live.Settings.QuietFrom = live.Settings.QuietTo = 0;
            });
        }
        const auto end = [&](FaultWindow& fault, auto finish) {
            if (!fault.on || now < fault.untilMs) return;
            fault.on = false;
            Note(std::string(NameOf(fault)) + " ends");
            calmSinceMs_ = std::max(calmSinceMs_, now);
            settledSinceMs_ = std::max(settledSinceMs_, now);
            finish();
        };
        end(outage_, [&] { service_.SetOutage(false); });
        // The engine keeps the last pause the service asked for, ten minutes.
        end(tooMany_, [&] {
            service_.SetRetryAfter(0);
            settledSinceMs_ = std::max(settledSinceMs_, now + 10 * kMsPerMinute);
        });
        end(tokenRefused_, [&] { engine_->SetToken(token_); });
        // Not calm again at its end: the items came through it all the same.
        if (flakyLine_.on && now >= flakyLine_.untilMs) {
            flakyLine_.on = false;
            media_.SetFlaky(false);
        }
        end(diskFull_, [&] { disk_.SetDiskFull(false); });
        end(mediaBusy_, [&] { media_.SetBusy(false); });
        // The engine waits out the last pause the host asked for, an hour.
        end(otherHostHeld_, [&] {
            otherMedia_.SetBusy(false);
            calmSinceMs_ = std::max(calmSinceMs_, now + kMsPerHour);
        });
        end(trickle_, [&] {
            media_.SetTrickling("");
            otherMedia_.SetTrickling("");
            excusedUntilMs_[tricklingId_] = now + kMsPerHour;
        });
        if (unwritable_.on) {
            if (!unwritableWindows_.empty() && unwritableWindows_.back().second >= now)
                unwritableWindows_.back().second = now + kMsPerMinute;
            else
                unwritableWindows_.push_back({now, now + kMsPerMinute});
        }
        end(unwritable_, [&] { disk_.SetUnwritable(false); });
        end(quiet_, [] {});
        end(clockJumped_, [&] { clock_.JumpWall(-clockJumpSeconds_); });
        if (rateCapped_.on && now >= rateCapped_.untilMs) {
            rateCapped_.on = false;
            SetRateCap(0);
        }
    }

    [[nodiscard]] bool AnyFaultButAFlakyLine() const {
        return outage_.on || tooMany_.on || tokenRefused_.on || diskFull_.on || unwritable_.on ||
               quiet_.on || mediaBusy_.on;
    }
    // Faults that make the health say something other than fine.
    [[nodiscard]] bool AnyFaultOfTheHealth() const {
        return outage_.on || tooMany_.on || tokenRefused_.on || diskFull_.on || unwritable_.on ||
               quiet_.on;
    }

    void AddItem(int feed) {
        const uint64_t id = nextId_++;
        service_.Add(feed, id);
        if (Chance(0.2)) service_.Add((feed + 1) % SimService::kFeeds, id);  // in two feeds
        addedAtMs_[id] = clock_.NowMs();
    }

    void ChurnAFeed() {
        const int feed = static_cast<int>(random_() % SimService::kFeeds);
        const size_t size = service_.Items()[feed].size();
        if (size > 25 || (size > 15 && Chance(0.5))) {
            // What the life remembers of an item goes with it: a year stays small.
            if (const std::optional<uint64_t> left = service_.RemoveOne(feed, random_())) {
                addedAtMs_.erase(*left);
                excusedUntilMs_.erase(*left);
            }
        }
        if (size < 25) AddItem(feed);
    }

    void DropAUsersFile() {
        // A user keeps a few hundred files of their own, not a year's worth:
        // beyond that, they delete one of theirs for each they add.
        if (userFiles_.size() >= kUsersFilesKept) {
            auto oldest =
                std::next(userFiles_.begin(), static_cast<long>(random_() % userFiles_.size()));
            disk_.RemoveOthersWay(Media(oldest->first));
            Note("the user deletes their " + oldest->first);
            userNames_.erase(oldest->first);
            userFiles_.erase(oldest);
        }
        const uint64_t n = ++userFilesDropped_;
        std::map<std::string, std::string> drop;
        if (Chance(0.3)) {
            // A photo and its sidecar under the base name a coming item will have.
            const std::string base = "i" + std::to_string(nextId_);
            drop[base + ".png"] = "the user's photo " + std::to_string(n);
            drop[base + ".kprop"] = "the user's caption " + std::to_string(n);
        } else if (Chance(0.2)) {
            drop[SimService::NameOf(nextId_)] = "the user's own file " + std::to_string(n);
            userNames_.insert(SimService::NameOf(nextId_));
        } else if (Chance(0.3)) {
            // A caption alone, under the base name a coming item will have.
            drop["i" + std::to_string(nextId_) + ".kprop"] =
                "the user's caption " + std::to_string(n);
        } else if (Chance(0.2)) {
            drop["notes" + std::to_string(n) + ".__t"] = "the user's notes " + std::to_string(n);
        } else {
            drop["u" + std::to_string(n) + ".jpg"] = "the user's picture " + std::to_string(n);
        }
        for (const auto& [name, bytes] : drop) {
            if (disk_.Contents(Media(name))) continue;
            disk_.WriteOthersFile(Media(name), bytes);
            Note("the user writes " + name);
            userFiles_[name] = bytes;
        }
    }

    void DeleteOneOfOurs() {
        const LocalFileMap listed = ReadListed();
        if (listed.empty()) return;
        auto it = std::next(listed.begin(), static_cast<long>(random_() % listed.size()));
        disk_.RemoveOthersWay(Media(it->second.LocalName));
        Note("the user deletes " + it->second.LocalName);
        deletedByTheUser_.insert(it->second.LocalName);
        // Its item is fetched again within a refresh, as a new one is.
        const std::string& name = it->second.LocalName;
        if (name.size() > 1 && name[0] == 'i') {
            const auto added = addedAtMs_.find(std::strtoull(name.c_str() + 1, nullptr, 10));
            if (added != addedAtMs_.end()) added->second = clock_.NowMs();
        }
        // It is fetched anew, and counts anew.
        disk_.ForgetFetched(it->second.LocalName);
        // Deleted while a batch runs, it may stay listed until the next batch.
        deletedSinceCheck_.insert(it->first);
        goneBeforeAPrune_.insert(it->first);
        inodes_.erase(it->second.LocalName);
    }

    // The host disables and enables the plug-in between two passes.
    void StopAndStartTheWorker() {
        Note("the host stops and starts the plug-in");
        engine_->EndWork();
        engine_->BeginWork();
    }

    // The same photos under new addresses: nothing is fetched again (the
    // checker's inodes say so); until the next refresh the list has the old ones.
    void SignTheAddressesAnew() {
        service_.SignAnew();
        Note("the service signs its addresses anew");
        calmSinceMs_ = std::max(calmSinceMs_, clock_.NowMs());
    }

    void ReloadTheSettings() {
        engine_->Configuration().Change([](EngineConfiguration::Live& live) {
            FeedArray same;
            CopyFeedArray(same, live.Feeds);
            live.Feeds = std::move(same);
        });
        engine_->SetToken(engine_->Configuration().Read().token);
    }

    // The promises, after every batch.
    void CheckPromises() {
        // A batch that left the folder as it was can't have broken what the
        // folder promises; the checks that hang on time and the service run
        // after every batch, the folder's at least every ten minutes.
        const bool folderAsBefore = disk_.MediaFolderChanges() == folderCheckedAtChange_ &&
                                    clock_.NowMs() < folderCheckedAtMs_ + 10 * kMsPerMinute;
        if (folderAsBefore && !prunedInBatch_) {
            CheckNewItemsArrived(listedAtCheck_);
            CheckPausesAreKept();
            return;
        }
        folderCheckedAtChange_ = disk_.MediaFolderChanges();
        folderCheckedAtMs_ = clock_.NowMs();
        deletedInBatch_ = std::exchange(deletedSinceCheck_, {});
        listedAtCheck_ = ReadListed();
        const LocalFileMap& listed = listedAtCheck_;
        const std::set<std::string>& inFolder = disk_.Names(kMediaFolder);
        std::unordered_set<std::string> listedNames;
        for (const auto& [url, record] : listed) listedNames.insert(record.LocalName);
        CheckListedFilesAreThere(listed, inFolder);
        CheckOnlyListedFilesAreOurs(listed, inFolder);
        CheckUsersFilesUntouched(inFolder);
        CheckInStepWithTheFeeds(listed);
        CheckNewItemsArrived(listed);
        CheckNothingFetchedTwice(listed);
        CheckEachFileCameDownTheLineOnce(listed);
        CheckPausesAreKept();
        // A name no longer listed can't be missed after a death.
        for (auto name = deletedByTheUser_.begin(); name != deletedByTheUser_.end();)
            name = listedNames.count(*name) != 0 ? std::next(name) : deletedByTheUser_.erase(name);
    }

    // What is stored reaches the show (the list written, "Download complete",
    // a restart asked for) within 3 minutes, whatever else waits: the journal,
    // which the list's write empties, holds nothing older.
    void CheckStoredFilesReachTheShow() {
        const uint64_t now = clock_.NowMs();
        if (unwritable_.on) unshownSinceMs_ = 0;
        if (unshownSinceMs_ != 0 && now - unshownSinceMs_ > 3 * kMsPerMinute)
            Break("a stored file reaches the show within 3 minutes: one waits for " +
                  std::to_string((now - unshownSinceMs_) / kMsPerMinute) + " minutes");
    }

    // A stop, a cut or quiet hours keep what came: no file takes more than
    // 1.3 times its bytes off the line (what the line lost in flight is not
    // taken). A file fetched while the folder refused writes is excused.
    void CheckEachFileCameDownTheLineOnce(const LocalFileMap& listed) {
        for (const auto& [url, record] : listed) {
            const std::string& name = record.LocalName;
            if (userNames_.count(name) != 0) continue;  // compared with the user's file
            const SimDisk::Fetched fetched = disk_.FetchedOf(name);
            const uint64_t size = SimHost::kBodyBytes;
            if (fetched.bytes * 10 <= size * 13 || FetchedWhileUnwritable(fetched)) continue;
            return Break("a file comes down the line once: " + name + " took " +
                         std::to_string(fetched.bytes) + " bytes for " + std::to_string(size));
        }
    }

    [[nodiscard]] bool FetchedWhileUnwritable(const SimDisk::Fetched& fetched) const {
        for (const auto& [from, until] : unwritableWindows_)
            if (fetched.firstMs <= until && fetched.lastMs >= from) return true;
        return false;
    }

    void CheckPausesAreKept() {
        for (const SimHost* host : {&media_, &otherMedia_})
            if (!host->PauseBroken().empty())
                return Break("a pause a host asked for is kept: " + host->PauseBroken());
    }

    // Every minute, the verdict `kalhost status` would give, read off the
    // record's file, matches the world: quiet hours, a failing service, a calm day.
    void CheckTheHealthTellsTheTruth() {
        const std::string* text = disk_.Contents(kHealthRecord);
        if (!text) return;  // before the first word
        // Most minutes find the record as it was: it is read once a change.
        if (*text != healthText_) {
            healthText_ = *text;
            healthRead_ = HealthRecordFromJson(*text);
        }
        const std::optional<HealthRecord>& record = healthRead_;
        if (!record) return Break("the health record can be read");
        const platform::WallTime now{std::chrono::seconds(clock_.WallSeconds())};
        const HealthVerdict verdict = JudgeHealth(*record, now);
        const uint64_t nowMs = clock_.NowMs();
        const bool settled = nowMs >= settledSinceMs_ + 5 * kMsPerMinute;
        std::optional<HealthVerdict> expected;
        if (tokenRefused_.on || unwritable_.on || diskFull_.on || !settled) {
            // what needs the user comes first; its beginning and end are not judged
        } else if (quiet_.on &&
                   IsQuietHour(LocalHourAt(clock_.WallSeconds()), quietFromHour_, quietEndHour_)) {
            // the engine reads the new hours at its next pass
            if (nowMs < quietBeganMs_ + 2 * kMsPerMinute) return;
            expected = HealthVerdict::QuietHours;
            const auto next = record->NextRefreshShown(now);
            if (next && *next < now) return Break("the next refresh is never in the past");
        } else if ((outage_.on || tooMany_.on) &&
                   nowMs >= faultBeganMs_ + kRefreshPeriodMs + kPassMs) {
            expected = HealthVerdict::ServiceFailing;
        } else if (!AnyFaultOfTheHealth()) {
            expected = HealthVerdict::Healthy;
        }
        // Quiet hours download nothing: a disk that ran full before them
        // is said full until they end, though it has room again.
        if (quiet_.on && diskFullSinceQuiet_ && verdict == HealthVerdict::DiskReserveReached)
            return;
        if (expected && verdict != *expected)
            Break("the health tells the truth: the record's verdict is " +
                  std::to_string(static_cast<int>(verdict)) + ", the world's " +
                  std::to_string(static_cast<int>(*expected)));
    }

    void CheckListedFilesAreThere(const LocalFileMap& listed, const std::set<std::string>& names) {
        for (const auto& [url, record] : listed)
            // Until the engine may prune, the records of files gone wait for it.
            if (names.count(record.LocalName) == 0 && deletedInBatch_.count(url) == 0 &&
                goneBeforeAPrune_.count(url) == 0)
                return Break("every listed file exists: " + record.LocalName + " is missing");
    }

    void CheckOnlyListedFilesAreOurs(const LocalFileMap& listed,
                                     const std::set<std::string>& names) {
        std::unordered_set<std::string> ours{kListFileName, kJournalFileName, kLockFileName,
                                             kUsersSidecarsFileName};
        ours.reserve(2 * listed.size() + 4);
        for (const auto& [url, record] : listed) {
            ours.insert(record.LocalName);
            std::string sidecar = record.LocalName;
            ReplaceExtension(sidecar, kSidecarSuffix);
            ours.insert(sidecar);
        }
        size_t parts = 0;
        for (const std::string& name : names) {
            if (IsPartialDownloadName(name)) {
                // A part cut short waits for a later batch to go on, but not for ever.
                ++parts;
                struct stat status {};
                const int64_t longest = static_cast<int64_t>(
                    std::chrono::seconds(DownloadPipeline::kPartMaxAge).count() + kMsPerDay / 1000);
                if (disk_.Lstat(Media(name).c_str(), &status) == 0 &&
                    clock_.WallSeconds() - static_cast<int64_t>(status.st_mtime) > longest)
                    return Break("no part outlives its time: " + name);
                continue;
            }
            if (userFiles_.count(name) != 0) continue;
            if (name.size() > 3 && name.compare(name.size() - 3, 3, "__t") == 0)
                return Break("no temporary file outlives its batch: " + name);
            if (platform::IsAtomicWriteLeftover(name, kListFileName) ||
                name.find(".kprop.tmp") != std::string::npos)
                return Break("no temporary file outlives its batch: " + name);
            if (ours.count(name) == 0 && userFiles_.count(name) == 0)
                return Break("every file of ours is listed: " + name + " is not");
        }
        // Each item in the pipeline has a part and its note at the most.
        if (parts > 2 * (DownloadPipeline::kTransfersInFlight + DownloadPipeline::kItemsWaiting))
            Break("parts do not pile up: " + std::to_string(parts));
    }

    void CheckUsersFilesUntouched(const std::set<std::string>& names) {
        for (const auto& [name, bytes] : userFiles_) {
            if (names.count(name) == 0) return Break("no file of the user's disappears: " + name);
            const std::string* now = disk_.Contents(Media(name));
            if (!now || *now != bytes) return Break("no file of the user's changes: " + name);
        }
    }

    // A feed that fails for good (the refused tag) puts pruning off for a
    // day, however often the plug-in is started anew; the faults of the
    // script (quiet hours, a refused token, an outage) may hold it a while longer.
    void CheckPruningIsPutOffADayAtMost() {
        const uint64_t longest = 36 * kMsPerHour;
        if (clock_.NowMs() > lastPrunedMs_ + longest)
            Break("pruning is put off a day at most: the last prune was " +
                  std::to_string((clock_.NowMs() - lastPrunedMs_) / kMsPerHour) + " hours ago");
    }

    // Mode 0: only what the feeds' last answers hold; mode 1: also what is
    // younger than the limit.
    void CheckInStepWithTheFeeds(const LocalFileMap& listed) {
        // A batch that put pruning off (a feed not yet read since the start,
        // or a clock set back) keeps what it had.
        if (!prunedInBatch_) return;
        // By address without the signature: a feed that fails keeps the files
        // of its last answer, whatever signature they carried then.
        const std::set<std::string> delivered = DeliveredAddresses();
        const int64_t limitSeconds = (kOlderHours + 1) * 3600 + 120;
        for (const auto& [url, record] : listed) {
            if (delivered.count(platform::AddressWithoutQuery(url)) != 0) continue;
            struct stat status {};
            // A time more than an hour ahead of the clock is no age.
            const int64_t age = disk_.Lstat(Media(record.LocalName).c_str(), &status) == 0
                                    ? clock_.WallSeconds() - static_cast<int64_t>(status.st_mtime)
                                    : INT64_MAX;
            const bool young = settings_.FeedsSynch != 0 && age >= -3600 && age < limitSeconds;
            if (!young)
                return Break("the folder holds what the feeds delivered: " + record.LocalName +
                             " left them");
        }
    }

    [[nodiscard]] std::set<std::string> DeliveredAddresses() const {
        std::set<std::string> delivered;
        for (const auto& answer : service_.LastAnswers())
            for (const std::string& url : answer)
                delivered.insert(platform::AddressWithoutQuery(url));
        return delivered;
    }

    // Once the service answers and the line and disk are fine, a new item is
    // in the folder within a refresh interval (and a pass or two).
    void CheckNewItemsArrived(const LocalFileMap& listed) {
        const uint64_t now = clock_.NowMs();
        // A flaky line cuts every answer, but parts go on with Range: the items still come.
        if (AnyFaultButAFlakyLine() || now < calmSinceMs_ + kRefreshPeriodMs + 2 * kMsPerMinute)
            return;
        const auto items = service_.Items();
        for (int feed = 0; feed < SimService::kFeeds; ++feed) {
            if (feed == 2 && service_.TagRefused()) continue;
            for (uint64_t id : items[feed]) {
                if (now < addedAtMs_[id] + kRefreshPeriodMs + 2 * kMsPerMinute) continue;
                if (id == tricklingId_ && (trickle_.on || now < excusedUntilMs_[id])) continue;
                // The second host may be held for hours; its items wait for it.
                if (id % SimService::kOtherHostEvery == 0 && otherHostHeld_.on) continue;
                if (userNames_.count(SimService::NameOf(id)) != 0) continue;  // the user's name
                if (listed.count(service_.UrlOf(id)) == 0) {
                    std::string under = "nowhere";
                    for (const auto& [url, record] : listed)
                        if (record.LocalName == SimService::NameOf(id)) under = url;
                    return Break("a new item reaches the folder: " + SimService::NameOf(id) +
                                 " has not (listed " + under + ", feed " + std::to_string(feed) +
                                 ")");
                }
            }
        }
    }

    // A file stays the same file while its item stays in the feeds, under
    // whatever signature its address carries.
    void CheckNothingFetchedTwice(const LocalFileMap& listed) {
        std::unordered_map<std::string, ino_t> now;
        now.reserve(listed.size());
        for (const auto& [url, record] : listed) {
            struct stat status {};
            if (disk_.Lstat(Media(record.LocalName).c_str(), &status) != 0) continue;
            now[record.LocalName] = status.st_ino;
            const auto before = inodes_.find(record.LocalName);
            if (before != inodes_.end() && before->second != status.st_ino)
                return Break("nothing is downloaded twice: " + record.LocalName);
        }
        inodes_ = std::move(now);
    }

    void MeasureResourcesDaily() {
        const uint64_t day = clock_.NowMs() / kMsPerDay;
        if (day == measuredDay_ || day == 0) return;
        measuredDay_ = day;
        const size_t descriptors = disk_.OpenDescriptors();
        const long threads = StatusField("Threads");
        const long residentKiB = StatusField("VmRSS");
        if (day == 1) {
            baseDescriptors_ = descriptors;
            baseThreads_ = threads;
            baseResidentKiB_ = residentKiB;
            return;
        }
        if (descriptors > baseDescriptors_ + 2) Break("descriptors stay bounded");
        if (threads > baseThreads_ + 2) Break("threads stay bounded");
        // AddressSanitizer keeps freed memory in quarantine: its resident size says nothing.
        if (!kSanitizedMemory && residentKiB > baseResidentKiB_ + 64 * 1024)
            Break("memory stays bounded");
    }

    [[nodiscard]] LocalFileMap ReadListed() {
        LocalFileMap listed;
        (void)ReadListFile(disk_, Media(kListFileName), listed);
        (void)MergeJournal(disk_, Media(kJournalFileName), kMediaFolder, listed);
        return listed;
    }

    bool Chance(double p) { return std::uniform_real_distribution<double>(0, 1)(random_) < p; }

    void Break(const std::string& promise) {
        if (!report_.broken.empty()) return;
        const uint64_t now = clock_.NowMs();
        report_.broken = promise + " (seed " + std::to_string(options_.seed) + ", " +
                         When(now).substr(0, When(now).find('.')) + ", batch " +
                         std::to_string(report_.batches) + ")\n  the last events:\n" +
                         trace_.Tail() + "  the transfers under way:\n" + network_.Describe();
    }

    const LifeOptions options_;
    std::mt19937_64 random_;
    SimClock clock_;
    SimDisk disk_;
    SimNetwork network_;
    SimService service_;
    SimHost& media_;
    SimHost& otherMedia_;
    PluginSettings settings_;
    std::unique_ptr<CFeedEngine> engine_;
    std::atomic<int32_t> stop_{0};
    platform::AutoResetEvent idle_;
    LifeReport report_;
    Trace trace_;
    bool feedsRead_ = false;
    bool batchClosed_ = false;
    uint64_t deaths_ = 0;
    // The pass that closed the batch pruned: only then is the folder judged against the feeds.
    bool prunedInBatch_ = false;
    uint64_t lastPrunedMs_ = 0;
    FaultWindow rateCapped_;
    uint64_t capSinceMs_ = 0;
    int32_t capKiB_ = 0;

    uint64_t nextMinuteMs_ = 0;
    uint64_t nextId_ = 1;
    std::map<uint64_t, uint64_t> addedAtMs_;
    std::string token_ = "tok-0";
    uint64_t tokens_ = 0;
    uint64_t tagRefusalMs_ = UINT64_MAX;
    FaultWindow outage_, tooMany_, tokenRefused_, flakyLine_, mediaBusy_, diskFull_, unwritable_,
        quiet_, otherHostHeld_, trickle_, clockJumped_;
    int64_t clockJumpSeconds_ = 0;
    bool diskFullSinceQuiet_ = false;  // the disk ran full since quiet hours last began
    uint64_t faultBeganMs_ = 0;
    uint64_t settledSinceMs_ = 0;  // when the health's faults last began or ended
    int quietFromHour_ = 0;
    uint64_t quietBeganMs_ = 0;
    uint64_t tricklingId_ = 0;
    std::map<uint64_t, uint64_t> excusedUntilMs_;
    std::vector<std::pair<uint64_t, uint64_t>> unwritableWindows_;
    uint64_t unshownSinceMs_ = 0;  // the first store the list does not name yet
    uint64_t stopsDuringTransfers_ = 0;
    int quietEndHour_ = 0;
    uint64_t requestsBeforeQuiet_ = 0;
    uint64_t calmSinceMs_ = 0;
    uint64_t userFilesDropped_ = 0;
    std::map<std::string, std::string> userFiles_;   // name -> bytes
    std::set<std::string> userNames_;                // the user's files under an item's name
    std::unordered_map<std::string, ino_t> inodes_;  // name -> inode at the last batch
    std::set<std::string> deletedSinceCheck_;
    std::set<std::string> deletedInBatch_;
    std::set<std::string> goneBeforeAPrune_;
    std::set<std::string> deletedByTheUser_;    // until the engine stores the name again
    std::vector<std::string> storedSinceList_;  // stored since the list was last written
    uint64_t measuredDay_ = 0;
    uint64_t folderCheckedAtChange_ = UINT64_MAX;  // the folder's change count at its last check
    uint64_t folderCheckedAtMs_ = 0;
    LocalFileMap listedAtCheck_;
    std::string healthText_;  // the record's file as last read
    std::optional<HealthRecord> healthRead_;
    size_t baseDescriptors_ = 0;
    long baseThreads_ = 0;
    long baseResidentKiB_ = 0;
};

}  // namespace

LifeReport LiveALife(const LifeOptions& options) {
    return Life(options).Run();
}

}  // namespace pixolune::life
