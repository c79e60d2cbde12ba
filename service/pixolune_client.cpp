#include "service/pixolune_client.h"

#include <deque>
#include <set>
#include <utility>

#include "plugin/model/host_link.h"
#include "service/service_addresses.h"
#include "service/url_text.h"
#include "service/user_reply.h"

namespace pixolune {
namespace {

const char* FeedPath(int type) {
    switch (type) {
        case kFeedMine:
            return "/users/self/feed";
        case kFeedMyMedia:
            return "/users/self/media/recent";
        case kFeedPopular:
            return "/media/popular";
        case kFeedLiked:
            return "/users/self/media/liked";
        case kFeedTagged:
            return "/tags/%s/media/recent";
        default:
            return nullptr;
    }
}

std::string TagPath(const std::string& tag) {
    return "/tags/" + PercentEncode(tag) + "/media/recent";
}

// Logs why a page ended the query; false when it did.
bool PageIsUsable(const FeedPage& page, const std::string& token) {
    switch (page.status) {
        case FeedReplyStatus::Ok:
            return true;
        case FeedReplyStatus::NotJson:
            return false;  // the design gives this case no line of its own
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

}  // namespace

CPixoluneClient::CPixoluneClient(std::string token, MediaKinds kinds, RetrievalOptions retrieval)
    : Token(std::move(token)),
      kinds_(kinds),
      retrieval_(std::move(retrieval)),
      apiBase_(ApiBaseUrl()) {}

std::string CPixoluneClient::ApiUrl(const std::string& path) const {
    return apiBase_ + path + "?access_token=" + Token;
}

int CPixoluneClient::QueryServer(const std::string& url, std::string& reply) {
    std::string body;
    RetrievalDetails details;
    const int result = ReadWholeUrl(url, body, retrieval_, &details);
    LastResult = result;
    if (result != 0) {
        LastError = "Connection to Pixolune server failed with error " + std::to_string(result);
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
    return 0;
}

int CPixoluneClient::QueryFeed(CPixoluneFeed& feed, int* total) {
    feed.Items.clear();
    const int type = feed.Type;
    if (!FeedPath(type)) {
        Log("QueryFeed(), wrong type =%d", type);
        LastError = "Wrong parameter in function: QueryFeed()-Type";
        return 0;
    }
    std::deque<std::string> tags;
    std::string url;
    if (type == kFeedTagged) {
        const std::vector<std::string> split = SplitTags(feed.Tags);
        tags.assign(split.begin(), split.end());
        if (tags.empty()) {
            Log("QueryFeed(), tags list empty");
            return 0;
        }
        url = ApiUrl(TagPath(tags.front()));
        tags.pop_front();
    } else {
        url = ApiUrl(FeedPath(type));
    }

    int media = 0;  // items of the current feed or tag, compared with MaxP
    int page = 0;   // replies handled, across tags
    int taken = 0;  // items of the whole call
    int pagesOfList = 0;
    std::set<std::string> requested;  // URLs of the current feed or tag
    std::string reply;
    while (!url.empty() && media < feed.MaxP) {
        Log("QueryFeed: %s", MaskAccessToken(url, Token).c_str());
        if (QueryServer(url, reply) != 0) return 0;
        requested.insert(url);
        ++pagesOfList;
        FeedPage result = ParseFeedReply(reply, type, kinds_, feed.MaxP - media);
        if (!PageIsUsable(result, Token)) return 0;
        const int added = static_cast<int>(result.items.size());
        for (CPixoluneItem& item : result.items) feed.Items.push_back(std::move(item));
        media += added;
        taken += added;
        Log("QueryFeed: data.size()=%d, Page=%d, Media=%d (%d), tot=%d", result.dataSize, page,
            media, feed.MaxP, taken);

        // The popular list is asked again at the same URL; it ends once a
        // reply brings nothing new to take.
        std::string next;
        if (type == kFeedPopular) {
            if (added > 0)
                next = url;
            else
                Log("QueryFeed: no new item in the reply, paging stopped");
        } else if (media < feed.MaxP) {
            next = result.nextUrl;
            if (!next.empty() && requested.count(next) > 0) {
                Log("QueryFeed: next_url repeats, paging stopped");
                next.clear();
            }
        }
        if (!next.empty() && pagesOfList >= kMaxPagesPerList) {
            Log("QueryFeed: more than %d pages, paging stopped", kMaxPagesPerList);
            next.clear();
        }
        if (next.empty() && !tags.empty()) {
            media = 0;
            pagesOfList = 0;
            requested.clear();
            next = ApiUrl(TagPath(tags.front()));
            tags.pop_front();
        }
        url = std::move(next);
        ++page;
    }
    if (total) *total = taken;
    return 1;
}

int CPixoluneClient::QueryUser(std::string& fullName, std::string& userName) {
    std::string reply;
    if (QueryServer(apiBase_ + "/users/self/?access_token=" + Token, reply) != 0) return 0;
    UserReply user = ParseUserReply(reply);
    if (!user.ok) return 0;
    userName = std::move(user.userName);
    fullName = std::move(user.fullName);
    return 1;
}

}  // namespace pixolune
