#pragma once

#include <functional>
#include <string>
#include <vector>

#include "model/feed.h"
#include "service/feed_reply.h"
#include "service/http_retrieval.h"

namespace pixolune {

// What QueryFeed and QueryUser answer; as an integer 1 for success, 0 for failure.
enum class QueryResult : int { Failed = 0, Ok = 1 };

struct FeedPaging;

// The service client for one piece of work: the worker builds one per refresh
// cycle, the main dialog one per account check. It is used by one thread only
// and blocks while a request runs.
//
//   CPixoluneClient client(token, MediaKinds::FromSettings(s.DwlPhoto, s.DwlVideo));
//   if (client.QueryFeed(feed) == QueryResult::Ok) { /* feed.Items holds the items */ }
//   std::string fullName, userName;
//   if (client.QueryUser(fullName, userName) != QueryResult::Ok) ShowMessage(client.LastError);
//
// The API base is read once, when the client is built (ApiBaseUrl(): the
// service, or PIXOLUNE_API_BASE). `kinds` says which media QueryFeed keeps;
// `retrieval` sets the time limits, the reply-size limit and an abort hook
// (the worker passes its stop request, so that a stop never waits for a
// silent server).
//
// Log lines (through Log; a token never appears in one):
//   every request failure: the lines of InternetReadWholeFile (http_retrieval.h);
//   QueryFeed: "QueryFeed: %s" (each URL requested, its access_token masked),
//     "QueryFeed: data.size()=%d, Page=%d, Media=%d (%d), tot=%d" after each page,
//     "QueryFeed(), wrong type =%d", "QueryFeed(), tags list empty",
//     "QueryFeed: meta is missing", "QueryFeed: error returned by server: %d, %s",
//     "QueryFeed: data is missing", "QueryFeed: wrong JSON type of %s" (the member),
//     "QueryFeed: next_url repeats, paging stopped",
//     "QueryFeed: no new item in the reply, paging stopped" (popular list),
//     "QueryFeed: MaxP=%d is above the limit of %d items a list; the limit is used",
//     "QueryFeed: %d pages without an item to take, paging stopped";
//   QueryServer: "QueryServer(), no complete reply within %ld s, url=%s" when
//     the overall deadline ended a request (access_token masked);
//   QueryUser writes none of its own.
class CPixoluneClient {
  public:
    explicit CPixoluneClient(std::string token, MediaKinds kinds = MediaKinds{},
                             RetrievalOptions retrieval = RetrievalOptions{});

    std::string Token;      // inserted into every API URL
    std::string LastError;  // text of the last failure; emptied by every successful retrieval
    // The wait in seconds that the server's last failed answer asked for with
    // Retry-After (0 when it asked for none); emptied by every successful retrieval.
    unsigned RetryAfterSeconds = 0;
    // The result of the last retrieval: Ok, or the failure of ReadWholeUrl
    // (an HTTP status such as 400 when the server answered with it).
    RetrievalResult LastResult = RetrievalResult::Ok;
    // The transfer's own code of the last failure (0: none), which tells why
    // no connection was made.
    int LastTransferCode = 0;
    // Called by QueryFeed after each usable page with the items taken so far
    // (none: no call), so that a caller can start on them before the last page.
    std::function<void(const std::vector<CPixoluneItem>& itemsSoFar)> PageTaken;

    // Fetches `url` into `reply` (the body up to its first NUL byte). Returns Ok,
    // or the failure of ReadWholeUrl; then LastError reads
    // "Connection to Pixolune server failed with error %d" and `reply` is unchanged.
    [[nodiscard]] RetrievalResult QueryServer(const std::string& url, std::string& reply);

    // Refills feed.Items from the feed's type (1 to 5), its tags (type 5:
    // comma-separated, each queried in turn, up to MaxP items each) and MaxP
    // (the item limit, at most kMaxItemsPerList), page by page. Returns Ok when the feed was read
    // to its end or limit (and stores the item count in *total if given), Failed on any failure:
    // then Items may hold the items taken before it and must not be used. LastError is set for a
    // bad type ("Wrong parameter in function: QueryFeed()-Type") and otherwise only by the
    // requests.
    [[nodiscard]] QueryResult QueryFeed(CPixoluneFeed& feed, int* total = nullptr);

    // Asks whose token this is. Returns Ok and both names (UTF-8, possibly
    // empty), or Failed and leaves them unchanged; LastError is then the request's
    // failure text, or empty when the reply itself was unusable.
    [[nodiscard]] QueryResult QueryUser(std::string& fullName, std::string& userName);

    // A feed or tag is not paged further once this many of its pages brought
    // nothing to take; pages that bring items end at the item limit.
    static constexpr int kMaxEmptyPagesPerList = 1000;

  private:
    [[nodiscard]] std::string ApiUrl(const std::string& path) const;
    // The steps of QueryFeed, in the order it takes them.
    [[nodiscard]] bool StartPaging(const CPixoluneFeed& feed, FeedPaging& paging);
    [[nodiscard]] bool FetchPage(const std::string& url, std::string& reply);
    void TakeItems(FeedPage& page, CPixoluneFeed& feed, FeedPaging& paging) const;
    void AdvancePaging(const CPixoluneFeed& feed, const FeedPage& page, FeedPaging& paging) const;

    MediaKinds kinds_;
    RetrievalOptions retrieval_;
    std::string apiBase_;
};

}  // namespace pixolune
