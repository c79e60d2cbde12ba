#pragma once

namespace pixolune::stub {

// Every API address begins with it.
inline constexpr const char* kApiRoot = "/v1";

// One feed as the stand-in serves it. The plug-in's table of feed kinds is
// the model; the stub's tests hold the two together.
struct StubFeed {
    const char* apiPath;  // under kApiRoot; "%s" stands for the tag of a feed that takes tags
    // Its items in a scenario's "feeds": a list, or for a feed that takes tags
    // one list per tag (Scenario::tags).
    const char* key;
    bool takesTags;
    // Pages carry "pagination"."next_url"; otherwise each ask of the same
    // address brings the next page.
    bool followsNextUrl;
};

// In the order a generated scenario fills them, which fixes its items for a seed.
inline constexpr StubFeed kStubFeeds[] = {
    {"/users/self/feed", "feed", false, true},
    {"/users/self/media/recent", "recent", false, true},
    {"/media/popular", "popular", false, false},
    {"/users/self/media/liked", "liked", false, true},
    {"/tags/%s/media/recent", "tags", true, true},
};

}  // namespace pixolune::stub
