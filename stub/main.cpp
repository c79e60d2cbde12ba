#include <signal.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "stub/scenario.h"
#include "stub/stub_options.h"
#include "stub/stub_service.h"

namespace {

using pixolune::stub::Scenario;
using pixolune::stub::StubOptions;

Scenario LoadScenario(const StubOptions& options) {
    if (!options.generateSpec.empty())
        return pixolune::stub::GenerateScenario(options.generateSpec);
    if (options.scenarioFile.empty()) return pixolune::stub::DefaultScenario();
    std::ifstream file(options.scenarioFile, std::ios::binary);
    if (!file) throw std::runtime_error("cannot read " + options.scenarioFile);
    std::stringstream text;
    text << file.rdbuf();
    return pixolune::stub::ParseScenario(text.str());
}

// Waits for SIGTERM or SIGINT, or until the safety bound runs out.
void WaitForStopSignal(const sigset_t& stopSignals, double exitAfterSeconds) {
    using Clock = std::chrono::steady_clock;
    const auto deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                           exitAfterSeconds > 0 ? exitAfterSeconds : 0));
    while (true) {
        timespec wait{3600, 0};
        if (exitAfterSeconds > 0) {
            auto left = deadline - Clock::now();
            if (left <= Clock::duration::zero()) {
                std::fprintf(stderr, "pixolune-stub: --exit-after reached\n");
                return;
            }
            auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            wait.tv_sec = static_cast<time_t>(ns / 1000000000);
            wait.tv_nsec = static_cast<long>(ns % 1000000000);
        }
        if (sigtimedwait(&stopSignals, nullptr, &wait) > 0) return;
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string error;
    auto options = pixolune::stub::ParseStubOptions(argc, argv, error);
    if (!options) {
        std::fprintf(stderr, "pixolune-stub: %s\n%s", error.c_str(), pixolune::stub::StubUsage());
        return 2;
    }
    if (options->help) {
        std::fputs(pixolune::stub::StubUsage(), stderr);
        return 0;
    }
    // Stop signals are taken by sigtimedwait only; every thread started later inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    // A client that leaves mid-reply must not end the stub.
    signal(SIGPIPE, SIG_IGN);
    try {
        pixolune::stub::ServiceOptions serviceOptions;
        serviceOptions.https = options->https;
        serviceOptions.certFile = options->certFile;
        serviceOptions.keyFile = options->keyFile;
        serviceOptions.verbose = options->verbose;
        serviceOptions.publicPort = options->publicPort;
        pixolune::stub::StubService service(LoadScenario(*options), serviceOptions);
        int port = service.Start(options->port);
        std::printf("PORT=%d\n", port);
        std::fflush(stdout);
        std::fprintf(stderr, "pixolune-stub: serving %s://127.0.0.1:%d\n",
                     options->https ? "https" : "http", port);
        WaitForStopSignal(stopSignals, options->exitAfterSeconds);
        service.Shutdown();
        std::fprintf(stderr, "pixolune-stub: stopped\n");
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "pixolune-stub: %s\n", failure.what());
        return 1;
    }
    return 0;
}
