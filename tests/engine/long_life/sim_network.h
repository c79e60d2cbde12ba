#pragma once

// The media hosts of a simulated life and the line to them, behind the HTTP
// session's seam: no socket, no thread, every wait on the simulated clock, so
// that a seed replays exactly. The line has a round trip and a bottleneck
// that its transfers share; a host answers with ranges and validators, and
// may cut every answer, ask for a pause, trickle or stop the plug-in midway.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/http_client.h"
#include "sim_clock.h"

namespace pixolune::life {

// One media host: "/m/<name>" with bytes of its own and an ETag.
class SimHost {
  public:
    explicit SimHost(SimClock& clock) : clock_(clock) {}

    void SetFlaky(bool flaky) { flaky_ = flaky; }
    // A busy host answers 503 and asks for a pause of `retryAfterSeconds`.
    void SetBusy(bool busy, uint32_t retryAfterSeconds = 60) {
        busy_ = busy;
        retryAfterSeconds_ = retryAfterSeconds;
    }
    // The next answer with a body breaks off after kFlakyBytes and calls
    // `midway` (the host stops the plug-in); the line then stays silent.
    void ArmStop(std::function<void()> midway) { stopMidway_ = std::move(midway); }
    // Answers for `name` send one byte and then nothing (empty: none).
    void SetTrickling(std::string name) { trickling_ = std::move(name); }
    [[nodiscard]] uint64_t Requests() const { return requests_; }
    // The first request that came within a pause this host asked for; empty when none.
    [[nodiscard]] const std::string& PauseBroken() const { return pauseBroken_; }
    // A client that died knows nothing of the pause asked of the one before.
    void ClientDied() { pauseFromMs_ = pauseUntilMs_ = 0; }

    [[nodiscard]] static std::string BodyOf(const std::string& name);
    static constexpr size_t kBodyBytes = 2048;
    static constexpr size_t kFlakyBytes = 1000;

    // How the host answers a request for `name`.
    struct Answer {
        platform::HttpResponseHead head;
        std::string retryAfter;
        std::string body;      // what follows the head
        size_t cutAfter = 0;   // the line drops (or goes silent) after this many bytes
        bool silentAfterCut = false;  // a trickle or a stop: nothing more, no end
        std::function<void()> midway;
    };
    [[nodiscard]] Answer Serve(const std::string& name, const std::vector<std::string>& headers);

  private:
    [[nodiscard]] bool NotePause(const std::string& name);  // false: busy, 503 to send

    SimClock& clock_;
    bool flaky_ = false;
    bool busy_ = false;
    uint32_t retryAfterSeconds_ = 60;
    uint64_t requests_ = 0;
    std::function<void()> stopMidway_;
    std::string trickling_;
    uint64_t pauseFromMs_ = 0;
    uint64_t pauseUntilMs_ = 0;
    std::string pauseBroken_;
};

// The line and its hosts. Each session the engine makes gets a transport of
// its own over it; the hosts, the line and what it carried belong to the world.
class SimNetwork {
  public:
    explicit SimNetwork(SimClock& clock) : clock_(clock) {}

    // A host at "http://<name>"; its base address.
    std::string AddHost(const std::string& name);
    [[nodiscard]] SimHost* HostOf(const std::string& url);
    [[nodiscard]] std::unique_ptr<platform::HttpSession> NewSession();

    static constexpr uint64_t kRoundTripMs = 40;
    static constexpr uint64_t kBytesPerMs = 12'500;  // 100 Mbit/s
    static constexpr uint64_t kTickMs = 5;  // a transfer's bytes move in steps of this

    // Body bytes handed to the engine, by simulated second.
    void Carried(uint64_t ms, size_t bytes);
    // The most bytes any second since `fromMs` carried; the seconds are forgotten.
    [[nodiscard]] uint64_t BusiestSecondSince(uint64_t fromMs);

    SimClock& Clock() { return clock_; }

    // The transfers under way, one line each, for a broken promise's report.
    [[nodiscard]] std::string Describe() const;
    class Transport;  // one session's transfers
    void Opened(const Transport* transport) { transports_.insert(transport); }
    void Closed(const Transport* transport) { transports_.erase(transport); }

  private:
    SimClock& clock_;
    std::map<std::string, std::unique_ptr<SimHost>> hosts_;  // by "http://name"
    std::map<uint64_t, uint64_t> bytesBySecond_;
    std::set<const Transport*> transports_;
};

}  // namespace pixolune::life
