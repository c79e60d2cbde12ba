#include "engine/refused_token_hold.h"

#include "model/host_link.h"
#include "platform/tick_count.h"

namespace pixolune {
namespace {

// A token that has come back to life is noticed, and a service that refuses
// it is not asked every pass.
constexpr uint32_t kRefusedTokenRetryMs =
    static_cast<uint32_t>(RefusedTokenHold::kRetryInterval.count());

}  // namespace

RefusedTokenHold::Start RefusedTokenHold::BeginPass(uint64_t generation) {
    if (!active_) return {};
    if (generation_ != generation) {
        active_ = false;
        Log("Refresh: a new access token arrived; the feeds are read again");
        return {Pass::Normal, true};
    }
    if (platform::TicksBetween(triedAtTick_, clock_.TickCount()) < kRefusedTokenRetryMs)
        return {Pass::HeldBack, false};
    return {Pass::HourlyTry, false};
}

void RefusedTokenHold::Refused(uint64_t generation) {
    const bool first = !active_;
    active_ = true;
    generation_ = generation;
    triedAtTick_ = clock_.TickCount();
    if (first)
        Log("Refresh: the service refused the access token; authorize the plug-in again in its "
            "settings");
    else
        Log("Refresh: the access token is still refused, next try in 60 min");
}

void RefusedTokenHold::Accepted() {
    if (!active_) return;
    active_ = false;
    Log("Refresh: the service no longer refuses the access token");
}

}  // namespace pixolune
