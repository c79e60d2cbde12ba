// Runs one simulated life of the engine and says whether its promises held:
//   long_life DAYS [SEED]      (a fresh seed when none is given)
// The seed is printed first, so that a broken promise replays exactly.
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "life.h"

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: long_life DAYS [SEED]\n");
        return 2;
    }
    pixolune::life::LifeOptions options;
    options.days = std::atoi(argv[1]);
    options.seed = argc == 3 ? std::strtoull(argv[2], nullptr, 10) : std::random_device{}();
    // Both removal modes come up: the seed picks one.
    options.feedsSynch = static_cast<int>(options.seed % 2);
    if (options.days < 1) {
        std::fprintf(stderr, "long_life: DAYS must be 1 or more\n");
        return 2;
    }
    std::printf("seed %llu, %d days, removal mode %d\n",
                static_cast<unsigned long long>(options.seed), options.days, options.feedsSynch);
    std::fflush(stdout);
    const pixolune::life::LifeReport report = pixolune::life::LiveALife(options);
    const auto count = [](uint64_t n) { return static_cast<unsigned long long>(n); };
    std::printf("seed %llu, days %d, batches %llu, files stored %llu, pruned %llu, deaths %llu, "
                "trace %016llx: %s\n",
                count(options.seed), options.days, count(report.batches), count(report.stored),
                count(report.pruned), count(report.deaths), count(report.digest),
                report.broken.empty() ? "promises held" : "a promise broken");
    if (!report.broken.empty()) {
        std::printf("promise broken: %s\n", report.broken.c_str());
        return 1;
    }
    return 0;
}
