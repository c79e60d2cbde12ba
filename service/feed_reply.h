#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "model/feed.h"

namespace pixolune {

// Which kinds of media a feed query keeps: the DwlPhoto and DwlVideo
// settings, passed in so that the service never reads the application's
// settings itself. With both false a query takes no item at all.
struct MediaKinds {
    bool photos = true;
    bool videos = true;

    static MediaKinds FromSettings(int dwlPhoto, int dwlVideo) {
        return MediaKinds{dwlPhoto != 0, dwlVideo != 0};
    }
};

enum class FeedReplyStatus {
    Ok,
    NotJson,      // not one well-formed JSON text
    WrongType,    // a member read has another JSON type than the service sends
    MetaMissing,  // no "meta"
    ServerError,  // "meta" / "code" is not 200
    DataMissing,  // no "data"
};

// One page of a feed, as far as QueryFeed uses it.
struct FeedPage {
    FeedReplyStatus status = FeedReplyStatus::NotJson;
    int code = 0;                      // "meta" / "code"
    std::string errorMessage;          // "meta" / "error_message"
    std::string wrongMember;           // the member that had the wrong type, e.g. "data[3].caption"
    int dataSize = 0;                  // elements in "data"
    std::vector<CPixoluneItem> items;  // usable items in reply order, at most `wanted`
    std::string nextUrl;               // "pagination" / "next_url", read only while more are wanted
};

// Reads one feed reply: the fields of each item depend on the feed type; at
// most `wanted` items are taken, and "next_url" is read only when fewer than
// `wanted` were found and the type pages by it (not the popular list).
// Never throws, whatever the reply holds.
[[nodiscard]] FeedPage ParseFeedReply(std::string_view reply, int feedType, MediaKinds kinds,
                                      int wanted);

}  // namespace pixolune
