#include "stub/stub_options.h"

#include <cstdlib>
#include <functional>
#include <map>

namespace pixolune::stub {
namespace {

bool ParseInt(const std::string& text, int low, int high, int& out) {
    char* end = nullptr;
    long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || value < low || value > high) return false;
    out = static_cast<int>(value);
    return true;
}

bool ParseSeconds(const std::string& text, double& out) {
    char* end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(value >= 0)) return false;
    out = value;
    return true;
}

}  // namespace

std::optional<StubOptions> ParseStubOptions(int argc, const char* const* argv, std::string& error) {
    StubOptions options;
    using ValueSetter = std::function<bool(const std::string&)>;
    const std::map<std::string, ValueSetter> withValue = {
        {"--port", [&](const std::string& v) { return ParseInt(v, 0, 65535, options.port); }},
        {"--public-port",
         [&](const std::string& v) { return ParseInt(v, 1, 65535, options.publicPort); }},
        {"--cert",
         [&](const std::string& v) {
             options.certFile = v;
             return !v.empty();
         }},
        {"--key",
         [&](const std::string& v) {
             options.keyFile = v;
             return !v.empty();
         }},
        {"--scenario",
         [&](const std::string& v) {
             options.scenarioFile = v;
             return !v.empty();
         }},
        {"--generate",
         [&](const std::string& v) {
             options.generateSpec = v;
             return !v.empty();
         }},
        {"--exit-after",
         [&](const std::string& v) { return ParseSeconds(v, options.exitAfterSeconds); }},
    };
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        if (argument == "--https") {
            options.https = true;
        } else if (argument == "--verbose") {
            options.verbose = true;
        } else if (argument == "--help" || argument == "-h") {
            options.help = true;
        } else if (auto setter = withValue.find(argument); setter != withValue.end()) {
            if (i + 1 >= argc || !setter->second(argv[i + 1])) {
                error = "bad or missing value for " + argument;
                return std::nullopt;
            }
            ++i;
        } else {
            error = "unknown argument " + argument;
            return std::nullopt;
        }
    }
    if (options.https && (options.certFile.empty() || options.keyFile.empty())) {
        error = "--https needs --cert FILE and --key FILE";
        return std::nullopt;
    }
    if (!options.scenarioFile.empty() && !options.generateSpec.empty()) {
        error = "--scenario and --generate exclude each other";
        return std::nullopt;
    }
    return options;
}

const char* StubUsage() {
    return "usage: pixolune-stub [--port N] [--public-port N] [--https --cert FILE --key FILE]\n"
           "                     [--scenario FILE.json | --generate "
           "items=N,seed=S[,videos=K][,media_size=BYTES]]\n"
           "                     [--exit-after SECONDS] [--verbose]\n"
           "Serves a stand-in of the Pixolune service on 127.0.0.1 and prints PORT=<n>.\n";
}

}  // namespace pixolune::stub
