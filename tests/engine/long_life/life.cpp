#include "life.h"

#include <dirent.h>
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
#include <thread>
#include <utility>
#include <vector>

#include "engine/download_pipeline.h"
#include "engine/feed_engine.h"
#include "engine/list_file.h"
#include "engine/local_names.h"
#include "engine/quiet_hours.h"
#include "engine_test_support.h"
#include "model/host_link.h"
#include "platform/atomic_file.h"
#include "platform/health_record.h"
#include "platform/url_parts.h"
#include "sim_world.h"

namespace pixolune::life {
namespace {

constexpr int32_t kOlderHours = 2;  // the age limit of removal mode 1
constexpr size_t kKeptLogLines = 40;
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitizedMemory = true;
#else
constexpr bool kSanitizedMemory = false;
#endif

// The plug-in's last log lines, shown when a promise breaks.
class LogTail {
  public:
    static int Callback(int code, intptr_t, intptr_t text) {
        if (code != 7 || text == 0) return 0;
        std::lock_guard<std::mutex> guard(mutex_);
        lines_.emplace_back(reinterpret_cast<const char*>(text));
        if (std::FILE* whole = WholeLog()) std::fprintf(whole, "%s\n", lines_.back().c_str());
        if (lines_.back().find("Items queued to download") != std::string::npos) ++refreshes_;
        if (lines_.back() == "Download complete") closed_ = true;
        if (lines_.size() > kKeptLogLines) lines_.pop_front();
        return 1;
    }
    // Feeds read since the last call: a batch that closes after them is a real one.
    static uint64_t TakeRefreshes() {
        std::lock_guard<std::mutex> guard(mutex_);
        return std::exchange(refreshes_, 0);
    }
    // Whether a batch closed since the last call; quiet hours end a pass, not the batch.
    static bool TakeClosed() {
        std::lock_guard<std::mutex> guard(mutex_);
        return std::exchange(closed_, false);
    }
    static std::string Text() {
        std::lock_guard<std::mutex> guard(mutex_);
        std::string text;
        for (const std::string& line : lines_) text += "    " + line + "\n";
        return text;
    }

  private:
    // With LONG_LIFE_LOG set, every line goes to that file as well: the tail
    // seldom reaches back to the step that broke a promise.
    static std::FILE* WholeLog() {
        static const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(
            std::getenv("LONG_LIFE_LOG") ? std::fopen(std::getenv("LONG_LIFE_LOG"), "w") : nullptr,
            &std::fclose);
        return file.get();
    }

    static inline std::mutex mutex_;
    static inline std::deque<std::string> lines_;
    static inline uint64_t refreshes_ = 0;
    static inline bool closed_ = false;
};

// One fault of the script: on for a while, then off.
struct FaultWindow {
    uint64_t untilMs = 0;
    bool on = false;
};

size_t CountEntries(const char* folder) {
    size_t count = 0;
    if (DIR* dir = ::opendir(folder)) {
        while (::readdir(dir)) ++count;
        ::closedir(dir);
    }
    return count;
}

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
          files_(folder_.Path(), clock_),
          media_(clock_),
          otherMedia_(clock_),
          service_(media_.Base(), otherMedia_.Base()),
          engine_(settings_, files_, clock_) {
        SetHostCallback(&LogTail::Callback);
        settings_.ImgFolder = folder_.Path();
        settings_.tmUpdate = 1;
        settings_.KpropTitle = 1;
        settings_.RestartKal = 1;
        settings_.FeedsSynch = options.feedsSynch;
        settings_.OlderDays = 0;
        settings_.OlderHours = kOlderHours;
        engine_.SetQueryFactory(service_.Factory());
        engine_.SetIdleInterval(std::chrono::seconds(30));
        // A trickle is given up after a second of the real time transfers take here.
        MediaDownloadLimits limits;
        limits.http.lowSpeedSeconds = 1;
        engine_.SetDownloadLimits(limits);
        engine_.OpenHealthRecord(stateFolder_.File("health-KAL.json"));
        FeedArray feeds(SimService::kFeeds);
        for (int i = 0; i < SimService::kFeeds; ++i) {
            feeds[i].Type = SimService::kFeedTypes[i];
            feeds[i].MaxP = 30;
        }
        feeds[2].Tags = "sunset";
        engine_.Configuration().Change(
            [&](EngineConfiguration::Live& live) { live.Feeds = std::move(feeds); });
        service_.SetAcceptedToken(token_);
        engine_.SetToken(token_);
        for (int feed = 0; feed < SimService::kFeeds; ++feed)
            for (int n = 0; n < 20; ++n) AddItem(feed);
        const uint64_t days = static_cast<uint64_t>(options.days);
        tagRefusalMs_ = days >= 2 ? kMsPerDay + random_() % (days * kMsPerDay / 2) : UINT64_MAX;
    }
    ~Life() { SetHostCallback(nullptr); }

    LifeReport Run() {
        const uint64_t endMs = static_cast<uint64_t>(options_.days) * kMsPerDay;
        engine_.BeginWork();
        while (clock_.NowMs() < endMs && report_.broken.empty()) {
            while (nextMinuteMs_ <= clock_.NowMs()) {
                ScriptMinute();
                nextMinuteMs_ += kMsPerMinute;
            }
            const DownloadStep step = engine_.RunPass(&stop_);
            if (stop_.load() != 0) {
                StopAndStartAfterATransferWasCut();
                continue;
            }
            if (step == DownloadStep::ItemTaken) continue;
            // A pass that only found the queue empty closes no batch of its own.
            if (LogTail::TakeClosed() &&
                LogTail::TakeRefreshes() > 0) {
                ++report_.batches;
                CheckPromises();
            }
            (void)clock_.WaitFor(idle_, engine_.IdleInterval());
        }
        engine_.EndWork();
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
        MeasureResourcesDaily();
        CheckStoredFilesReachTheShow();
        CheckTheHealthTellsTheTruth();
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
            Start(diskFull_, 2 * kMsPerHour, [&] { files_.SetDiskFull(true); });
        if (Chance(1.0 / (5 * 1440)))
            Start(unwritable_, kMsPerHour, [&] { files_.SetUnwritable(true); });
        if (Chance(1.0 / (3 * 1440)) && !quiet_.on) BeginQuietHours();
        if (Chance(1.0 / (4 * 1440)))
            Start(otherHostHeld_, 3 * kMsPerHour, [&] { otherMedia_.SetBusy(true, 3600); });
        if (Chance(1.0 / (3 * 1440))) Start(trickle_, 30 * kMsPerMinute, [&] { TrickleANewItem(); });
        // A board without a real-time clock: its date is years ahead or behind
        // until the network sets it right, hours later; the tick count runs on.
        if (Chance(1.0 / (5 * 1440)))
            Start(clockJumped_, (1 + random_() % 6) * kMsPerHour, [&] {
                clockJumpSeconds_ = (Chance(0.5) ? 1 : -1) *
                                    static_cast<int64_t>(1 + random_() % 3) * 365 * 86400;
                clock_.JumpWall(clockJumpSeconds_);
            });
        CheckQuietHoursAreQuiet();
    }

    // The host stops the plug-in in the middle of a transfer, and starts it again.
    void StopDuringTheNextTransfer() {
        SimMediaServer& host = Chance(0.5) ? media_ : otherMedia_;
        host.ArmStop([this] {
            stop_.store(1);
            engine_.WakeTransfers();
        });
    }

    void StopAndStartAfterATransferWasCut() {
        engine_.EndWork();
        stop_.store(0);
        ++stopsDuringTransfers_;
        engine_.BeginWork();
    }

    // The next new item trickles: one byte, then nothing, while others arrive.
    void TrickleANewItem() {
        tricklingId_ = nextId_;
        media_.SetTrickling(SimService::NameOf(tricklingId_));
        otherMedia_.SetTrickling(SimService::NameOf(tricklingId_));
    }

    template <typename Begin>
    void Start(FaultWindow& fault, uint64_t lengthMs, Begin begin) {
        if (fault.on) return;
        fault = {clock_.NowMs() + lengthMs, true};
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
        engine_.Configuration().Change([&](EngineConfiguration::Live& live) {
            live.Settings.QuietFrom = hour;
            live.Settings.QuietTo = quietEndHour_;
        });
        quiet_ = {UINT64_MAX, true};
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
            engine_.Configuration().Change([](EngineConfiguration::Live& live) {
                live.Settings.QuietFrom = live.Settings.QuietTo = 0;
            });
        }
        const auto end = [&](FaultWindow& fault, auto finish) {
            if (!fault.on || now < fault.untilMs) return;
            fault.on = false;
            calmSinceMs_ = std::max(calmSinceMs_, now);
            settledSinceMs_ = std::max(settledSinceMs_, now);
            finish();
        };
        end(outage_, [&] { service_.SetOutage(false); });
        end(tooMany_, [&] { service_.SetRetryAfter(0); });
        end(tokenRefused_, [&] { engine_.SetToken(token_); });
        // Not calm again at its end: the items came through it all the same.
        if (flakyLine_.on && now >= flakyLine_.untilMs) {
            flakyLine_.on = false;
            media_.SetFlaky(false);
        }
        end(diskFull_, [&] { files_.SetDiskFull(false); });
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
        if (unwritable_.on) unwritableWindows_.push_back({now, now + kMsPerMinute});
        end(unwritable_, [&] { files_.SetUnwritable(false); });
        end(quiet_, [] {});
        end(clockJumped_, [&] { clock_.JumpWall(-clockJumpSeconds_); });
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
        if (size > 25 || (size > 15 && Chance(0.5))) service_.RemoveOne(feed, random_());
        if (size < 25) AddItem(feed);
    }

    void DropAUsersFile() {
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
            drop["i" + std::to_string(nextId_) + ".kprop"] = "the user's caption " + std::to_string(n);
        } else if (Chance(0.2)) {
            drop["notes" + std::to_string(n) + ".__t"] = "the user's notes " + std::to_string(n);
        } else {
            drop["u" + std::to_string(n) + ".jpg"] = "the user's picture " + std::to_string(n);
        }
        for (const auto& [name, bytes] : drop) {
            if (test::Exists(folder_.File(name))) continue;
            test::WriteFile(folder_.File(name), bytes);
            userFiles_[name] = bytes;
        }
    }

    void DeleteOneOfOurs() {
        const LocalFileMap listed = ReadListed();
        if (listed.empty()) return;
        auto it = std::next(listed.begin(), static_cast<long>(random_() % listed.size()));
        ::unlink(folder_.File(it->second.LocalName).c_str());
        // It is fetched anew, and counts anew.
        files_.ForgetFetched(it->second.LocalName);
        // Deleted while a batch runs, it may stay listed until the next batch.
        deletedSinceCheck_.insert(it->first);
        inodes_.erase(it->second.LocalName);
    }

    // The host disables and enables the plug-in: a real worker runs a while.
    void StopAndStartTheWorker() {
        clock_.SetThreaded(true);
        const uint64_t waitsBefore = clock_.Waits();
        engine_.StartWorker();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (clock_.Waits() == waitsBefore && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const bool passed = clock_.Waits() != waitsBefore;
        engine_.StopWorker();
        clock_.SetThreaded(false);
        engine_.BeginWork();  // the life's own passes are the worker again
        if (!passed) Break("a start after a stop runs a worker");
    }

    // The same photos under new addresses: nothing is fetched again (the
    // checker's inodes say so); until the next refresh the list has the old ones.
    void SignTheAddressesAnew() {
        service_.SignAnew();
        calmSinceMs_ = std::max(calmSinceMs_, clock_.NowMs());
    }

    void ReloadTheSettings() {
        engine_.Configuration().Change([](EngineConfiguration::Live& live) {
            FeedArray same;
            CopyFeedArray(same, live.Feeds);
            live.Feeds = std::move(same);
        });
        engine_.SetToken(engine_.Configuration().Read().token);
    }

    // The promises, after every batch.
    void CheckPromises() {
        deletedInBatch_ = std::exchange(deletedSinceCheck_, {});
        const LocalFileMap listed = ReadListed();
        CountChanges(listed);
        std::set<std::string> inFolder;
        for (const std::string& name : test::FolderNames(folder_.Path())) inFolder.insert(name);
        CheckListedFilesAreThere(listed, inFolder);
        CheckOnlyListedFilesAreOurs(listed, inFolder);
        CheckUsersFilesUntouched(inFolder);
        CheckInStepWithTheFeeds(listed);
        CheckNewItemsArrived(listed);
        CheckNothingFetchedTwice(listed);
        CheckEachFileCameDownTheLineOnce(listed);
        CheckPausesAreKept();
    }

    // What is stored reaches the show (the list written, "Download complete",
    // a restart asked for) within 3 minutes, whatever else waits: the journal,
    // which the list's write empties, holds nothing older.
    void CheckStoredFilesReachTheShow() {
        struct stat status {};
        const bool journal = ::stat(folder_.File(kJournalFileName).c_str(), &status) == 0;
        if (!journal || unwritable_.on) {
            journalSinceMs_ = 0;
            return;
        }
        const uint64_t now = clock_.NowMs();
        if (journalSinceMs_ == 0) journalSinceMs_ = now;
        if (now - journalSinceMs_ > 3 * kMsPerMinute)
            Break("a stored file reaches the show within 3 minutes: the journal is " +
                  std::to_string((now - journalSinceMs_) / kMsPerMinute) + " minutes old");
    }

    // A stop, a cut or quiet hours keep what came: no file takes more than
    // 1.3 times its bytes off the line (what the line lost in flight is not
    // taken). A file fetched while the folder refused writes is excused.
    void CheckEachFileCameDownTheLineOnce(const LocalFileMap& listed) {
        for (const auto& [url, record] : listed) {
            const std::string& name = record.LocalName;
            if (userNames_.count(name) != 0) continue;  // compared with the user's file
            const SimFileSystem::Fetched fetched = files_.FetchedOf(name);
            const uint64_t size = SimMediaServer::BodyOf(name).size();
            if (fetched.bytes * 10 <= size * 13 || FetchedWhileUnwritable(fetched)) continue;
            return Break("a file comes down the line once: " + name + " took " +
                         std::to_string(fetched.bytes) + " bytes for " + std::to_string(size));
        }
    }

    [[nodiscard]] bool FetchedWhileUnwritable(const SimFileSystem::Fetched& fetched) const {
        for (const auto& [from, until] : unwritableWindows_)
            if (fetched.firstMs <= until && fetched.lastMs >= from) return true;
        return false;
    }

    void CheckPausesAreKept() {
        for (const SimMediaServer* host : {&media_, &otherMedia_})
            if (!host->PauseBroken().empty())
                return Break("a pause a host asked for is kept: " + host->PauseBroken());
    }

    // Every minute, the verdict `kalhost status` would give, read off the
    // record's file, matches the world: quiet hours, a failing service, a calm day.
    void CheckTheHealthTellsTheTruth() {
        if (!test::Exists(stateFolder_.File("health-KAL.json"))) return;  // before the first word
        const std::optional<platform::HealthRecord> record =
            platform::HealthRecordFromJson(test::ReadFile(stateFolder_.File("health-KAL.json")));
        if (!record) return Break("the health record can be read");
        const platform::WallTime now{std::chrono::seconds(clock_.WallSeconds())};
        const platform::HealthVerdict verdict = platform::JudgeHealth(*record, now);
        const uint64_t nowMs = clock_.NowMs();
        const bool settled = nowMs >= settledSinceMs_ + 5 * kMsPerMinute;
        using platform::HealthVerdict;
        std::optional<HealthVerdict> expected;
        if (tokenRefused_.on || unwritable_.on || diskFull_.on || !settled) {
            // what needs the user comes first; its beginning and end are not judged
        } else if (quiet_.on && IsQuietHour(LocalHourAt(clock_.WallSeconds()),
                                              quietFromHour_, quietEndHour_)) {
            // the engine reads the new hours at its next pass
            if (nowMs < quietBeganMs_ + 2 * kMsPerMinute) return;
            expected = HealthVerdict::QuietHours;
            const auto next = record->NextRefreshShown(now);
            if (next && *next < now) return Break("the next refresh is never in the past");
        } else if ((outage_.on || tooMany_.on) && nowMs >= faultBeganMs_ + 2 * kMsPerMinute) {
            expected = HealthVerdict::ServiceFailing;
        } else if (!AnyFaultOfTheHealth()) {
            expected = HealthVerdict::Healthy;
        }
        if (expected && verdict != *expected)
            Break("the health tells the truth: the record's verdict is " +
                  std::to_string(static_cast<int>(verdict)) + ", the world's " +
                  std::to_string(static_cast<int>(*expected)));
    }

    void CheckListedFilesAreThere(const LocalFileMap& listed, const std::set<std::string>& names) {
        for (const auto& [url, record] : listed)
            if (names.count(record.LocalName) == 0 && deletedInBatch_.count(url) == 0)
                return Break("every listed file exists: " + record.LocalName + " is missing");
    }

    void CheckOnlyListedFilesAreOurs(const LocalFileMap& listed,
                                     const std::set<std::string>& names) {
        std::set<std::string> ours{kListFileName, kJournalFileName, kLockFileName,
                                   kUsersSidecarsFileName};
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
                if (::stat(folder_.File(name).c_str(), &status) == 0 &&
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
            if (test::ReadFile(folder_.File(name)) != bytes)
                return Break("no file of the user's changes: " + name);
        }
    }

    // Mode 0: only what the feeds' last answers hold; mode 1: also what is
    // younger than the limit.
    void CheckInStepWithTheFeeds(const LocalFileMap& listed) {
        // By address without the signature: a feed that fails keeps the files
        // of its last answer, whatever signature they carried then.
        std::set<std::string> delivered;
        for (const auto& answer : service_.LastAnswers())
            for (const std::string& url : answer)
                delivered.insert(platform::AddressWithoutQuery(url));
        const int64_t limitSeconds = (kOlderHours + 1) * 3600 + 120;
        for (const auto& [url, record] : listed) {
            if (delivered.count(platform::AddressWithoutQuery(url)) != 0) continue;
            struct stat status {};
            // A time more than an hour ahead of the clock is no age.
            const int64_t age = ::stat(folder_.File(record.LocalName).c_str(), &status) == 0
                                    ? clock_.WallSeconds() - static_cast<int64_t>(status.st_mtime)
                                    : INT64_MAX;
            const bool young = settings_.FeedsSynch != 0 && age >= -3600 && age < limitSeconds;
            if (!young)
                return Break("the folder holds what the feeds delivered: " + record.LocalName +
                             " left them");
        }
    }

    // Once the service answers and the line and disk are fine, a new item is
    // in the folder within a refresh interval (and a pass or two).
    void CheckNewItemsArrived(const LocalFileMap& listed) {
        const uint64_t now = clock_.NowMs();
        // A flaky line cuts every answer, but parts go on with Range: the items still come.
        if (AnyFaultButAFlakyLine() || now < calmSinceMs_ + 4 * kMsPerMinute) return;
        const auto items = service_.Items();
        for (int feed = 0; feed < SimService::kFeeds; ++feed) {
            if (feed == 2 && service_.TagRefused()) continue;
            for (uint64_t id : items[feed]) {
                if (now < addedAtMs_[id] + 4 * kMsPerMinute) continue;
                if (id == tricklingId_ && (trickle_.on || now < excusedUntilMs_[id])) continue;
                // The second host may be held for hours; its items wait for it.
                if (id % SimService::kOtherHostEvery == 0 && otherHostHeld_.on) continue;
                if (userNames_.count(SimService::NameOf(id)) != 0) continue;  // the user's name
                if (listed.count(service_.UrlOf(id)) == 0)
                    return Break("a new item reaches the folder: " + SimService::NameOf(id) +
                                 " has not");
            }
        }
    }

    // A file stays the same file while its item stays in the feeds, under
    // whatever signature its address carries.
    void CheckNothingFetchedTwice(const LocalFileMap& listed) {
        std::map<std::string, ino_t> now;
        for (const auto& [url, record] : listed) {
            struct stat status {};
            if (::stat(folder_.File(record.LocalName).c_str(), &status) != 0) continue;
            now[record.LocalName] = status.st_ino;
            const auto before = inodes_.find(record.LocalName);
            if (before != inodes_.end() && before->second != status.st_ino)
                return Break("nothing is downloaded twice: " + record.LocalName);
        }
        inodes_ = std::move(now);
    }

    void CountChanges(const LocalFileMap& listed) {
        std::set<std::string> names;
        for (const auto& [url, record] : listed) names.insert(record.LocalName);
        for (const std::string& name : names) report_.stored += lastListed_.count(name) == 0;
        for (const std::string& name : lastListed_) report_.pruned += names.count(name) == 0;
        lastListed_ = std::move(names);
    }

    void MeasureResourcesDaily() {
        const uint64_t day = clock_.NowMs() / kMsPerDay;
        if (day == measuredDay_ || day == 0) return;
        measuredDay_ = day;
        const size_t descriptors = CountEntries("/proc/self/fd");
        const long threads = StatusField("Threads");
        const long residentKiB = StatusField("VmRSS");
        if (day == 1) {
            baseDescriptors_ = descriptors;
            baseThreads_ = threads;
            baseResidentKiB_ = residentKiB;
            return;
        }
        // Each of the two media hosts may hold its pool of connections, both ends in this process.
        const size_t pools = 2 * 2 * platform::HttpSession::kMaxConnectionsPerHost;
        if (descriptors > baseDescriptors_ + pools + 2) Break("descriptors stay bounded");
        if (threads > baseThreads_ + 2) Break("threads stay bounded");
        // AddressSanitizer keeps freed memory in quarantine: its resident size says nothing.
        if (!kSanitizedMemory && residentKiB > baseResidentKiB_ + 64 * 1024)
            Break("memory stays bounded");
    }

    [[nodiscard]] LocalFileMap ReadListed() {
        LocalFileMap listed;
        (void)ReadListFile(platform::RealFileSystem(), folder_.File(kListFileName), listed);
        (void)MergeJournal(platform::RealFileSystem(), folder_.File(kJournalFileName),
                           folder_.Path(), listed);
        return listed;
    }

    bool Chance(double p) { return std::uniform_real_distribution<double>(0, 1)(random_) < p; }

    void Break(const std::string& promise) {
        if (!report_.broken.empty()) return;
        const uint64_t now = clock_.NowMs();
        char when[64];
        std::snprintf(when, sizeof when, "day %llu %02llu:%02llu",
                      static_cast<unsigned long long>(now / kMsPerDay),
                      static_cast<unsigned long long>(now % kMsPerDay / kMsPerHour),
                      static_cast<unsigned long long>(now % kMsPerHour / kMsPerMinute));
        report_.broken = promise + " (batch " + std::to_string(report_.batches) + ", " + when +
                         ", seed " + std::to_string(options_.seed) + ")\n  last log lines:\n" +
                         LogTail::Text();
    }

    const LifeOptions options_;
    std::mt19937_64 random_;
    test::ScratchFolder folder_;
    SimClock clock_;
    SimFileSystem files_;
    SimMediaServer media_;
    SimMediaServer otherMedia_;
    SimService service_;
    test::ScratchFolder stateFolder_;
    PluginSettings settings_;
    CFeedEngine engine_;
    std::atomic<int32_t> stop_{0};
    platform::AutoResetEvent idle_;
    LifeReport report_;

    uint64_t nextMinuteMs_ = 0;
    uint64_t nextId_ = 1;
    std::map<uint64_t, uint64_t> addedAtMs_;
    std::string token_ = "tok-0";
    uint64_t tokens_ = 0;
    uint64_t tagRefusalMs_ = UINT64_MAX;
    FaultWindow outage_, tooMany_, tokenRefused_, flakyLine_, mediaBusy_, diskFull_, unwritable_,
        quiet_, otherHostHeld_, trickle_, clockJumped_;
    int64_t clockJumpSeconds_ = 0;
    uint64_t faultBeganMs_ = 0;
    uint64_t settledSinceMs_ = 0;  // when the health's faults last began or ended
    int quietFromHour_ = 0;
    uint64_t quietBeganMs_ = 0;
    uint64_t tricklingId_ = 0;
    std::map<uint64_t, uint64_t> excusedUntilMs_;
    std::vector<std::pair<uint64_t, uint64_t>> unwritableWindows_;
    uint64_t journalSinceMs_ = 0;
    uint64_t stopsDuringTransfers_ = 0;
    int quietEndHour_ = 0;
    uint64_t requestsBeforeQuiet_ = 0;
    uint64_t calmSinceMs_ = 0;
    uint64_t userFilesDropped_ = 0;
    std::map<std::string, std::string> userFiles_;  // name -> bytes
    std::set<std::string> userNames_;               // the user's files under an item's name
    std::map<std::string, ino_t> inodes_;           // name -> inode at the last batch
    std::set<std::string> lastListed_;
    std::set<std::string> deletedSinceCheck_;
    std::set<std::string> deletedInBatch_;
    uint64_t measuredDay_ = 0;
    size_t baseDescriptors_ = 0;
    long baseThreads_ = 0;
    long baseResidentKiB_ = 0;
};

}  // namespace

LifeReport LiveALife(const LifeOptions& options) {
    return Life(options).Run();
}

}  // namespace pixolune::life
