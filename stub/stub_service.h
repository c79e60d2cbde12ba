#pragma once

#include <httplib.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "stub/faults.h"
#include "stub/oauth_flow.h"
#include "stub/reply.h"
#include "stub/scenario_state.h"
#include "stub/shutdown_latch.h"

namespace pixolune::stub {

struct ServiceOptions {
    bool https = false;
    std::string certFile;
    std::string keyFile;
    bool verbose = false;
    int publicPort = 0;  // the port in next_url and media addresses; 0 = the bound one
};

// The stand-in service on 127.0.0.1: API, media, authorize pages, the control
// endpoints for tests, and the faults those switch on.
class StubService {
  public:
    StubService(Scenario scenario, ServiceOptions options);  // throws std::runtime_error
    ~StubService();
    StubService(const StubService&) = delete;
    StubService& operator=(const StubService&) = delete;

    // Binds 127.0.0.1:port (0 = any) and serves on a thread of its own; returns
    // the port. Throws std::runtime_error when the port cannot be bound.
    int Start(int port);
    // Ends every slow reply, stops the server and joins its thread.
    void Shutdown();

  private:
    void Dispatch(const httplib::Request& request, httplib::Response& response);
    void Serve(const httplib::Request& request, const std::string& rawPath,
               httplib::Response& response);
    void ServeWithFault(const Fault& fault, const httplib::Request& request,
                        const std::string& rawPath, httplib::Response& response);
    // Answers nothing until the fault's time is up (then the normal reply), the
    // stub stops or the client leaves (then a 503 that closes the connection).
    void Stall(const Fault& fault, const httplib::Request& request, const std::string& rawPath,
               httplib::Response& response);
    Reply NormalReply(const httplib::Request& request, const std::string& rawPath);
    Reply ApiReply(const httplib::Request& request, const std::string& rawPath);
    Reply FeedReply(const httplib::Request& request, const std::string& rawPath,
                    const Scenario& scenario, const Account& account);
    Reply MediaReply(const std::string& rawPath);
    Reply OAuthReply(const httplib::Request& request);
    Reply ControlReply(const httplib::Request& request, const std::string& rawPath);
    std::string BaseUrl() const;

    ServiceOptions options_;
    std::unique_ptr<httplib::Server> server_;
    int port_ = 0;
    int listeningSocket_ = -1;  // set while the server binds
    ScenarioState scenario_;
    FaultTable faults_;
    OAuthFlow oauth_;
    ShutdownLatch shutdown_;

    std::mutex requestsMutex_;  // guards requests_ and clientPorts_
    std::vector<std::pair<std::string, std::string>> requests_;  // method, target
    // The client ports that service requests came from: one per connection a
    // client opened (control calls left out), so tests can see reuse.
    std::set<int> clientPorts_;

    std::thread serverThread_;
    std::mutex runningMutex_;  // guards running_
    std::condition_variable runningChanged_;
    bool running_ = false;
};

}  // namespace pixolune::stub
