#pragma once

// The service of a simulated life: feeds that change and fail. Its pages
// come to the engine through the query seam, its media over SimNetwork.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/feed_query.h"

namespace pixolune::life {

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
    // Takes one item out of `feed`; the item, when it has left every feed.
    std::optional<uint64_t> RemoveOne(int feed, uint64_t pick);
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

}  // namespace pixolune::life
