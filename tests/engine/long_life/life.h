#pragma once

#include <cstdint>
#include <string>

namespace pixolune::life {

struct LifeOptions {
    int days = 7;
    uint64_t seed = 1;
    // Removal mode: 0 prunes what left the feeds at once, 1 once it is two hours old.
    int feedsSynch = 0;
    // Fault counts: what the engine must come through.
    bool faults = true;
};

struct LifeReport {
    uint64_t batches = 0;
    uint64_t stored = 0;  // files that joined the list
    uint64_t pruned = 0;  // files that left it
    uint64_t deaths = 0;  // the engine's process killed
    uint64_t digest = 0;  // of the life's whole trace: a seed replays to the same
    std::string broken;   // the first promise broken, with when; empty when all held
};

// Lives `options.days` simulated days of one-minute refreshes against a
// service that changes and fails as the seeded script of a life says, and
// checks the engine's promises after every batch.
[[nodiscard]] LifeReport LiveALife(const LifeOptions& options);

}  // namespace pixolune::life
