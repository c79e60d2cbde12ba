#pragma once

// The world a simulated life runs in: a clock that jumps ahead, a file system
// whose disk can fill and whose folder can turn unwritable, a service whose
// feeds change and fail, and a media server whose line can drop.

#include <httplib.h>

#include <atomic>
#include <cstdint>
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
    int64_t WallSeconds() override { return wallStartSeconds_ + nowMs_.load() / 1000; }
    platform::AutoResetEvent::WaitResult WaitFor(platform::AutoResetEvent& event,
                                                 std::chrono::milliseconds timeout) override;

    void Advance(uint64_t ms) { nowMs_ += ms; }
    [[nodiscard]] uint64_t NowMs() const { return nowMs_.load(); }
    void SetThreaded(bool threaded) { threaded_ = threaded; }
    [[nodiscard]] uint64_t Waits() const { return waits_.load(); }

  private:
    static constexpr uint32_t kStartTick = 0xFFFFFFFFu - 2u * 3600u * 1000u;
    std::atomic<uint64_t> nowMs_{0};
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
};

// The feeds as the service has them, and how it answers.
class SimService {
  public:
    static constexpr int kFeeds = 3;
    static constexpr int32_t kFeedTypes[kFeeds] = {1, 3, 5};

    explicit SimService(std::string mediaBase) : mediaBase_(std::move(mediaBase)) {}

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
// while it is flaky: a file comes whole only to a client that resumes.
class SimMediaServer {
  public:
    SimMediaServer();
    ~SimMediaServer();
    [[nodiscard]] std::string Base() const { return "http://127.0.0.1:" + std::to_string(port_); }
    void SetFlaky(bool flaky) { flaky_ = flaky; }
    // A busy host answers 503 and asks for a minute's pause.
    void SetBusy(bool busy) { busy_ = busy; }
    [[nodiscard]] static std::string BodyOf(const std::string& name);
    [[nodiscard]] uint64_t Requests() const { return requests_.load(); }
    static constexpr size_t kFlakyBytes = 1000;

  private:
    void Serve(const httplib::Request& request, httplib::Response& response);

    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
    std::atomic<bool> flaky_{false};
    std::atomic<bool> busy_{false};
    std::atomic<uint64_t> requests_{0};
};

}  // namespace pixolune::life
