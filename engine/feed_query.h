#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "model/feed.h"
#include "model/plugin_settings.h"
#include "platform/http_client.h"
#include "service/http_retrieval.h"
#include "service/pixolune_client.h"

namespace pixolune {

// What one feed query brought back.
struct FeedQueryOutcome {
    QueryResult result = QueryResult::Failed;  // Ok: the feed's Items were refilled
    uint32_t retryAfterSeconds = 0;            // the service asked us to wait this long (429)
    // The failed request's result (an HTTP status when the server answered); Ok otherwise.
    RetrievalResult failure = RetrievalResult::Ok;
};

// How the service answers a token it no longer accepts: HTTP status 400.
inline constexpr RetrievalResult kTokenRefused = ServerAnswered(400);
// How the transfer library says the server's certificate was refused.
inline constexpr RetrievalResult kCertificateRefused = TransferFailed(60);

// The service seen from the worker: one object per refresh pass, built for
// the token of that pass. The real one wraps CPixoluneClient; tests use fakes.
class FeedQuery {
  public:
    virtual ~FeedQuery() = default;
    // Refills feed.Items; `feed` is the worker's own copy, never the shared entry.
    [[nodiscard]] virtual FeedQueryOutcome Query(CPixoluneFeed& feed) = 0;
    // Asks the account query whether the service refuses the token of this
    // pass (it answers kTokenRefused there too); false when the token
    // is accepted or the answer says nothing about it.
    [[nodiscard]] virtual bool TokenRefused() { return false; }

    // Called after each page a query read, with the feed's items so far, so
    // that their downloads start while later pages come in; a query that
    // fails later has still handed these on.
    using PageRead = std::function<void(const std::vector<CPixoluneItem>& itemsSoFar)>;
    void OnPageRead(PageRead onPageRead) { onPageRead_ = std::move(onPageRead); }

  protected:
    [[nodiscard]] const PageRead& PageReadHook() const { return onPageRead_; }

  private:
    PageRead onPageRead_;
};

// Builds the query of one pass. `stop` is the worker's stop request; a query
// should end early when it turns non-zero.
using FeedQueryFactory = std::function<std::unique_ptr<FeedQuery>(
    const std::string& token, const PluginSettings& settings, const std::atomic<int32_t>* stop)>;

// The factory for the real service client. Its requests go through
// `transfers` (the worker's, so API pages reuse the media downloads'
// connections) when given; it must outlive every query the factory builds.
[[nodiscard]] FeedQueryFactory ServiceFeedQueryFactory(platform::HttpSession* transfers = nullptr);

}  // namespace pixolune
