#include "sim_world.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <cstring>
#include <iterator>
#include <stdexcept>

#include "engine/local_names.h"
#include "service/http_retrieval.h"

namespace pixolune::life {

platform::AutoResetEvent::WaitResult SimClock::WaitFor(platform::AutoResetEvent& event,
                                                       std::chrono::milliseconds timeout) {
    ++waits_;
    if (threaded_) return event.WaitFor(std::min(timeout, std::chrono::milliseconds(20)));
    nowMs_ += static_cast<uint64_t>(timeout.count());
    return platform::AutoResetEvent::WaitResult::TimedOut;
}

bool SimFileSystem::Refuses(const char* path) const {
    return unwritable_ && std::string(path).rfind(folder_, 0) == 0;
}

void SimFileSystem::StampWithSimulatedTime(const char* path) {
    const struct timespec when = {static_cast<time_t>(clock_.WallSeconds()), 0};
    const struct timespec times[2] = {when, when};
    ::utimensat(AT_FDCWD, path, times, AT_SYMLINK_NOFOLLOW);
}

void SimFileSystem::StampWithSimulatedTime(int fd) {
    const struct timespec when = {static_cast<time_t>(clock_.WallSeconds()), 0};
    const struct timespec times[2] = {when, when};
    ::futimens(fd, times);
}

int SimFileSystem::MakeTemporary(char* pathTemplate) {
    if (Refuses(pathTemplate)) return errno = EACCES, -1;
    return Target().MakeTemporary(pathTemplate);
}

int SimFileSystem::Open(const char* path, int flags, mode_t mode) {
    const bool writes = (flags & (O_WRONLY | O_RDWR | O_CREAT | O_TRUNC)) != 0;
    if (writes && Refuses(path)) return errno = EACCES, -1;
    struct stat status {};
    const bool isNew = (flags & O_CREAT) != 0 && Target().Lstat(path, &status) != 0;
    const int fd = Target().Open(path, flags, mode);
    // A file made now is as old as the simulated time says, also before its first write.
    if (fd >= 0 && isNew) StampWithSimulatedTime(fd);
    const std::string name = std::string(path).substr(std::string(path).rfind('/') + 1);
    // "NAME.<16 hex>.__t": the part of the media file NAME.
    constexpr size_t kPartNameTail = 1 + 16 + 4;
    if (fd >= 0 && writes && KindOfPartialName(name) == PartialName::Part) {
        std::lock_guard<std::mutex> guard(mutex_);
        partNames_[fd] = name.substr(0, name.size() - kPartNameTail);
    }
    return fd;
}

ssize_t SimFileSystem::Write(int fd, const void* data, size_t size) {
    const ssize_t written = Target().Write(fd, data, size);
    if (written > 0) StampWithSimulatedTime(fd);
    std::lock_guard<std::mutex> guard(mutex_);
    const auto part = partNames_.find(fd);
    if (written > 0 && part != partNames_.end()) {
        Fetched& fetched = fetched_[part->second];
        if (fetched.bytes == 0) fetched.firstMs = clock_.NowMs();
        fetched.lastMs = clock_.NowMs();
        fetched.bytes += static_cast<uint64_t>(written);
    }
    return written;
}

int SimFileSystem::Close(int fd) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        partNames_.erase(fd);
    }
    return Target().Close(fd);
}

SimFileSystem::Fetched SimFileSystem::FetchedOf(const std::string& name) const {
    std::lock_guard<std::mutex> guard(mutex_);
    const auto found = fetched_.find(name);
    return found == fetched_.end() ? Fetched{} : found->second;
}

void SimFileSystem::ForgetFetched(const std::string& name) {
    std::lock_guard<std::mutex> guard(mutex_);
    fetched_.erase(name);
}

int SimFileSystem::Access(const char* path, int mode) {
    if ((mode & W_OK) != 0 && Refuses(path)) return errno = EACCES, -1;
    return Target().Access(path, mode);
}

int SimFileSystem::Unlink(const char* path) {
    if (Refuses(path)) return errno = EACCES, -1;
    return Target().Unlink(path);
}

int SimFileSystem::Rename(const char* from, const char* to) {
    if (Refuses(to)) return errno = EACCES, -1;
    return Target().Rename(from, to);
}

int SimFileSystem::RenameNoReplace(const char* from, const char* to) {
    if (Refuses(to)) return errno = EACCES, -1;
    const int renamed = Target().RenameNoReplace(from, to);
    if (renamed == 0) StampWithSimulatedTime(to);  // a media file's age counts in simulated time
    return renamed;
}

int SimFileSystem::StatVfs(const char* path, struct statvfs* out) {
    const int result = Target().StatVfs(path, out);
    // A full disk shows no more than its reserve free.
    if (result == 0 && diskFull_) out->f_bavail = 0;
    return result;
}

namespace {

class SimQuery final : public FeedQuery {
  public:
    SimQuery(SimService& service, std::string token)
        : service_(service), token_(std::move(token)) {}
    FeedQueryOutcome Query(CPixoluneFeed& feed) override {
        const FeedQueryOutcome outcome = service_.Answer(token_, feed);
        // The answer comes in pages, as the service's does: the engine starts
        // downloading each page's items before the next page is read.
        if (outcome.result != QueryResult::Ok || !PageReadHook()) return outcome;
        std::vector<CPixoluneItem> soFar;
        for (const CPixoluneItem& item : feed.Items) {
            soFar.push_back(item);
            if (soFar.size() % kItemsPerPage == 0 || soFar.size() == feed.Items.size())
                PageReadHook()(soFar);
        }
        return outcome;
    }
    // The account query's answer: the token is refused when it is not the one accepted.
    bool TokenRefused() override { return service_.RefusesToken(token_); }

  private:
    static constexpr size_t kItemsPerPage = 5;
    SimService& service_;
    std::string token_;
};

int FeedIndexOf(int32_t type) {
    for (int i = 0; i < SimService::kFeeds; ++i)
        if (SimService::kFeedTypes[i] == type) return i;
    return -1;
}

}  // namespace

FeedQueryFactory SimService::Factory() {
    return [this](const std::string& token, const PluginSettings&, const std::atomic<int32_t>*) {
        return std::make_unique<SimQuery>(*this, token);
    };
}

std::string SimService::UrlOf(uint64_t id) const {
    std::lock_guard<std::mutex> guard(mutex_);
    return SignedUrl(id);
}

std::string SimService::SignedUrl(uint64_t id) const {
    const std::string& base = id % kOtherHostEvery == 0 ? otherMediaBase_ : mediaBase_;
    return base + "/m/" + NameOf(id) + "?sig=" + std::to_string(signature_);
}

FeedQueryOutcome SimService::Answer(const std::string& token, CPixoluneFeed& feed) {
    ++queries_;
    std::lock_guard<std::mutex> guard(mutex_);
    const int index = FeedIndexOf(feed.Type);
    FeedQueryOutcome outcome;
    if (down_ || index < 0) {
        outcome.failure = RetrievalResult::OpenFailed;
        return outcome;
    }
    if (retryAfterSeconds_ > 0) {
        outcome.failure = ServerAnswered(429);
        outcome.retryAfterSeconds = retryAfterSeconds_;
        return outcome;
    }
    if (token != acceptedToken_) {
        outcome.failure = kTokenRefused;
        return outcome;
    }
    if (tagRefused_ && feed.Type == 5) {
        outcome.failure = ServerAnswered(400);
        return outcome;
    }
    feed.Items.clear();
    for (uint64_t id : items_[index]) {
        if (static_cast<int32_t>(feed.Items.size()) >= feed.MaxP) break;
        feed.Items.push_back({"caption " + std::to_string(id), SignedUrl(id), "owner"});
    }
    lastAnswers_[index].clear();
    for (const CPixoluneItem& item : feed.Items) lastAnswers_[index].insert(item.Url);
    outcome.result = QueryResult::Ok;
    return outcome;
}

void SimService::Add(int feed, uint64_t id) {
    std::lock_guard<std::mutex> guard(mutex_);
    items_[feed].insert(id);
}

void SimService::RemoveOne(int feed, uint64_t pick) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (items_[feed].empty()) return;
    items_[feed].erase(std::next(items_[feed].begin(), pick % items_[feed].size()));
}

void SimService::SetOutage(bool down) {
    std::lock_guard<std::mutex> guard(mutex_);
    down_ = down;
}

void SimService::SetRetryAfter(uint32_t seconds) {
    std::lock_guard<std::mutex> guard(mutex_);
    retryAfterSeconds_ = seconds;
}

void SimService::SetAcceptedToken(std::string token) {
    std::lock_guard<std::mutex> guard(mutex_);
    acceptedToken_ = std::move(token);
}

void SimService::RefuseTagForGood() {
    std::lock_guard<std::mutex> guard(mutex_);
    tagRefused_ = true;
}

std::vector<std::set<uint64_t>> SimService::Items() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return items_;
}

void SimService::SignAnew() {
    std::lock_guard<std::mutex> guard(mutex_);
    ++signature_;
}

std::vector<std::set<std::string>> SimService::LastAnswers() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return lastAnswers_;
}

bool SimService::RefusesToken(const std::string& token) const {
    std::lock_guard<std::mutex> guard(mutex_);
    return token != acceptedToken_;
}

bool SimService::TagRefused() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return tagRefused_;
}

SimMediaServer::SimMediaServer(SimClock& clock) : clock_(clock) {
    server_.Get(R"(/m/([^/?]+))",
                [this](const httplib::Request& request, httplib::Response& response) {
                    Serve(request, response);
                });
    server_.set_tcp_nodelay(true);  // else each small answer waits out a delayed ACK
    port_ = server_.bind_to_any_port("127.0.0.1");
    if (port_ <= 0) throw std::runtime_error("the media server could not bind");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

SimMediaServer::~SimMediaServer() {
    server_.stop();
    thread_.join();
}

void SimMediaServer::ArmStop(std::function<void()> midway) {
    std::lock_guard<std::mutex> guard(mutex_);
    stopMidway_ = std::move(midway);
}

void SimMediaServer::SetTrickling(const std::string& name) {
    std::lock_guard<std::mutex> guard(mutex_);
    trickling_ = name;
}

std::string SimMediaServer::PauseBroken() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return pauseBroken_;
}

bool SimMediaServer::NotePause(const std::string& name) {
    const uint64_t now = clock_.NowMs();
    std::lock_guard<std::mutex> guard(mutex_);
    // Requests sent before the 503 came back arrive at the same simulated moment.
    if (now > pauseFromMs_ && now < pauseUntilMs_ && pauseBroken_.empty())
        pauseBroken_ = name + " asked for " + std::to_string((pauseUntilMs_ - now) / 1000) +
                       " s before the pause ended";
    if (!busy_) return true;
    pauseFromMs_ = now;
    pauseUntilMs_ = now + uint64_t{retryAfterSeconds_.load()} * 1000;
    return false;
}

void SimMediaServer::Serve(const httplib::Request& request, httplib::Response& response) {
    ++requests_;
    const std::string name = request.matches[1];
    if (!NotePause(name)) {
        response.status = 503;
        response.set_header("Retry-After", std::to_string(retryAfterSeconds_.load()));
        return;
    }
    const std::string body = BodyOf(name);
    response.set_header("ETag", "\"" + name + "\"");
    std::function<void()> midway;
    bool trickles = false;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        midway = std::exchange(stopMidway_, nullptr);
        trickles = name == trickling_;
    }
    // The length (of the range asked for) is announced; the line drops once
    // kFlakyBytes of it have come, or a stop or a trickle holds it.
    const size_t cutAfter = trickles ? 1 : (flaky_ || midway) ? kFlakyBytes : body.size();
    auto sent = std::make_shared<size_t>(0);
    response.set_content_provider(
        body.size(), "image/jpeg",
        [this, name, body, sent, cutAfter, midway, trickles](size_t offset, size_t length,
                                                             httplib::DataSink& sink) {
            if (*sent >= cutAfter) {
                // The host stops the plug-in; the line stays until the stop has taken hold.
                if (midway) {
                    midway();
                    std::this_thread::sleep_for(std::chrono::milliseconds(200));
                }
                // A trickle sends nothing more until the client gives up.
                for (int i = 0; trickles && i < 100 && sink.is_writable(); ++i)
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                return false;
            }
            const size_t piece = std::min(length, cutAfter - *sent);
            sink.write(body.data() + offset, piece);
            *sent += piece;
            return true;
        });
}

std::string SimMediaServer::BodyOf(const std::string& name) {
    // A JPEG's opening bytes, then bytes of the name's own.
    std::string body("\xFF\xD8\xFF\xE0", 4);
    for (size_t i = 0; body.size() < 2048; ++i)
        body.push_back(static_cast<char>(name[i % name.size()] ^ static_cast<char>(i * 31)));
    return body;
}

}  // namespace pixolune::life
