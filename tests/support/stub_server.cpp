#include "tests/support/stub_server.h"

#include <httplib.h>
#include <json/json.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <stdexcept>

#ifndef PIXOLUNE_STUB_PATH
#error "PIXOLUNE_STUB_PATH must name the pixolune-stub program"
#endif

namespace pixolune::test {
namespace {

constexpr auto kStartTimeout = std::chrono::seconds(10);
constexpr auto kStopGrace = std::chrono::seconds(5);
constexpr time_t kControlTimeoutSeconds = 10;

std::string EncodeQueryValue(const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out.push_back(static_cast<char>(c));
        } else {
            out += {'%', kHex[c >> 4], kHex[c & 15]};
        }
    }
    return out;
}

Json::Value ParseJson(const std::string& text) {
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    if (!reader->parse(text.data(), text.data() + text.size(), &root, &errors)) {
        throw std::runtime_error("stub control reply is not JSON: " + errors);
    }
    return root;
}

std::vector<std::string> Strings(const Json::Value& list, const char* member) {
    std::vector<std::string> out;
    for (const auto& entry : list)
        out.push_back(member ? entry[member].asString() : entry.asString());
    return out;
}

}  // namespace

StubServer::StubServer() : StubServer(Options{}) {}

StubServer::StubServer(Options options) : options_(std::move(options)) {
    std::vector<std::string> argv = {PIXOLUNE_STUB_PATH, "--port", "0"};
    if (!options_.scenarioJson.empty()) {
        std::string path = dir_.Path() + "/scenario.json";
        std::ofstream(path, std::ios::binary) << options_.scenarioJson;
        argv.insert(argv.end(), {"--scenario", path});
    }
    if (options_.https) {
        argv.insert(argv.end(),
                    {"--https", "--cert", options_.certFile, "--key", options_.keyFile});
    }
    argv.insert(argv.end(), options_.extraArgs.begin(), options_.extraArgs.end());
    if (std::getenv("PIXOLUNE_STUB_VERBOSE")) argv.push_back("--verbose");
    process_ = std::make_unique<ChildProcess>(argv);
    std::optional<std::string> line = process_->ReadLine(kStartTimeout);
    if (!line || line->rfind("PORT=", 0) != 0) {
        process_->Stop(kStopGrace);
        throw std::runtime_error("pixolune-stub did not start (first line: \"" +
                                 line.value_or("<none>") + "\")");
    }
    port_ = std::stoi(line->substr(5));
}

StubServer::~StubServer() {
    process_->Stop(kStopGrace);
}

std::string StubServer::BaseUrl() const {
    return std::string(options_.https ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_);
}

std::string StubServer::ApiBase() const {
    return BaseUrl() + "/v1";
}

std::string StubServer::OAuthBase() const {
    return BaseUrl() + "/oauth/authorize/";
}

std::string StubServer::Control(const std::string& method, const std::string& target,
                                const std::string& body) {
    httplib::Client client(BaseUrl());
    // The stub's certificate is the test's own: trust exactly that one.
    if (options_.https) client.set_ca_cert_path(options_.certFile.c_str());
    client.set_connection_timeout(kControlTimeoutSeconds);
    client.set_read_timeout(kControlTimeoutSeconds);
    auto result = method == "POST" ? client.Post(target.c_str(), body, "application/json")
                                   : client.Get(target.c_str());
    if (!result) {
        throw std::runtime_error("stub control " + target +
                                 " failed: " + httplib::to_string(result.error()));
    }
    if (result->status != 200) {
        throw std::runtime_error("stub control " + target + " answered " +
                                 std::to_string(result->status) + ": " + result->body);
    }
    return result->body;
}

void StubServer::SetFault(const std::string& faultJson) {
    Control("POST", "/_control/fault", faultJson);
}

void StubServer::ClearFaults() {
    Control("POST", "/_control/faults/clear", "");
}

void StubServer::SetScenario(const std::string& scenarioJson) {
    Control("POST", "/_control/scenario", scenarioJson);
}

std::vector<std::string> StubServer::Requests() {
    return Strings(ParseJson(Control("GET", "/_control/requests", "")), "target");
}

void StubServer::ClearRequests() {
    Control("POST", "/_control/requests/clear", "");
}

int StubServer::ConnectionsUsed() {
    return ParseJson(Control("GET", "/_control/connections", ""))["connections"].asInt();
}

long long StubServer::MediaSize(const std::string& name) {
    Json::Value answer =
        ParseJson(Control("GET", "/_control/media-size?name=" + EncodeQueryValue(name), ""));
    return answer["size"].asInt64();
}

std::vector<std::string> StubServer::OAuthClientIds() {
    return Strings(ParseJson(Control("GET", "/_control/oauth-clients", "")), nullptr);
}

std::pair<std::string, std::string> MakeTestCertificate(const std::string& dir) {
    std::string cert = dir + "/test-cert.pem";
    std::string key = dir + "/test-key.pem";
    ProcessResult result =
        RunProcess({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", key, "-out", cert, "-days",
                    "7", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"},
                   std::chrono::seconds(30));
    if (result.exitCode != 0) {
        throw std::runtime_error("openssl could not make a test certificate: " + result.err);
    }
    return {cert, key};
}

}  // namespace pixolune::test
