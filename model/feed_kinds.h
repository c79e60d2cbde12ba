#pragma once

#include <cstdint>
#include <iterator>

#include "model/feed.h"
#include "model/translatable.h"

namespace pixolune {

// Whose name a feed's items carry as their owner.
enum class ItemOwner {
    Poster,         // "user"."full_name"
    CaptionAuthor,  // "caption"."from"."full_name"
};

// Everything that tells one kind of feed from another. A new kind is a new
// FeedType, a row of kFeedKinds and its row of the stand-in's kStubFeeds
// (stub/feed_routes.h), which cannot include this one.
struct FeedKind {
    FeedType type;
    // The API address under the base. A kind that takes tags is read tag by
    // tag, each tag (percent-encoded) in place of the "%s".
    const char* apiPath;
    // Reads the feed's Tags; its row of the main dialog owns the tags edit.
    bool takesTags;
    const char* label;  // its row of the main dialog, translated there (the only copy)
    bool captioned;     // its items carry "caption"."text"
    ItemOwner owner;
    // Pages follow "pagination"."next_url"; otherwise the same address is
    // asked again until a reply brings nothing new.
    bool followsNextUrl;
};

// In FeedType order, without gaps: the main dialog shows one row per kind,
// top to bottom, and saves a row as the type of its kind.
inline constexpr FeedKind kFeedKinds[] = {
    {kFeedMine, "/users/self/feed", false, QT_TRANSLATE_NOOP("pixolune::ui", "My Feed"), false,
     ItemOwner::Poster, true},
    {kFeedMyMedia, "/users/self/media/recent", false,
     QT_TRANSLATE_NOOP("pixolune::ui", "My Photos/Videos"), true, ItemOwner::CaptionAuthor, true},
    {kFeedPopular, "/media/popular", false, QT_TRANSLATE_NOOP("pixolune::ui", "Popular"), true,
     ItemOwner::CaptionAuthor, false},
    {kFeedLiked, "/users/self/media/liked", false,
     QT_TRANSLATE_NOOP("pixolune::ui", "Photos/Videos I like"), false, ItemOwner::Poster, true},
    {kFeedTagged, "/tags/%s/media/recent", true,
     QT_TRANSLATE_NOOP("pixolune::ui", "Photos/Videos with tags:"), true, ItemOwner::Poster, true},
};
inline constexpr int kFeedKindCount = static_cast<int>(std::size(kFeedKinds));
inline constexpr int kFirstFeedType = kFeedKinds[0].type;
inline constexpr int kLastFeedType = kFeedKinds[kFeedKindCount - 1].type;

constexpr bool FeedKindsFollowTheirTypes() {
    for (int i = 0; i < kFeedKindCount; ++i)
        if (kFeedKinds[i].type != kFirstFeedType + i) return false;
    return true;
}
static_assert(FeedKindsFollowTheirTypes(), "kFeedKinds lists the feed types in order, each once");

// The kind of `type`; nullptr for a type no kind has (a damaged setting).
[[nodiscard]] constexpr const FeedKind* FindFeedKind(int32_t type) {
    return type >= kFirstFeedType && type <= kLastFeedType ? &kFeedKinds[type - kFirstFeedType]
                                                           : nullptr;
}

}  // namespace pixolune
