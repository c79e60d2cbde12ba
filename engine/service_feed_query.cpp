#include <memory>
#include <string>
#include <utility>

#include "engine/feed_query.h"
#include "service/pixolune_client.h"

namespace pixolune {
namespace {

// One service client per refresh pass, as the worker's schedule expects.
class ServiceFeedQuery : public FeedQuery {
  public:
    ServiceFeedQuery(const std::string& token, MediaKinds kinds, RetrievalOptions retrieval)
        : client_(token, kinds, std::move(retrieval)) {}

    FeedQueryOutcome Query(CPixoluneFeed& feed) override {
        FeedQueryOutcome outcome;
        client_.PageTaken = PageReadHook();
        outcome.result = client_.QueryFeed(feed, nullptr);
        if (outcome.result != QueryResult::Ok) {
            outcome.retryAfterSeconds = client_.RetryAfterSeconds;
            outcome.failure = client_.LastResult;
        }
        return outcome;
    }

    bool TokenRefused() override {
        std::string fullName, userName;
        if (client_.QueryUser(fullName, userName) == QueryResult::Ok) return false;
        return client_.LastResult == kTokenRefused;
    }

  private:
    CPixoluneClient client_;
};

}  // namespace

FeedQueryFactory ServiceFeedQueryFactory(platform::HttpSession* transfers) {
    return [transfers](const std::string& token, const PluginSettings& settings,
                       const std::atomic<int32_t>* stop) -> std::unique_ptr<FeedQuery> {
        RetrievalOptions retrieval;
        // A stop request must not wait for a silent server.
        if (stop) retrieval.shouldAbort = [stop] { return stop->load() != 0; };
        retrieval.transfers = transfers;
        return std::make_unique<ServiceFeedQuery>(
            token, MediaKinds::FromSettings(settings.DwlPhoto, settings.DwlVideo),
            std::move(retrieval));
    };
}

}  // namespace pixolune
