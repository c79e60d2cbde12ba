#pragma once

#include <optional>
#include <string>

namespace pixolune::stub {

struct StubOptions {
    int port = 0;
    int publicPort = 0;  // the port in the addresses handed out (a relay's); 0 = port
    bool https = false;
    std::string certFile;
    std::string keyFile;
    std::string scenarioFile;
    std::string generateSpec;
    double exitAfterSeconds = 0;
    bool verbose = false;
    bool help = false;
};

// Parses the command line; on a mistake returns nothing and fills error.
[[nodiscard]] std::optional<StubOptions> ParseStubOptions(int argc, const char* const* argv,
                                                          std::string& error);

const char* StubUsage();

}  // namespace pixolune::stub
