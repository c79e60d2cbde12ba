#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "stub/scenario.h"

namespace pixolune::stub {

// What the authorize page answers: a page to show or a redirect.
struct OAuthAnswer {
    int status = 200;
    std::string html;
    std::string location;  // set for a redirect
};

// The implicit grant as the service plays it: login form, consent page, then a
// redirect carrying the token in the fragment or the refusal in the query,
// each with the client's `state` echoed after it.
class OAuthFlow {
  public:
    static constexpr const char* kClientIds[] = {"7c1e9d30b6a24f58a0d3e2b9c4f61a87",
                                                 "d93b02f7e5c84a1fb6e07d25a9c3e418"};

    using Params = std::multimap<std::string, std::string>;

    OAuthAnswer Authorize(const Params& query, const Scenario& scenario);
    OAuthAnswer Submit(const Params& form, const Scenario& scenario);

    // Every client_id seen on the authorize page, oldest first.
    std::vector<std::string> ClientIdsSeen();

  private:
    struct Grant {
        std::string token;
        std::string redirectUri;
        std::string state;
    };

    OAuthAnswer CheckRequest(const std::string& clientId, const std::string& redirectUri,
                             const std::string& responseType, const std::string& state);
    OAuthAnswer Login(const Params& form, const Scenario& scenario);
    OAuthAnswer Consent(const Params& form);
    std::string NewTicket();

    std::mutex mutex_;  // guards clientIdsSeen_, grants_
    std::vector<std::string> clientIdsSeen_;
    std::map<std::string, Grant> grants_;  // by consent ticket
};

}  // namespace pixolune::stub
