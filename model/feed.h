#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pixolune {

// One media item found in a feed. Caption and Owner are UTF-8 as the service sent them.
struct CPixoluneItem {
    std::string Caption;
    std::string Url;
    std::string Owner;
};

// Which list of the service a feed reads; the saved value of a feed's type.
// What each reads, and how, is in kFeedKinds (model/feed_kinds.h).
enum FeedType : int32_t {
    kFeedMine = 1,
    kFeedMyMedia = 2,
    kFeedPopular = 3,
    kFeedLiked = 4,
    kFeedTagged = 5,
};

// The most items one query takes from a list (a feed, or one tag of a tag
// feed), whatever MaxP says: the dialog offers no more, and a larger stored
// MaxP is read as this.
inline constexpr int32_t kMaxItemsPerList = 20000;

inline constexpr int32_t kFeedEnabledFlag = 0x1;
// Set after each successful query and saved with the flag word; nothing reads it.
inline constexpr int32_t kFeedQueriedFlag = 0x10000;

// One configured feed. Assigning a feed copies everything but Retries, which
// counts the failures of this very entry and stays with it.
class CPixoluneFeed {
  public:
    CPixoluneFeed() = default;
    CPixoluneFeed(const CPixoluneFeed& other) { *this = other; }
    CPixoluneFeed& operator=(const CPixoluneFeed& other) {
        if (this != &other) {
            Type = other.Type;
            Tags = other.Tags;
            MaxP = other.MaxP;
            Flg = other.Flg;
            Items = other.Items;
            LastTm = other.LastTm;
        }
        return *this;
    }
    CPixoluneFeed(CPixoluneFeed&&) = default;
    CPixoluneFeed& operator=(CPixoluneFeed&&) = default;

    bool IsEnabled() const { return (Flg & kFeedEnabledFlag) != 0; }

    int32_t Type = kFeedMine;
    std::string Tags;
    int32_t MaxP = 500;
    int32_t Flg = kFeedEnabledFlag;
    std::vector<CPixoluneItem> Items;
    uint32_t LastTm = 0;  // tick count of the last successful query; 0 = never
    int32_t Retries = 0;  // failed queries since the last successful one
};

using FeedArray = std::vector<CPixoluneFeed>;

// The target takes the source's size and each element is assigned from the
// source element at the same index, so existing entries keep their Retries.
void CopyFeedArray(FeedArray& target, const FeedArray& source);

}  // namespace pixolune
