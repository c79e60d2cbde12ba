#include "sim_service.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <stdexcept>

#include "engine/local_names.h"
#include "service/http_retrieval.h"

namespace pixolune::life {

namespace {

class SimQuery final : public FeedQuery {
  public:
    SimQuery(SimService& service, std::string token)
        : service_(service), token_(std::move(token)) {}
    FeedQueryOutcome Query(CPixoluneFeed& feed) override {
        const FeedQueryOutcome outcome = service_.Answer(token_, feed);
        // The answer comes in pages, as the service's does: the engine starts
        // downloading each page's items before the next page is read.
        if (outcome.result != QueryResult::Ok || !PageReadHook()) return outcome;
        std::vector<CPixoluneItem> soFar;
        for (const CPixoluneItem& item : feed.Items) {
            soFar.push_back(item);
            if (soFar.size() % kItemsPerPage == 0 || soFar.size() == feed.Items.size())
                PageReadHook()(soFar);
        }
        return outcome;
    }
    // The account query's answer: the token is refused when it is not the one accepted.
    bool TokenRefused() override { return service_.RefusesToken(token_); }

  private:
    static constexpr size_t kItemsPerPage = 5;
    SimService& service_;
    std::string token_;
};

int FeedIndexOf(int32_t type) {
    for (int i = 0; i < SimService::kFeeds; ++i)
        if (SimService::kFeedTypes[i] == type) return i;
    return -1;
}

}  // namespace

FeedQueryFactory SimService::Factory() {
    return [this](const std::string& token, const PluginSettings&, const std::atomic<int32_t>*) {
        return std::make_unique<SimQuery>(*this, token);
    };
}

std::string SimService::UrlOf(uint64_t id) const {
    std::lock_guard<std::mutex> guard(mutex_);
    return SignedUrl(id);
}

std::string SimService::SignedUrl(uint64_t id) const {
    const std::string& base = id % kOtherHostEvery == 0 ? otherMediaBase_ : mediaBase_;
    return base + "/m/" + NameOf(id) + "?sig=" + std::to_string(signature_);
}

FeedQueryOutcome SimService::Answer(const std::string& token, CPixoluneFeed& feed) {
    ++queries_;
    std::lock_guard<std::mutex> guard(mutex_);
    const int index = FeedIndexOf(feed.Type);
    FeedQueryOutcome outcome;
    if (down_ || index < 0) {
        outcome.failure = RetrievalResult::OpenFailed;
        return outcome;
    }
    if (retryAfterSeconds_ > 0) {
        outcome.failure = ServerAnswered(429);
        outcome.retryAfterSeconds = retryAfterSeconds_;
        return outcome;
    }
    if (token != acceptedToken_) {
        outcome.failure = kTokenRefused;
        return outcome;
    }
    if (tagRefused_ && feed.Type == 5) {
        outcome.failure = ServerAnswered(400);
        return outcome;
    }
    feed.Items.clear();
    for (uint64_t id : items_[index]) {
        if (static_cast<int32_t>(feed.Items.size()) >= feed.MaxP) break;
        feed.Items.push_back({"caption " + std::to_string(id), SignedUrl(id), "owner"});
    }
    lastAnswers_[index].clear();
    for (const CPixoluneItem& item : feed.Items) lastAnswers_[index].insert(item.Url);
    outcome.result = QueryResult::Ok;
    return outcome;
}

void SimService::Add(int feed, uint64_t id) {
    std::lock_guard<std::mutex> guard(mutex_);
    items_[feed].insert(id);
}

std::optional<uint64_t> SimService::RemoveOne(int feed, uint64_t pick) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (items_[feed].empty()) return std::nullopt;
    const auto removed = std::next(items_[feed].begin(), pick % items_[feed].size());
    const uint64_t id = *removed;
    items_[feed].erase(removed);
    const bool inAnother = std::any_of(items_.begin(), items_.end(),
                                       [id](const auto& items) { return items.count(id) != 0; });
    return inAnother ? std::nullopt : std::optional<uint64_t>(id);
}

void SimService::SetOutage(bool down) {
    std::lock_guard<std::mutex> guard(mutex_);
    down_ = down;
}

void SimService::SetRetryAfter(uint32_t seconds) {
    std::lock_guard<std::mutex> guard(mutex_);
    retryAfterSeconds_ = seconds;
}

void SimService::SetAcceptedToken(std::string token) {
    std::lock_guard<std::mutex> guard(mutex_);
    acceptedToken_ = std::move(token);
}

void SimService::RefuseTagForGood() {
    std::lock_guard<std::mutex> guard(mutex_);
    tagRefused_ = true;
}

std::vector<std::set<uint64_t>> SimService::Items() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return items_;
}

void SimService::SignAnew() {
    std::lock_guard<std::mutex> guard(mutex_);
    ++signature_;
}

std::vector<std::set<std::string>> SimService::LastAnswers() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return lastAnswers_;
}

bool SimService::RefusesToken(const std::string& token) const {
    std::lock_guard<std::mutex> guard(mutex_);
    return token != acceptedToken_;
}

bool SimService::TagRefused() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return tagRefused_;
}

}  // namespace pixolune::life
