#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace pixolune::stub {

// One media element of a feed as the scenario describes it; the reply JSON is
// built from it when a page is asked for.
struct ScenarioItem {
    std::string type = "image";
    std::string media;  // served at /media/<media>
    std::string url;    // used verbatim instead of media, "{base}" replaced
    std::optional<std::string> caption;
    std::string captionFrom;
    std::string user;
    std::optional<uint64_t> size;
};

struct Account {
    std::string token;
    std::string username;
    std::string fullName;
    std::string id;
    std::string password = "secret";
};

struct Scenario {
    int pageSize = 20;
    std::vector<Account> accounts;
    // By the key of each feed of kStubFeeds that takes no tags.
    std::map<std::string, std::vector<ScenarioItem>> feeds;
    std::map<std::string, std::vector<ScenarioItem>> tags;  // by tag

    [[nodiscard]] const Account* FindByToken(const std::string& token) const;
    [[nodiscard]] const Account* FindByUsername(const std::string& username) const;
};

// Throws std::runtime_error naming what is wrong.
Scenario ParseScenario(const std::string& json);

// "items=N,seed=S[,videos=K][,media_size=BYTES]": N items in every feed and in
// the tags "sunset" and "beach", K of each N videos, the same seed always
// giving the same scenario. Throws std::runtime_error on a bad spec.
Scenario GenerateScenario(const std::string& spec);

Scenario DefaultScenario();

}  // namespace pixolune::stub
