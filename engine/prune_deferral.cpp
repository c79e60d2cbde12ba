#include "engine/prune_deferral.h"

#include "model/host_link.h"
#include "platform/tick_count.h"

namespace pixolune {

bool PruneDeferral::IsOver(int index, std::chrono::milliseconds longest,
                           std::optional<std::chrono::milliseconds> sinceLastAnswer) {
    const uint32_t now = clock_.TickCount();
    if (!since_) since_ = now;
    const long long hours = std::chrono::duration_cast<std::chrono::hours>(longest).count();
    const bool silentForLong = sinceLastAnswer && *sinceLastAnswer >= longest;
    if (!silentForLong &&
        platform::TicksBetween(*since_, now) < static_cast<uint64_t>(longest.count())) {
        Log("PruneLocalFiles: put off, feed %d has not been read since the worker started "
            "(for at most %lld h)",
            index, hours);
        return false;
    }
    Log("PruneLocalFiles: feed %d has not been read for %lld h; what no feed delivered is "
        "pruned",
        index, hours);
    return true;
}

}  // namespace pixolune
