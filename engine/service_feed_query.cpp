#include "engine/feed_query.h"

namespace pixolune {

// Until the service client is part of the build the worker has no service to ask.
FeedQueryFactory ServiceFeedQueryFactory() {
    return nullptr;
}

}  // namespace pixolune
