#pragma once

// The world a simulated life runs in: a clock that jumps ahead, a file system
// whose disk can fill and whose folder can turn unwritable, a service whose
// feeds change and fail, and a media server whose line can drop.

#include <httplib.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/feed_query.h"
#include "platform/clock.h"
#include "platform/file_system.h"

namespace pixolune::life {

inline constexpr uint64_t kMsPerMinute = 60'000;
inline constexpr uint64_t kMsPerHour = 60 * kMsPerMinute;
inline constexpr uint64_t kMsPerDay = 24 * kMsPerHour;

// Time that passes only when the driver lets it. Its tick count starts two
// hours before the 32-bit wrap, so every life crosses it. While a real worker
// thread runs (a host's stop and start), waits are real and short instead.
class SimClock final : public platform::Clock {
  public:
    uint32_t TickCount() override { return kStartTick + static_cast<uint32_t>(nowMs_.load()); }
    int64_t WallSeconds() override {
        return wallStartSeconds_ + wallJumps_.load() + static_cast<int64_t>(nowMs_.load() / 1000);
    }
    platform::AutoResetEvent::WaitResult WaitFor(platform::AutoResetEvent& event,
                                                 std::chrono::milliseconds timeout) override;

    void Advance(uint64_t ms) { nowMs_ += ms; }
    // The date is set: the wall clock jumps, the tick count runs on.
    void JumpWall(int64_t seconds) { wallJumps_ += seconds; }
    [[nodiscard]] uint64_t NowMs() const { return nowMs_.load(); }
    void SetThreaded(bool threaded) { threaded_ = threaded; }
    [[nodiscard]] uint64_t Waits() const { return waits_.load(); }

  private:
    static constexpr uint32_t kStartTick = 0xFFFFFFFFu - 2u * 3600u * 1000u;
    std::atomic<uint64_t> nowMs_{0};
    std::atomic<int64_t> wallJumps_{0};
    const int64_t wallStartSeconds_ = 1'800'000'000;  // a fixed day, so lives replay exactly
    std::atomic<bool> threaded_{false};
    std::atomic<uint64_t> waits_{0};
};

// The real file system of a scratch folder, with the faults of a life: a disk
// at its reserve, a folder that refuses writes (also to root), and files that
// take the simulated time as their modification time.
class SimFileSystem final : public platform::FileSystemWrapper {
  public:
    SimFileSystem(std::string folder, SimClock& clock)
        : FileSystemWrapper(platform::RealFileSystem()),
          folder_(std::move(folder)),
          clock_(clock) {}

    void SetDiskFull(bool full) { diskFull_ = full; }
    void SetUnwritable(bool unwritable) { unwritable_ = unwritable; }
    // The bytes written into the parts of each media name: what came down the
    // line and was taken, and the simulated times of the first and last write.
    struct Fetched {
        uint64_t bytes = 0;
        uint64_t firstMs = 0;
        uint64_t lastMs = 0;
    };
    [[nodiscard]] Fetched FetchedOf(const std::string& name) const;
    // The file is fetched anew for a reason of the script's (the user deleted it).
    void ForgetFetched(const std::string& name);
    int Close(int fd) override;

    int MakeTemporary(char* pathTemplate) override;
    int Open(const char* path, int flags, mode_t mode) override;
    // Each write stamps the file with the simulated time: parts are judged by their age.
    ssize_t Write(int fd, const void* data, size_t size) override;
    int Access(const char* path, int mode) override;
    int Unlink(const char* path) override;
    int Rename(const char* from, const char* to) override;
    int RenameNoReplace(const char* from, const char* to) override;
    int StatVfs(const char* path, struct statvfs* out) override;
    // A life is not a crash test: its syncs would cost real minutes.
    int Fsync(int) override { return 0; }
    int SyncFileSystem(int) override { return 0; }

  private:
    [[nodiscard]] bool Refuses(const char* path) const;
    void StampWithSimulatedTime(const char* path);
    void StampWithSimulatedTime(int fd);

    const std::string folder_;
    SimClock& clock_;
    std::atomic<bool> diskFull_{false};
    std::atomic<bool> unwritable_{false};
    mutable std::mutex mutex_;  // guards the two below (a real worker runs now and then)
    std::map<int, std::string> partNames_;  // open parts: descriptor -> media name
    std::map<std::string, Fetched> fetched_;
};

// The feeds as the service has them, and how it answers.
class SimService {
  public:
    static constexpr int kFeeds = 3;
    static constexpr int32_t kFeedTypes[kFeeds] = {1, 3, 5};

    // Every `kOtherHostEvery`th item lives on the second media host.
    static constexpr uint64_t kOtherHostEvery = 5;
    SimService(std::string mediaBase, std::string otherMediaBase)
        : mediaBase_(std::move(mediaBase)), otherMediaBase_(std::move(otherMediaBase)) {}

    [[nodiscard]] FeedQueryFactory Factory();
    [[nodiscard]] std::string UrlOf(uint64_t id) const;
    [[nodiscard]] static std::string NameOf(uint64_t id) {
        return "i" + std::to_string(id) + ".jpg";
    }

    // The script's changes; each takes the lock, as queries run on the worker too.
    void Add(int feed, uint64_t id);
    void RemoveOne(int feed, uint64_t pick);
    void SetOutage(bool down);
    void SetRetryAfter(uint32_t seconds);  // 0: none
    void SetAcceptedToken(std::string token);
    void RefuseTagForGood();
    // Signs every media address anew, as services that sign their URLs do.
    void SignAnew();

    // What the checker reads: each feed's items now and its last answer.
    [[nodiscard]] std::vector<std::set<uint64_t>> Items() const;
    // The addresses of each feed's last answer, as the engine got them.
    [[nodiscard]] std::vector<std::set<std::string>> LastAnswers() const;
    [[nodiscard]] bool TagRefused() const;
    [[nodiscard]] bool RefusesToken(const std::string& token) const;

    FeedQueryOutcome Answer(const std::string& token, CPixoluneFeed& feed);
    [[nodiscard]] uint64_t Queries() const { return queries_.load(); }

  private:
    [[nodiscard]] std::string SignedUrl(uint64_t id) const;  // with the lock held

    const std::string mediaBase_;
    const std::string otherMediaBase_;
    std::atomic<uint64_t> queries_{0};
    mutable std::mutex mutex_;  // guards every member below
    std::vector<std::set<uint64_t>> items_ = std::vector<std::set<uint64_t>>(kFeeds);
    std::vector<std::set<std::string>> lastAnswers_ = std::vector<std::set<std::string>>(kFeeds);
    uint64_t signature_ = 1;  // the media addresses' signature, which the service renews
    bool down_ = false;
    uint32_t retryAfterSeconds_ = 0;
    std::string acceptedToken_;
    bool tagRefused_ = false;
};

// Media files on loopback: "/m/i<id>.jpg" with bytes of its own and an ETag,
// served in ranges too, and a line that drops each answer after kFlakyBytes
// while it is flaky: a file comes whole only to a client that resumes. It
// counts the body bytes it sends of each file, and notes a request that came
// while the pause it asked for (Retry-After, on the simulated clock) lasted.
class SimMediaServer {
  public:
    explicit SimMediaServer(SimClock& clock);
    ~SimMediaServer();
    [[nodiscard]] std::string Base() const { return "http://127.0.0.1:" + std::to_string(port_); }
    void SetFlaky(bool flaky) { flaky_ = flaky; }
    // A busy host answers 503 and asks for a pause of `retryAfterSeconds`.
    void SetBusy(bool busy, uint32_t retryAfterSeconds = 60) {
        retryAfterSeconds_ = retryAfterSeconds;
        busy_ = busy;
    }
    // The next answer with a body breaks off after kFlakyBytes and calls
    // `midway` (the host stops the plug-in), keeping the line open until the
    // client leaves.
    void ArmStop(std::function<void()> midway);
    // Answers for `name` send one byte and then nothing (empty: none).
    void SetTrickling(const std::string& name);
    [[nodiscard]] static std::string BodyOf(const std::string& name);
    [[nodiscard]] uint64_t Requests() const { return requests_.load(); }
    // The first request that came within a pause this host asked for; empty when none.
    [[nodiscard]] std::string PauseBroken() const;
    static constexpr size_t kFlakyBytes = 1000;

  private:
    void Serve(const httplib::Request& request, httplib::Response& response);
    [[nodiscard]] bool NotePause(const std::string& name);  // false: busy, 503 sent

    SimClock& clock_;
    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
    std::atomic<bool> flaky_{false};
    std::atomic<bool> busy_{false};
    std::atomic<uint32_t> retryAfterSeconds_{60};
    std::atomic<uint64_t> requests_{0};
    mutable std::mutex mutex_;  // guards every member below
    std::function<void()> stopMidway_;
    std::string trickling_;
    uint64_t pauseFromMs_ = 0;
    uint64_t pauseUntilMs_ = 0;
    std::string pauseBroken_;
};

}  // namespace pixolune::life
