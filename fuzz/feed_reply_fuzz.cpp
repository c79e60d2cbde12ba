// Arbitrary bytes as a feed reply, read as every feed type would read it.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "model/feed_kinds.h"
#include "service/feed_reply.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view reply(reinterpret_cast<const char*>(data), size);
    for (int type = pixolune::kFirstFeedType; type <= pixolune::kLastFeedType; ++type) {
        for (const pixolune::MediaKinds kinds :
             {pixolune::MediaKinds{true, true}, pixolune::MediaKinds{false, true}}) {
            const int wanted = 3;
            const pixolune::FeedPage page = pixolune::ParseFeedReply(reply, type, kinds, wanted);
            // What QueryFeed relies on, whatever the reply held.
            if (static_cast<int>(page.items.size()) > wanted) __builtin_trap();
            for (const pixolune::CPixoluneItem& item : page.items)
                if (item.Url.empty()) __builtin_trap();
            if (page.status != pixolune::FeedReplyStatus::Ok &&
                (!page.items.empty() || !page.nextUrl.empty()))
                __builtin_trap();
        }
    }
    return 0;
}
