#pragma once

// Test support for every suite that talks to the stand-in service.
//
//   pixolune::test::StubServer stub;                 // default scenario
//   std::string api = stub.ApiBase();               // http://127.0.0.1:PORT/v1
//   stub.SetFault(R"({"path":"/v1/users/self/feed","mode":"status","status":500,"count":1})");
//   auto seen = stub.Requests();                     // "/v1/users/self/feed?access_token=..."
//
// The default scenario has the token "tok-alice" (alice / secret, "Alice
// Example"); stub/README.md describes scenarios, faults and control endpoints.
//
// The stub is killed when the thread that started it ends (so that no test
// leaves one running): make it on the thread that outlives its use, not inside
// a short-lived std::thread or std::async. With PIXOLUNE_STUB_VERBOSE set in
// the environment every stub logs its requests to stderr.

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace pixolune::test {

// One pixolune-stub process on 127.0.0.1 with a port the OS picked, started by
// the constructor and stopped by the destructor. Control calls throw
// std::runtime_error when the stub does not accept them.
class StubServer {
  public:
    struct Options {
        std::string scenarioJson;  // empty: the stub's default scenario
        bool https = false;
        std::string certFile, keyFile;  // for https, e.g. from MakeTestCertificate
        std::vector<std::string>
            extraArgs;  // e.g. {"--verbose"} or {"--generate", "items=40,seed=1"}
    };

    StubServer();
    explicit StubServer(Options options);  // throws std::runtime_error when the stub does not start
    ~StubServer();                         // SIGTERM, wait; SIGKILL after 5 s
    StubServer(const StubServer&) = delete;
    StubServer& operator=(const StubServer&) = delete;

    int Port() const { return port_; }
    std::string BaseUrl() const;    // http(s)://127.0.0.1:PORT
    std::string ApiBase() const;    // BaseUrl() + "/v1"
    std::string OAuthBase() const;  // BaseUrl() + "/oauth/authorize/"

    // Adds a fault (a JSON object, see stub/README.md); faults are tried in the
    // order they were added.
    void SetFault(const std::string& faultJson);
    void ClearFaults();
    // Replaces the scenario at once; also restarts the popular list. An empty
    // text brings back the stub's built-in default scenario.
    void SetScenario(const std::string& scenarioJson);
    // Request targets (path?query) received so far, oldest first, control calls left out.
    std::vector<std::string> Requests();
    void ClearRequests();  // also restarts ConnectionsUsed
    // Client connections that carried service requests (control calls left out).
    int ConnectionsUsed();
    // The exact number of bytes GET /media/<name> serves (name decoded, as in the scenario).
    long long MediaSize(const std::string& name);
    // The client_id of every authorize request seen, oldest first.
    std::vector<std::string> OAuthClientIds();

  private:
    std::string Control(const std::string& method, const std::string& target,
                        const std::string& body);

    Options options_;
    TempDir dir_;
    std::unique_ptr<ChildProcess> process_;
    int port_ = 0;
};

// Writes a self-signed certificate for 127.0.0.1 (SAN IP:127.0.0.1) and its
// key into dir with the openssl command; returns {certPath, keyPath}. The
// certificate is its own CA, so it can be given to a client as the CA bundle.
std::pair<std::string, std::string> MakeTestCertificate(const std::string& dir);

}  // namespace pixolune::test
