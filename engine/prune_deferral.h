#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "platform/clock.h"

namespace pixolune {

// How long a feed that has not answered once on this folder may put pruning
// off. Its files can't be told from those that left the feeds; a feed that
// fails for good (a refused tag) must not stop the folder's pruning for ever,
// not even when the host starts the worker anew more often than that.
class PruneDeferral {
  public:
    explicit PruneDeferral(platform::Clock& clock) : clock_(clock) {}

    // Every feed has answered, or the folder is new: nothing puts pruning off.
    void Reset() { since_.reset(); }
    // Whether the unanswered feed `index` has put pruning off for `longest`; says which.
    // `sinceLastAnswer`: how long ago it last answered any worker, when known.
    [[nodiscard]] bool IsOver(int index, std::chrono::milliseconds longest,
                              std::optional<std::chrono::milliseconds> sinceLastAnswer = {});

  private:
    platform::Clock& clock_;
    std::optional<uint32_t> since_;  // tick since when pruning is put off
};

}  // namespace pixolune
