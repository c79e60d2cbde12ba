#include "stub/stub_service.h"

#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <stdexcept>

#include "stub/api_replies.h"
#include "stub/client_socket.h"
#include "stub/feed_routes.h"
#include "stub/url_text.h"

namespace pixolune::stub {
namespace {

// Stalled and trickling replies each hold a thread; tests run several at once.
constexpr size_t kServerThreads = 32;
// What servers commonly listen with (nginx: 511).
constexpr int kListenBacklog = 511;
constexpr size_t kMaxRequestBody = 16 << 20;
// How often a stalled reply looks whether its client is still there.
constexpr std::chrono::milliseconds kClientCheckInterval{100};
constexpr const char* kJsonType = "application/json; charset=utf-8";
constexpr const char* kHtmlType = "text/html; charset=utf-8";

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool EndsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The tag in a raw path made from `pattern` ("%s" for the percent-encoded tag),
// decoded; none when the path is not one of the pattern's.
std::optional<std::string> TagOfPath(const std::string& rawPath, const std::string& pattern) {
    const size_t at = pattern.find("%s");
    const std::string prefix = pattern.substr(0, at);
    const std::string suffix = pattern.substr(at + 2);
    if (rawPath.size() <= prefix.size() + suffix.size()) return std::nullopt;
    if (!StartsWith(rawPath, prefix) || !EndsWith(rawPath, suffix)) return std::nullopt;
    const std::string segment =
        rawPath.substr(prefix.size(), rawPath.size() - prefix.size() - suffix.size());
    if (segment.find('/') != std::string::npos) return std::nullopt;
    return PercentDecode(segment);
}

std::string PathWithTag(const std::string& pattern, const std::string& encodedTag) {
    const size_t at = pattern.find("%s");
    return pattern.substr(0, at) + encodedTag + pattern.substr(at + 2);
}

size_t OffsetParam(const httplib::Request& request) {
    std::string text = request.get_param_value("max_id");
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return 0;
    return static_cast<size_t>(std::strtoull(text.c_str(), nullptr, 10));
}

Json::Value ControlError(const std::string& message) {
    Json::Value root;
    root["error"] = message;
    return root;
}

Json::Value ControlOk() {
    Json::Value root;
    root["ok"] = true;
    return root;
}

Reply StatusFaultReply(const Fault& fault, Reply normal) {
    Reply reply;
    bool redirect = fault.status >= 300 && fault.status < 400;
    if (fault.body) {
        reply = TextReply(fault.status,
                          fault.contentType.empty() ? kJsonType : fault.contentType.c_str(),
                          *fault.body);
    } else if (redirect) {
        reply = std::move(normal);
        reply.status = fault.status;
    } else if (fault.status == 429) {
        reply = JsonReply(429, ErrorReply(429, "OAuthRateLimitException",
                                          "The maximum number of requests per hour has been "
                                          "exceeded."));
    } else {
        reply = JsonReply(fault.status,
                          ErrorReply(fault.status, "ServerError", "Injected server error"));
    }
    if (!fault.location.empty()) reply.headers.emplace("Location", fault.location);
    if (fault.retryAfterSeconds >= 0) {
        reply.headers.emplace("Retry-After", std::to_string(fault.retryAfterSeconds));
    }
    return reply;
}

Reply RedirectReply(const std::string& location) {
    Reply reply = TextReply(
        302, kHtmlType,
        "<html><body>Moved to <a href=\"" + HtmlEscape(location) + "\">here</a></body></html>");
    reply.headers.emplace("Location", location);
    return reply;
}

Reply RunsReply(std::vector<RepeatedBody::Run> runs) {
    Reply reply;
    reply.body = std::make_shared<RepeatedBody>(std::move(runs));
    return reply;
}

Reply DeepNestingReply(const Fault& fault) {
    std::string open = fault.nestObjects ? "{\"a\":" : "[";
    std::string inner = fault.nestObjects ? "1" : "";
    std::string close = fault.nestObjects ? "}" : "]";
    return RunsReply({{"{\"meta\":{\"code\":200},\"data\":", 1},
                      {open, fault.depth},
                      {inner, 1},
                      {close, fault.depth},
                      {"}", 1}});
}

Reply HugeReply(const Fault& fault) {
    const std::string head = "{\"meta\":{\"code\":200},\"data\":[],\"padding\":\"";
    const std::string tail = "\"}";
    uint64_t frame = head.size() + tail.size();
    return RunsReply({{head, 1}, {"x", fault.bytes > frame ? fault.bytes - frame : 0}, {tail, 1}});
}

Reply NulReply(const Fault& fault, const Reply& normal) {
    std::string text = ReadAll(*BodyOf(normal));
    if (fault.nulInMiddle) {
        text.insert(text.size() / 2, 1, '\0');
    } else {
        text += std::string(1, '\0') + "{\"meta\":{\"code\":500}}";
    }
    return TextReply(normal.status, normal.contentType, std::move(text));
}

Reply TruncatedReply(Reply normal) {
    auto whole = BodyOf(normal);
    uint64_t half = whole->Size() / 2;
    normal.json.reset();
    normal.body = std::make_shared<PrefixBody>(whole, half);
    return normal;
}

bool HasBody(const httplib::Request& request) {
    return request.has_header("Content-Length") || request.has_header("Transfer-Encoding");
}

}  // namespace

StubService::StubService(Scenario scenario, ServiceOptions options)
    : options_(std::move(options)), scenario_(std::move(scenario)) {
    if (options_.https) {
        server_ = std::make_unique<httplib::SSLServer>(options_.certFile.c_str(),
                                                       options_.keyFile.c_str());
    } else {
        server_ = std::make_unique<httplib::Server>();
    }
    if (!server_->is_valid()) {
        throw std::runtime_error("cannot load certificate " + options_.certFile + " or key " +
                                 options_.keyFile);
    }
}

StubService::~StubService() {
    Shutdown();
}

int StubService::Start(int port) {
    // httplib takes ownership of the queue and deletes it after listening.
    server_->new_task_queue = [] {
        return std::make_unique<httplib::ThreadPool>(kServerThreads).release();
    };
    // Real servers keep a connection for a thousand requests or so; so does the stand-in.
    server_->set_keep_alive_max_count(1000);
    server_->set_keep_alive_timeout(2);
    // As real servers do: without it a reply's body, written after its
    // headers, waits for the client's delayed acknowledgement (40 ms) once a
    // kept-alive connection has left its quick-acknowledgement start.
    server_->set_tcp_nodelay(true);
    server_->set_payload_max_length(kMaxRequestBody);
    server_->set_pre_routing_handler(
        [this](const httplib::Request& request, httplib::Response& response) {
            // Requests with a body go to the POST routes, which read it first.
            if (request.method == "POST" || request.method == "PUT" || request.method == "PATCH") {
                // A control POST that announces no body (`curl -X POST`) has an empty
                // one; the server library would refuse it with 400 before any route.
                if (!HasBody(request) && StartsWith(PathOfTarget(request.target), "/_control/")) {
                    Dispatch(request, response);
                    return httplib::Server::HandlerResponse::Handled;
                }
                return httplib::Server::HandlerResponse::Unhandled;
            }
            Dispatch(request, response);
            return httplib::Server::HandlerResponse::Handled;
        });
    auto dispatch = [this](const httplib::Request& request, httplib::Response& response) {
        Dispatch(request, response);
    };
    // A control body is read as it comes, whatever its content type: `curl -d`
    // sends it as a form, which httplib would refuse over 8 KB.
    server_->Post(
        "/_control/[a-z/-]+", [this](const httplib::Request& request, httplib::Response& response,
                                     const httplib::ContentReader& reader) {
            if (request.is_multipart_form_data()) {
                SendReply(JsonReply(415, ControlError("send the body as it is, not multipart")),
                          response);
                return;
            }
            httplib::Request withBody = request;
            reader([&withBody](const char* data, size_t size) {
                withBody.body.append(data, size);
                return true;
            });
            Dispatch(withBody, response);
        });
    server_->Post("/oauth/authorize/?", dispatch);
    if (options_.verbose) {
        server_->set_logger([](const httplib::Request& request, const httplib::Response& response) {
            std::fprintf(stderr, "pixolune-stub: %s %s -> %d\n", request.method.c_str(),
                         request.target.c_str(), response.status);
        });
    }
    // httplib listens with a backlog of 5, and the kernel drops the rest of
    // a burst of connections (a proxy in front opening 16 at once), which
    // come a second later; the socket listens again with a server's backlog.
    server_->set_socket_options([this](socket_t socket) {
        httplib::default_socket_options(socket);
        listeningSocket_ = socket;
    });
    port_ = port == 0 ? server_->bind_to_any_port("127.0.0.1")
                      : (server_->bind_to_port("127.0.0.1", port) ? port : -1);
    if (port_ <= 0) throw std::runtime_error("cannot bind 127.0.0.1:" + std::to_string(port));
    if (listeningSocket_ >= 0) ::listen(listeningSocket_, kListenBacklog);
    {
        std::lock_guard<std::mutex> lock(runningMutex_);
        running_ = true;
    }
    serverThread_ = std::thread([this] {
        server_->listen_after_bind();
        {
            std::lock_guard<std::mutex> lock(runningMutex_);
            running_ = false;
        }
        runningChanged_.notify_all();
    });
    return port_;
}

void StubService::Shutdown() {
    shutdown_.Set();
    if (!serverThread_.joinable()) return;
    std::unique_lock<std::mutex> lock(runningMutex_);
    // The listening loop may not have started yet; stop() only works once it has.
    while (running_) {
        if (server_->is_running()) {
            server_->stop();
            runningChanged_.wait(lock, [this] { return !running_; });
            break;
        }
        runningChanged_.wait_for(lock, std::chrono::milliseconds(10), [this] { return !running_; });
    }
    lock.unlock();
    serverThread_.join();
}

std::string StubService::BaseUrl() const {
    return std::string(options_.https ? "https" : "http") +
           "://127.0.0.1:" + std::to_string(options_.publicPort > 0 ? options_.publicPort : port_);
}

void StubService::Dispatch(const httplib::Request& request, httplib::Response& response) {
    std::string rawPath = PathOfTarget(request.target);
    try {
        if (StartsWith(rawPath, "/_control/")) {
            AnswerWhole(request);
            SendReply(ControlReply(request, rawPath), response);
            return;
        }
        {
            std::lock_guard<std::mutex> lock(requestsMutex_);
            requests_.emplace_back(request.method, request.target);
            clientPorts_.insert(request.remote_port);
        }
        Serve(request, rawPath, response);
    } catch (const std::exception& error) {
        AnswerWhole(request);
        SendReply(TextReply(500, "text/plain", std::string("stub error: ") + error.what()),
                  response);
    }
}

void StubService::Serve(const httplib::Request& request, const std::string& rawPath,
                        httplib::Response& response) {
    std::optional<Fault> fault = faults_.Take(rawPath, request.path);
    if (!fault) {
        SendRanged(request, NormalReply(request, rawPath), response);
        return;
    }
    // Only a cut-short reply answers a Range; every other fault is sent whole.
    if (fault->mode != FaultMode::kDropMidBody) AnswerWhole(request);
    if (options_.verbose) {
        std::fprintf(stderr, "pixolune-stub: fault on %s\n", request.target.c_str());
    }
    ServeWithFault(*fault, request, rawPath, response);
}

void StubService::ServeWithFault(const Fault& fault, const httplib::Request& request,
                                 const std::string& rawPath, httplib::Response& response) {
    switch (fault.mode) {
        case FaultMode::kStall:
            Stall(fault, request, rawPath, response);
            return;
        case FaultMode::kStatus:
            SendReply(StatusFaultReply(fault, NormalReply(request, rawPath)), response);
            return;
        case FaultMode::kTrickle:
            SendTrickled(NormalReply(request, rawPath), std::chrono::milliseconds(fault.intervalMs),
                         shutdown_, response);
            return;
        case FaultMode::kDropMidBody: {
            Reply normal = NormalReply(request, rawPath);
            normal.body = BodyOf(normal);
            normal.json.reset();
            const uint64_t half = normal.body->Size() / 2;
            SendCutShort(request, std::move(normal), fault.sentBytes.value_or(half), response);
            return;
        }
        case FaultMode::kMalformedJson:
            SendReply(TextReply(200, kJsonType,
                                "{\"meta\": {\"code\": 200}, \"data\": [{\"type\": \"image\", "
                                "\"images\": {\"standard_resolution\": {\"url\": 'broken' }}},, ]"),
                      response);
            return;
        case FaultMode::kTruncatedJson:
            SendReply(TruncatedReply(NormalReply(request, rawPath)), response);
            return;
        case FaultMode::kWrongTypes: {
            Reply reply = NormalReply(request, rawPath);
            if (reply.json) ApplyWrongTypes(*reply.json, fault.variant);
            SendReply(reply, response);
            return;
        }
        case FaultMode::kDeepNesting:
            SendReply(DeepNestingReply(fault), response);
            return;
        case FaultMode::kNextUrlLoop: {
            Reply reply = NormalReply(request, rawPath);
            if (reply.json && reply.json->isObject()) {
                (*reply.json)["pagination"]["next_url"] = BaseUrl() + request.target;
            }
            SendReply(reply, response);
            return;
        }
        case FaultMode::kHugeReply:
            SendReply(HugeReply(fault), response);
            return;
        case FaultMode::kRedirectLoop:
            SendReply(RedirectReply(BaseUrl() + request.target), response);
            return;
        case FaultMode::kRedirectTo:
            SendReply(RedirectReply(fault.location), response);
            return;
        case FaultMode::kEndlessBody:
            SendEndless(shutdown_, response, StartsWith(rawPath, "/media/"));
            return;
        case FaultMode::kEmptyBody:
            SendReply(TextReply(200, kJsonType, ""), response);
            return;
        case FaultMode::kNulInBody:
            SendReply(NulReply(fault, NormalReply(request, rawPath)), response);
            return;
    }
}

Reply StubService::NormalReply(const httplib::Request& request, const std::string& rawPath) {
    if (rawPath == "/v1" || StartsWith(rawPath, "/v1/")) return ApiReply(request, rawPath);
    if (StartsWith(rawPath, "/media/")) return MediaReply(rawPath);
    if (rawPath == "/oauth/authorize/" || rawPath == "/oauth/authorize") return OAuthReply(request);
    if (rawPath == "/ir.php") {
        return TextReply(200, kHtmlType,
                         "<!DOCTYPE html>\n<html><head><title>Done</title></head><body><p>You "
                         "may close this window.</p></body></html>\n");
    }
    return TextReply(404, "text/plain", "not found");
}

Reply StubService::ApiReply(const httplib::Request& request, const std::string& rawPath) {
    std::shared_ptr<const Scenario> scenario = scenario_.Current();
    const Account* account = scenario->FindByToken(request.get_param_value("access_token"));
    if (!account) {
        return JsonReply(400, ErrorReply(400, "OAuthAccessTokenException",
                                         "The access_token provided is invalid."));
    }
    if (request.path == "/v1/users/self/" || request.path == "/v1/users/self") {
        return JsonReply(200, AccountReply(*account));
    }
    return FeedReply(request, rawPath, *scenario, *account);
}

Reply StubService::FeedReply(const httplib::Request& request, const std::string& rawPath,
                             const Scenario& scenario, const Account& account) {
    static const std::vector<ScenarioItem> kNoItems;
    FeedPageRequest page;
    page.baseUrl = BaseUrl();
    page.pageSize = scenario.pageSize;
    page.token = account.token;
    page.offset = OffsetParam(request);
    for (const StubFeed& row : kStubFeeds) {
        const std::string path = kApiRoot + std::string(row.apiPath);
        if (row.takesTags) {
            const std::optional<std::string> tag = TagOfPath(rawPath, path);
            if (!tag) continue;
            auto items = scenario.tags.find(*tag);
            page.items = items == scenario.tags.end() ? &kNoItems : &items->second;
            page.apiPath = PathWithTag(path, PercentEncode(*tag));
            page.feedKey = "tag_" + *tag;
            return JsonReply(200, FeedPage(page));
        }
        if (request.path != path) continue;
        auto feed = scenario.feeds.find(row.key);
        page.items = feed == scenario.feeds.end() ? &kNoItems : &feed->second;
        page.apiPath = path;
        page.feedKey = row.key;
        if (!row.followsNextUrl) {
            // The client asks the same address again; each answer is the next page.
            page.withNextUrl = false;
            if (!request.has_param("max_id"))
                page.offset = scenario_.TakeRepeatedAskOffset(row.key);
        }
        return JsonReply(200, FeedPage(page));
    }
    return JsonReply(404, ErrorReply(404, "APINotFoundError", "this endpoint does not exist"));
}

Reply StubService::MediaReply(const std::string& rawPath) {
    std::string name = MediaNameOfRawPath(rawPath.substr(std::string("/media/").size()));
    if (name.empty()) return TextReply(404, "text/plain", "no such media");
    MediaEntry entry = scenario_.MediaOf(name);
    Reply reply;
    reply.contentType = MediaContentType(entry.kind);
    reply.body = MakeMediaBody(entry.kind, name, entry.size);
    // The body follows from these three alone, so they make its validator.
    const std::string identity = name + "|" + std::to_string(static_cast<int>(entry.kind)) + "|" +
                                 (entry.size ? std::to_string(*entry.size) : "natural");
    char etag[32];
    std::snprintf(etag, sizeof(etag), "\"%016zx\"", std::hash<std::string>{}(identity));
    reply.etag = etag;
    return reply;
}

Reply StubService::OAuthReply(const httplib::Request& request) {
    std::shared_ptr<const Scenario> scenario = scenario_.Current();
    OAuthFlow::Params params(request.params.begin(), request.params.end());
    OAuthAnswer answer = request.method == "POST" ? oauth_.Submit(params, *scenario)
                                                  : oauth_.Authorize(params, *scenario);
    Reply reply = TextReply(answer.status, kHtmlType, answer.html);
    if (!answer.location.empty()) reply.headers.emplace("Location", answer.location);
    return reply;
}

void StubService::Stall(const Fault& fault, const httplib::Request& request,
                        const std::string& rawPath, httplib::Response& response) {
    const auto wait =
        fault.stallSeconds > 0
            ? std::chrono::milliseconds(static_cast<long long>(fault.stallSeconds * 1000))
            : std::chrono::hours(24 * 366);
    const auto until = std::chrono::steady_clock::now() + wait;
    const ClientSocket client(request.remote_addr, request.remote_port, port_);
    for (;;) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        // The wait is cut into slices to look at the client in between: a
        // stall whose client left would hold its thread to the end.
        const bool stopping = shutdown_.WaitFor(std::min(left, kClientCheckInterval));
        if (stopping || client.Gone()) {
            Reply closing = TextReply(503, "text/plain", "shutting down");
            closing.headers.emplace("Connection", "close");
            SendReply(closing, response);
            return;
        }
    }
    SendReply(NormalReply(request, rawPath), response);
}

Reply StubService::ControlReply(const httplib::Request& request, const std::string& rawPath) {
    bool post = request.method == "POST";
    try {
        if (rawPath == "/_control/fault" && post) {
            faults_.Add(ParseFault(request.body));
            return JsonReply(200, ControlOk());
        }
        if (rawPath == "/_control/faults/clear" && post) {
            faults_.Clear();
            return JsonReply(200, ControlOk());
        }
        if (rawPath == "/_control/scenario" && post) {
            // An empty body brings back the built-in scenario.
            scenario_.Replace(request.body.empty() ? DefaultScenario()
                                                   : ParseScenario(request.body));
            return JsonReply(200, ControlOk());
        }
        if (rawPath == "/_control/requests" && !post) {
            Json::Value list(Json::arrayValue);
            std::lock_guard<std::mutex> lock(requestsMutex_);
            for (const auto& [method, target] : requests_) {
                Json::Value entry;
                entry["method"] = method;
                entry["target"] = target;
                list.append(entry);
            }
            return JsonReply(200, list);
        }
        if (rawPath == "/_control/connections" && !post) {
            Json::Value answer;
            std::lock_guard<std::mutex> lock(requestsMutex_);
            answer["connections"] = Json::UInt64(clientPorts_.size());
            return JsonReply(200, answer);
        }
        if (rawPath == "/_control/requests/clear" && post) {
            std::lock_guard<std::mutex> lock(requestsMutex_);
            requests_.clear();
            clientPorts_.clear();
            return JsonReply(200, ControlOk());
        }
        if (rawPath == "/_control/media-size" && !post) {
            std::string name = RemoveDotSegments(request.get_param_value("name"));
            MediaEntry entry = scenario_.MediaOf(name);
            Json::Value answer;
            answer["name"] = name;
            answer["size"] = Json::UInt64(MakeMediaBody(entry.kind, name, entry.size)->Size());
            return JsonReply(200, answer);
        }
        if (rawPath == "/_control/oauth-clients" && !post) {
            Json::Value list(Json::arrayValue);
            for (const auto& id : oauth_.ClientIdsSeen()) list.append(id);
            return JsonReply(200, list);
        }
    } catch (const std::runtime_error& error) {
        return JsonReply(400, ControlError(error.what()));
    }
    return JsonReply(404,
                     ControlError("unknown control endpoint " + request.method + " " + rawPath));
}

}  // namespace pixolune::stub
