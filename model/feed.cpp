#include "model/feed.h"

namespace pixolune {

void CopyFeedArray(FeedArray& target, const FeedArray& source) {
    if (&target == &source) return;
    target.resize(source.size());
    for (size_t i = 0; i < source.size(); ++i) target[i] = source[i];
}

}  // namespace pixolune
