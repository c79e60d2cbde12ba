#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <set>

namespace pixolune::platform {

// One rate cap shared by every transfer of a session: a token bucket that
// fills at the cap and holds at most a tenth of a second's bytes. A transfer
// takes a piece when the bucket holds anything (it may go into debt by that
// piece, which the next refill pays) and nobody waits; otherwise it waits in line, and those
// waiting go on in the order they began to wait, so a small file is never
// starved behind large ones. Time is handed in, so a test can drive it.
class RateBudget {
  public:
    using Ms = std::chrono::milliseconds;  // on any steady clock

    explicit RateBudget(Ms now) : refilledAt_(now) {}

    // 0 (as at first) lifts the cap: every transfer takes what it gets, and
    // those in line go on.
    void SetRate(int64_t bytesPerSecond, Ms now);
    [[nodiscard]] int64_t BytesPerSecond() const { return bytesPerSecond_; }
    [[nodiscard]] bool Capped() const { return bytesPerSecond_ > 0; }
    // Whether transfer `id` may take `bytes` now; if not, it is put in line
    // and must wait until NextToResume names it.
    [[nodiscard]] bool Take(uint64_t id, size_t bytes, Ms now);
    // The first transfer in line, taken out of it, when the bucket holds
    // anything again; it is to take its piece at once.
    [[nodiscard]] std::optional<uint64_t> NextToResume(Ms now);
    // How long until the first in line may go on; nullopt when none waits.
    [[nodiscard]] std::optional<Ms> TimeToResume(Ms now);
    // A transfer that ended leaves the line.
    void Forget(uint64_t id);
    [[nodiscard]] size_t Waiting() const { return waiting_.size(); }

  private:
    void Refill(Ms now);
    [[nodiscard]] double Spare() const;  // the bucket less what resumed transfers will take

    int64_t bytesPerSecond_ = 0;
    double capacityBytes_ = 0;
    double tokens_ = 0;
    Ms refilledAt_;
    std::deque<uint64_t> waiting_;
    std::set<uint64_t> resumed_;  // out of line, their piece not yet taken
};

}  // namespace pixolune::platform
