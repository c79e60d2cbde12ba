#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace pixolune::stub {

enum class FaultMode {
    kStatus,
    kStall,
    kTrickle,
    kDropMidBody,
    kMalformedJson,
    kTruncatedJson,
    kWrongTypes,
    kDeepNesting,
    kNextUrlLoop,
    kHugeReply,
    kRedirectLoop,
    kRedirectTo,
    kEndlessBody,
    kEmptyBody,
    kNulInBody,
};

// One misbehaviour switched on by a test. Only the members of its mode are
// used; the defaults are chosen so that {"mode":"..."} alone does something
// sensible.
struct Fault {
    std::string pathPrefix;  // requests whose path starts with it; "" = all
    FaultMode mode = FaultMode::kStatus;
    int remaining = -1;                 // requests still to hit; -1 = no limit
    int status = 500;                   // status
    int retryAfterSeconds = -1;         // status: Retry-After header when >= 0 (429 defaults to 1)
    std::string location;               // status 301/302 and redirect_to
    std::optional<std::string> body;    // status: reply text instead of a JSON error
    std::string contentType;            // status: the body's type (JSON when empty)
    double stallSeconds = 0;            // stall: 0 = until shutdown
    int intervalMs = 100;               // trickle: pause before each byte
    std::optional<uint64_t> sentBytes;  // drop_mid_body: bytes sent before the close (half)
    std::string variant = "code_string";  // wrong_types
    uint64_t depth = 100000;              // deep_nesting
    bool nestObjects = false;             // deep_nesting: "{" instead of "["
    uint64_t bytes = 64ull << 20;         // huge_reply
    bool nulInMiddle = false;             // nul_in_body: NUL inside the JSON instead of after it
};

// Throws std::runtime_error for an unknown mode or a member of the wrong type.
Fault ParseFault(const std::string& json);

// The faults in force, first added first tried.
class FaultTable {
  public:
    void Add(Fault fault);
    void Clear();
    // The fault that applies to a request, its count taken down by one. The
    // prefix may be written encoded or decoded, so both forms of the path are tried.
    [[nodiscard]] std::optional<Fault> Take(const std::string& rawPath,
                                            const std::string& decodedPath);

  private:
    std::mutex mutex_;  // guards faults_
    std::vector<Fault> faults_;
};

}  // namespace pixolune::stub
