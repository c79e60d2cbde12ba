#include "sim_network.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "platform/rate_budget.h"

namespace pixolune::life {
namespace {

using platform::HttpFailure;
using platform::HttpResult;
using platform::HttpSession;
using Ms = platform::RateBudget::Ms;

constexpr size_t kLargestPiece = 16 * 1024;
constexpr uint64_t kPollEveryMs = 1000;  // as often as the real session asks shouldAbort

std::string HeaderValue(const std::vector<std::string>& headers, const std::string& name) {
    const std::string prefix = name + ": ";
    for (const std::string& header : headers)
        if (header.rfind(prefix, 0) == 0) return header.substr(prefix.size());
    return {};
}

// "http://host/m/name?query" -> "http://host" and "name".
std::string BaseOf(const std::string& url) {
    const size_t scheme = url.find("://");
    if (scheme == std::string::npos) return {};
    return url.substr(0, url.find('/', scheme + 3));
}

std::string MediaNameOf(const std::string& url) {
    const size_t path = url.find("/m/", BaseOf(url).size());
    if (path == std::string::npos) return {};
    const size_t from = path + 3;
    return url.substr(from, url.find('?', from) - from);
}

HttpResult Failed(HttpFailure failure) {
    HttpResult result;
    result.failure = failure;
    return result;
}

}  // namespace

// The transfers of one session over the simulated line, driven on its thread.
class SimNetwork::Transport final : public HttpSession::Transport {
  public:
    using TransferId = HttpSession::TransferId;
    using Ended = HttpSession::Ended;

    explicit Transport(SimNetwork& network)
        : network_(network), clock_(network.Clock()), budget_(Ms(clock_.NowMs())) {
        network_.Opened(this);
    }
    ~Transport() override { network_.Closed(this); }

    [[nodiscard]] std::string Describe() const {
        std::string text;
        for (const auto& [id, flow] : flows_)
            text += "    " + flow.request.url + (flow.headDone ? " head, " : " asked, ") +
                    std::to_string(flow.sent) + "/" + std::to_string(flow.answer.body.size()) +
                    " bytes" + (flow.held ? ", held by the cap" : "") + "\n";
        for (const Ended& one : ended_)
            text += "    transfer " + std::to_string(one.id) + " ended, not yet taken\n";
        return text;
    }

    TransferId Start(platform::HttpRequest request) override {
        const TransferId id = nextId_++;
        const uint64_t now = clock_.NowMs();
        SimHost* host = network_.HostOf(request.url);
        if (!host) {
            HttpResult result;
            result.failure = HttpFailure::Connect;
            result.hostUnreachable = true;
            result.errorCode = 6;
            result.errorText = "Couldn't resolve host name";
            ended_.push_back({id, result, nullptr});
            return id;
        }
        Flow& flow = flows_[id];
        // A host's first request waits for the connection's handshake too.
        const bool connected = connectedHosts_.count(host) != 0;
        if (!connected) {
            connectedHosts_[host] = true;
            ++connectionsOpened_;
        }
        flow.answer = host->Serve(MediaNameOf(request.url), request.headers);
        flow.request = std::move(request);
        flow.headAtMs = now + SimNetwork::kRoundTripMs * (connected ? 1 : 2);
        flow.nextPollMs = now + kPollEveryMs;
        return id;
    }

    HttpResult Wait(TransferId id) override {
        for (;;) {
            for (auto it = ended_.begin(); it != ended_.end(); ++it) {
                if (it->id != id) continue;
                Ended one = std::move(*it);
                ended_.erase(it);
                if (one.thrown) std::rethrow_exception(one.thrown);
                return one.result;
            }
            if (flows_.count(id) == 0) return Failed(HttpFailure::Aborted);
            ProcessDue();
            if (flows_.count(id) != 0) MoveOn(UINT64_MAX);
        }
    }

    void Cancel(TransferId id) override {
        flows_.erase(id);
        budget_.Forget(id);
        ended_.erase(std::remove_if(ended_.begin(), ended_.end(),
                                    [id](const Ended& one) { return one.id == id; }),
                     ended_.end());
    }

    // The engine's pages come from the simulated service, not over this line.
    void WhileWaiting(std::function<void()>) override {}

    std::vector<Ended> DriveUntilOneEnds(std::chrono::milliseconds maxWait) override {
        const uint64_t deadline = clock_.NowMs() + static_cast<uint64_t>(maxWait.count());
        for (;;) {
            ProcessDue();
            if (!ended_.empty() || woken_) break;
            if (!MoveOn(deadline)) break;
        }
        woken_ = false;
        return std::exchange(ended_, {});
    }

    void Wakeup() override { woken_ = true; }
    void SetRateCap(int64_t bytesPerSecond) override {
        budget_.SetRate(bytesPerSecond, Ms(clock_.NowMs()));
    }
    [[nodiscard]] size_t InFlight() const override { return flows_.size() + ended_.size(); }
    [[nodiscard]] uint64_t ConnectionsOpened() const override { return connectionsOpened_; }

  private:
    struct Flow {
        platform::HttpRequest request;
        SimHost::Answer answer;
        bool headDone = false;
        uint64_t headAtMs = 0;
        uint64_t nextTickMs = 0;
        uint64_t lastByteMs = 0;
        uint64_t nextPollMs = 0;
        size_t sent = 0;
        bool held = false;  // waits in the rate budget's line
        bool cutSaid = false;
    };

    [[nodiscard]] bool Moving(const Flow& flow) const {
        return flow.headDone && !flow.held && flow.sent < flow.answer.cutAfter;
    }

    // Moves the clock to the next thing that happens, or to `deadline` when
    // that comes first (false).
    bool MoveOn(uint64_t deadline) {
        const uint64_t now = clock_.NowMs();
        uint64_t next = UINT64_MAX;
        for (const auto& [id, flow] : flows_) {
            if (!flow.headDone) {
                next = std::min(next, flow.headAtMs);
                continue;
            }
            next = std::min(next, flow.nextPollMs);
            if (Moving(flow)) next = std::min(next, flow.nextTickMs);
            if (flow.answer.silentAfterCut && flow.sent >= flow.answer.cutAfter)
                next = std::min(next, flow.lastByteMs + LowSpeedMs(flow));
        }
        if (const auto resume = budget_.TimeToResume(Ms(now)))
            next = std::min(next, now + std::max<uint64_t>(1, static_cast<uint64_t>(resume->count())));
        if (next > deadline) {
            if (deadline != UINT64_MAX) clock_.AdvanceTo(deadline);
            return false;
        }
        clock_.AdvanceTo(next);
        return true;
    }

    static uint64_t LowSpeedMs(const Flow& flow) {
        return static_cast<uint64_t>(std::max<long>(1, flow.request.limits.lowSpeedSeconds)) * 1000;
    }

    void End(TransferId id, HttpResult result, std::exception_ptr thrown = nullptr) {
        flows_.erase(id);
        budget_.Forget(id);
        ended_.push_back({id, std::move(result), std::move(thrown)});
    }

    void ProcessDue() {
        const uint64_t now = clock_.NowMs();
        while (const auto resumed = budget_.NextToResume(Ms(now))) {
            const auto found = flows_.find(*resumed);
            if (found != flows_.end()) found->second.held = false;
        }
        size_t moving = 0;
        for (const auto& [id, flow] : flows_) moving += Moving(flow) ? 1 : 0;
        const size_t share =
            std::max<size_t>(1, SimNetwork::kBytesPerMs * SimNetwork::kTickMs / std::max<size_t>(1, moving));
        // Callbacks may cancel transfers (their own or others): walk a copy of the ids.
        std::vector<TransferId> ids;
        for (const auto& entry : flows_) ids.push_back(entry.first);
        for (const TransferId id : ids) {
            try {
                Process(id, now, share);
            } catch (...) {
                if (flows_.count(id) != 0) End(id, Failed(HttpFailure::Aborted), std::current_exception());
            }
        }
    }

    void Process(TransferId id, uint64_t now, size_t share) {
        auto found = flows_.find(id);
        if (found == flows_.end()) return;
        Flow& flow = found->second;
        const platform::HttpRequest& request = flow.request;
        if (!flow.headDone) {
            if (now < flow.headAtMs) return;
            HttpResult result;
            result.status = flow.answer.head.status;
            result.retryAfter = flow.answer.retryAfter;
            if (request.onStatus && !request.onStatus(result.status)) {
                result.failure = HttpFailure::Skipped;
                return End(id, result);
            }
            if (request.onHead && !request.onHead(flow.answer.head)) {
                result.failure = HttpFailure::Aborted;
                return End(id, result);
            }
            if (flows_.count(id) == 0) return;
            flow.headDone = true;
            flow.nextTickMs = now;
            flow.lastByteMs = now;
        }
        if (now >= flow.nextPollMs) {
            flow.nextPollMs = now + kPollEveryMs;
            if (request.shouldAbort && request.shouldAbort()) return End(id, Failed(HttpFailure::Aborted));
            if (flows_.count(id) == 0) return;
        }
        if (flow.held) {
            flow.lastByteMs = now;  // time held by the cap is not slowness
            return;
        }
        if (flow.sent < flow.answer.cutAfter) {
            if (now < flow.nextTickMs) return;
            flow.nextTickMs = now + SimNetwork::kTickMs;
            size_t left = std::min(share, flow.answer.cutAfter - flow.sent);
            const size_t largest = request.bufferSize ? std::min(request.bufferSize, kLargestPiece) : kLargestPiece;
            while (left > 0) {
                const size_t piece = std::min(left, largest);
                if (budget_.Capped() && !budget_.Take(id, piece, Ms(now))) {
                    flow.held = true;
                    return;
                }
                network_.Carried(now, piece);
                flow.lastByteMs = now;
                const char* data = flow.answer.body.data() + flow.sent;
                flow.sent += piece;
                left -= piece;
                if (request.onBody && !request.onBody(data, piece)) return End(id, Failed(HttpFailure::Aborted));
                if (flows_.count(id) == 0) return;
            }
        }
        if (flow.sent >= flow.answer.body.size()) {
            HttpResult done;
            done.status = flow.answer.head.status;
            return End(id, done);
        }
        if (flow.sent < flow.answer.cutAfter) return;
        // The line drops here, or goes silent.
        if (!flow.cutSaid) {
            flow.cutSaid = true;
            if (auto midway = std::exchange(flow.answer.midway, nullptr)) midway();
            if (flows_.count(id) == 0) return;
        }
        if (!flow.answer.silentAfterCut) {
            HttpResult cut = Failed(HttpFailure::Body);
            cut.errorCode = 56;
            cut.errorText = "Failure when receiving data from the peer";
            return End(id, cut);
        }
        if (request.limits.lowSpeedBytesPerSecond > 0 && now >= flow.lastByteMs + LowSpeedMs(flow)) {
            HttpResult slow = Failed(HttpFailure::Body);
            slow.limitReached = platform::HttpLimitReached::LowSpeed;
            slow.errorCode = 28;
            slow.errorText = "Operation too slow";
            End(id, slow);
        }
    }

    SimNetwork& network_;
    SimClock& clock_;
    platform::RateBudget budget_;
    std::map<TransferId, Flow> flows_;
    std::vector<Ended> ended_;
    std::map<const SimHost*, bool> connectedHosts_;
    TransferId nextId_ = 1;
    uint64_t connectionsOpened_ = 0;
    bool woken_ = false;
};

std::string SimHost::BodyOf(const std::string& name) {
    // A JPEG's opening bytes, then bytes of the name's own.
    std::string body(kBodyBytes, '\0');
    const char opening[] = {'\xFF', '\xD8', '\xFF', '\xE0'};
    std::copy(std::begin(opening), std::end(opening), body.begin());
    for (size_t i = sizeof opening, n = 0; i < kBodyBytes; ++i, n = n + 1 == name.size() ? 0 : n + 1)
        body[i] = static_cast<char>(name[n] ^ static_cast<char>((i - sizeof opening) * 31));
    return body;
}

bool SimHost::NotePause(const std::string& name) {
    const uint64_t now = clock_.NowMs();
    // Requests sent before the 503 came back (a round trip, and a handshake's) keep no pause.
    if (now > pauseFromMs_ + 2 * SimNetwork::kRoundTripMs && now < pauseUntilMs_ &&
        pauseBroken_.empty())
        pauseBroken_ = name + " asked for " + std::to_string((pauseUntilMs_ - now) / 1000) +
                       " s before the pause ended";
    if (!busy_) return true;
    pauseFromMs_ = now;
    pauseUntilMs_ = now + uint64_t{retryAfterSeconds_} * 1000;
    return false;
}

SimHost::Answer SimHost::Serve(const std::string& name, const std::vector<std::string>& headers) {
    ++requests_;
    Answer answer;
    if (name.empty()) {
        answer.head.status = 404;
        return answer;
    }
    if (!NotePause(name)) {
        answer.head.status = 503;
        answer.retryAfter = std::to_string(retryAfterSeconds_);
        return answer;
    }
    const std::string whole = BodyOf(name);
    const std::string etag = "\"" + name + "\"";
    answer.head.status = 200;
    answer.head.contentType = "image/jpeg";
    answer.head.etag = etag;
    answer.body = whole;
    // A range is sent when the validator still holds (or none is given).
    const std::string range = HeaderValue(headers, "Range");
    const std::string ifRange = HeaderValue(headers, "If-Range");
    if (range.rfind("bytes=", 0) == 0 && (ifRange.empty() || ifRange == etag)) {
        const size_t from = std::stoull(range.substr(6));
        if (from >= whole.size()) {
            answer.head.status = 416;
            answer.body.clear();
            return answer;
        }
        answer.head.status = 206;
        answer.head.rangeStart = static_cast<int64_t>(from);
        answer.body = whole.substr(from);
    }
    answer.head.contentLength = static_cast<int64_t>(answer.body.size());
    answer.midway = std::exchange(stopMidway_, nullptr);
    const bool trickles = name == trickling_;
    answer.cutAfter = trickles ? 1 : (flaky_ || answer.midway) ? kFlakyBytes : answer.body.size();
    answer.cutAfter = std::min(answer.cutAfter, answer.body.size());
    answer.silentAfterCut = trickles || answer.midway != nullptr;
    return answer;
}

std::string SimNetwork::AddHost(const std::string& name) {
    const std::string base = "http://" + name;
    hosts_[base] = std::make_unique<SimHost>(clock_);
    return base;
}

SimHost* SimNetwork::HostOf(const std::string& url) {
    const auto found = hosts_.find(BaseOf(url));
    return found == hosts_.end() ? nullptr : found->second.get();
}

std::unique_ptr<platform::HttpSession> SimNetwork::NewSession() {
    return std::make_unique<platform::HttpSession>(std::make_unique<Transport>(*this));
}

std::string SimNetwork::Describe() const {
    std::string text;
    for (const Transport* transport : transports_) text += transport->Describe();
    return text.empty() ? "    none\n" : text;
}

void SimNetwork::Carried(uint64_t ms, size_t bytes) {
    bytesBySecond_[ms / 1000] += bytes;
}

uint64_t SimNetwork::BusiestSecondSince(uint64_t fromMs) {
    uint64_t busiest = 0;
    for (auto it = bytesBySecond_.begin(); it != bytesBySecond_.end();) {
        // The second now under way is not over yet.
        if (it->first >= clock_.NowMs() / 1000) break;
        if (it->first >= fromMs / 1000) busiest = std::max(busiest, it->second);
        it = bytesBySecond_.erase(it);
    }
    return busiest;
}

}  // namespace pixolune::life
