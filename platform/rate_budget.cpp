#include "platform/rate_budget.h"

#include <algorithm>
#include <cmath>

namespace pixolune::platform {
namespace {

// A tenth of a second of the cap, but at least one socket read: a burst this
// small keeps any 10 s within a few percent of the cap.
constexpr double kBurstSeconds = 0.1;
constexpr double kLeastBurstBytes = 16 * 1024;
// What a resumed transfer is expected to take: the bytes set aside for it
// until it does, so that one refill does not resume the whole line at once.
constexpr double kPieceBytes = 16 * 1024;

}  // namespace

void RateBudget::SetRate(int64_t bytesPerSecond, Ms now) {
    bytesPerSecond = std::max<int64_t>(bytesPerSecond, 0);
    if (bytesPerSecond == bytesPerSecond_) return;
    Refill(now);
    bytesPerSecond_ = bytesPerSecond;
    capacityBytes_ =
        std::max(kBurstSeconds * static_cast<double>(bytesPerSecond_), kLeastBurstBytes);
    tokens_ = std::min(tokens_, capacityBytes_);
    if (!Capped()) tokens_ = 0;
}

void RateBudget::Refill(Ms now) {
    if (now <= refilledAt_) return;
    if (!Capped()) {
        refilledAt_ = now;
        return;
    }
    const double seconds = static_cast<double>((now - refilledAt_).count()) / 1000.0;
    tokens_ = std::min(capacityBytes_, tokens_ + seconds * static_cast<double>(bytesPerSecond_));
    refilledAt_ = now;
}

bool RateBudget::Take(uint64_t id, size_t bytes, Ms now) {
    Refill(now);
    if (!Capped()) {
        resumed_.erase(id);
        return true;
    }
    if (resumed_.erase(id) != 0 || (tokens_ > 0 && waiting_.empty())) {
        tokens_ -= static_cast<double>(bytes);
        return true;
    }
    if (std::find(waiting_.begin(), waiting_.end(), id) == waiting_.end()) waiting_.push_back(id);
    return false;
}

std::optional<uint64_t> RateBudget::NextToResume(Ms now) {
    Refill(now);
    if (waiting_.empty() || (Capped() && Spare() <= 0)) return std::nullopt;
    const uint64_t id = waiting_.front();
    waiting_.pop_front();
    resumed_.insert(id);
    return id;
}

std::optional<RateBudget::Ms> RateBudget::TimeToResume(Ms now) {
    if (waiting_.empty()) return std::nullopt;
    Refill(now);
    if (!Capped() || Spare() > 0) return Ms(0);
    const double seconds = (1.0 - Spare()) / static_cast<double>(bytesPerSecond_);
    return Ms(static_cast<int64_t>(std::ceil(seconds * 1000.0)));
}

void RateBudget::Forget(uint64_t id) {
    waiting_.erase(std::remove(waiting_.begin(), waiting_.end(), id), waiting_.end());
    resumed_.erase(id);
}

double RateBudget::Spare() const {
    return tokens_ - kPieceBytes * static_cast<double>(resumed_.size());
}

}  // namespace pixolune::platform
