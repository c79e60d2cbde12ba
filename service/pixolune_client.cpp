#include "service/pixolune_client.h"

#include <deque>
#include <set>
#include <utility>

#include "model/feed_kinds.h"
#include "model/host_link.h"
#include "service/service_addresses.h"
#include "service/url_text.h"
#include "service/user_reply.h"

namespace pixolune {

// Where one QueryFeed call stands.
struct FeedPaging {
    std::deque<std::string> tags;     // tags not yet queried (type 5)
    std::string url;                  // the next request; empty: the feed is read
    int limit = 0;                    // MaxP, at most kMaxItemsPerList
    int media = 0;                    // items of the current feed or tag, compared with limit
    int page = 0;                     // replies handled, across tags
    int taken = 0;                    // items of the whole call
    int emptyPagesOfList = 0;         // replies of the current feed or tag that added nothing
    int lastAdded = 0;                // items the last reply added
    std::set<std::string> requested;  // URLs of the current feed or tag

    [[nodiscard]] bool WantsPage() const { return !url.empty() && media < limit; }
};

namespace {

// A tag feed's address: the kind's path with the tag in place of its "%s".
std::string TagPath(const FeedKind& kind, const std::string& tag) {
    const std::string pattern = kind.apiPath;
    const size_t slot = pattern.find("%s");
    return pattern.substr(0, slot) + PercentEncode(tag) + pattern.substr(slot + 2);
}

// Logs why a page ended the query; false when it did.
bool PageIsUsable(const FeedPage& page, const std::string& token) {
    switch (page.status) {
        case FeedReplyStatus::Ok:
            return true;
        case FeedReplyStatus::NotJson:
            return false;  // no line of its own: a reply that is not JSON has always been silent
        case FeedReplyStatus::WrongType:
            Log("QueryFeed: wrong JSON type of %s", page.wrongMember.c_str());
            return false;
        case FeedReplyStatus::MetaMissing:
            Log("QueryFeed: meta is missing");
            return false;
        case FeedReplyStatus::ServerError:
            Log("QueryFeed: error returned by server: %d, %s", page.code,
                MaskAccessToken(page.errorMessage, token).c_str());
            return false;
        case FeedReplyStatus::DataMissing:
            Log("QueryFeed: data is missing");
            return false;
    }
    return false;
}

// MaxP, bounded by the one limit of items a list.
int ItemLimit(const CPixoluneFeed& feed) {
    if (feed.MaxP <= kMaxItemsPerList) return feed.MaxP;
    Log("QueryFeed: MaxP=%d is above the limit of %d items a list; the limit is used", feed.MaxP,
        kMaxItemsPerList);
    return kMaxItemsPerList;
}

// The next page of the current feed or tag, or "" when it is read. The
// popular list is asked again at the same URL; it ends once a reply brings
// nothing new to take. Other lists follow next_url, but never in a circle
// and never without end: each page brings items towards the limit, or counts
// among the pages that brought none.
std::string NextPageOfList(const CPixoluneFeed& feed, const FeedPage& page,
                           const FeedPaging& paging) {
    std::string next;
    if (!FindFeedKind(feed.Type)->followsNextUrl) {
        if (paging.lastAdded > 0)
            next = paging.url;
        else
            Log("QueryFeed: no new item in the reply, paging stopped");
    } else if (paging.media < paging.limit) {
        next = page.nextUrl;
        if (!next.empty() && paging.requested.count(next) > 0) {
            Log("QueryFeed: next_url repeats, paging stopped");
            next.clear();
        }
    }
    if (!next.empty() && paging.emptyPagesOfList >= CPixoluneClient::kMaxEmptyPagesPerList) {
        Log("QueryFeed: %d pages without an item to take, paging stopped", paging.emptyPagesOfList);
        next.clear();
    }
    return next;
}

}  // namespace

CPixoluneClient::CPixoluneClient(std::string token, MediaKinds kinds, RetrievalOptions retrieval)
    : Token(std::move(token)),
      kinds_(kinds),
      retrieval_(std::move(retrieval)),
      apiBase_(ApiBaseUrl()) {}

std::string CPixoluneClient::ApiUrl(const std::string& path) const {
    return apiBase_ + path + "?access_token=" + Token;
}

RetrievalResult CPixoluneClient::QueryServer(const std::string& url, std::string& reply) {
    std::string body;
    RetrievalDetails details;
    const RetrievalResult result = ReadWholeUrl(url, body, retrieval_, &details);
    LastResult = result;
    LastTransferCode = details.transferCode;
    if (result != RetrievalResult::Ok) {
        LastError =
            "Connection to Pixolune server failed with error " + std::to_string(ResultCode(result));
        RetryAfterSeconds = pixolune::RetryAfterSeconds(details.retryAfter);
        // A server that trickles passes the low-speed floor; name the limit that ended it.
        if (details.limitReached == platform::HttpLimitReached::Deadline)
            Log("QueryServer(), no complete reply within %ld s, url=%s",
                retrieval_.limits.totalTimeoutSeconds, MaskAccessToken(url, Token).c_str());
        return result;
    }
    LastError.clear();
    RetryAfterSeconds = 0;
    body.resize(body.find('\0') == std::string::npos ? body.size() : body.find('\0'));
    reply = std::move(body);
    return RetrievalResult::Ok;
}

QueryResult CPixoluneClient::QueryFeed(CPixoluneFeed& feed, int* total) {
    feed.Items.clear();
    FeedPaging paging;
    if (!StartPaging(feed, paging)) return QueryResult::Failed;
    std::string reply;
    while (paging.WantsPage()) {
        if (!FetchPage(paging.url, reply)) return QueryResult::Failed;
        paging.requested.insert(paging.url);
        FeedPage page = ParseFeedReply(reply, feed.Type, kinds_, paging.limit - paging.media);
        if (!PageIsUsable(page, Token)) return QueryResult::Failed;
        TakeItems(page, feed, paging);
        if (PageTaken) PageTaken(feed.Items);
        AdvancePaging(feed, page, paging);
    }
    if (total) *total = paging.taken;
    return QueryResult::Ok;
}

// The first request: the feed type's path, or the first tag's.
bool CPixoluneClient::StartPaging(const CPixoluneFeed& feed, FeedPaging& paging) {
    const FeedKind* kind = FindFeedKind(feed.Type);
    if (!kind) {
        Log("QueryFeed(), wrong type =%d", feed.Type);
        LastError = "Wrong parameter in function: QueryFeed()-Type";
        return false;
    }
    paging.limit = ItemLimit(feed);
    if (!kind->takesTags) {
        paging.url = ApiUrl(kind->apiPath);
        return true;
    }
    const std::vector<std::string> tags = SplitTags(feed.Tags);
    if (tags.empty()) {
        Log("QueryFeed(), tags list empty");
        return false;
    }
    paging.url = ApiUrl(TagPath(*kind, tags.front()));
    paging.tags.assign(tags.begin() + 1, tags.end());
    return true;
}

bool CPixoluneClient::FetchPage(const std::string& url, std::string& reply) {
    Log("QueryFeed: %s", MaskAccessToken(url, Token).c_str());
    return QueryServer(url, reply) == RetrievalResult::Ok;
}

void CPixoluneClient::TakeItems(FeedPage& page, CPixoluneFeed& feed, FeedPaging& paging) const {
    const int added = static_cast<int>(page.items.size());
    for (CPixoluneItem& item : page.items) feed.Items.push_back(std::move(item));
    paging.lastAdded = added;
    if (added == 0) ++paging.emptyPagesOfList;
    paging.media += added;
    paging.taken += added;
    Log("QueryFeed: data.size()=%d, Page=%d, Media=%d (%d), tot=%d", page.dataSize, paging.page,
        paging.media, paging.limit, paging.taken);
}

// The next request: the next page of this feed or tag, else the next tag's
// first page, else none.
void CPixoluneClient::AdvancePaging(const CPixoluneFeed& feed, const FeedPage& page,
                                    FeedPaging& paging) const {
    std::string next = NextPageOfList(feed, page, paging);
    if (next.empty() && !paging.tags.empty()) {
        paging.media = 0;
        paging.emptyPagesOfList = 0;
        paging.requested.clear();
        next = ApiUrl(TagPath(*FindFeedKind(feed.Type), paging.tags.front()));
        paging.tags.pop_front();
    }
    paging.url = std::move(next);
    ++paging.page;
}

QueryResult CPixoluneClient::QueryUser(std::string& fullName, std::string& userName) {
    std::string reply;
    if (QueryServer(apiBase_ + "/users/self/?access_token=" + Token, reply) != RetrievalResult::Ok)
        return QueryResult::Failed;
    UserReply user = ParseUserReply(reply);
    if (!user.ok) return QueryResult::Failed;
    userName = std::move(user.userName);
    fullName = std::move(user.fullName);
    return QueryResult::Ok;
}

}  // namespace pixolune
