#include "stub/scenario.h"

#include <json/json.h>

#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>

#include "stub/feed_routes.h"

namespace pixolune::stub {
namespace {

Json::Value ParseJson(const std::string& text) {
    Json::CharReaderBuilder builder;
    builder["stackLimit"] = 200;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    if (!reader->parse(text.data(), text.data() + text.size(), &root, &errors)) {
        throw std::runtime_error("scenario is not valid JSON: " + errors);
    }
    return root;
}

std::string StringMember(const Json::Value& object, const char* name, const std::string& where) {
    const Json::Value& value = object[name];
    if (value.isNull()) return "";
    if (!value.isString()) throw std::runtime_error(where + "." + name + " must be a string");
    return value.asString();
}

ScenarioItem ParseItem(const Json::Value& value, const std::string& where) {
    if (!value.isObject()) throw std::runtime_error(where + " must be an object");
    ScenarioItem item;
    if (value.isMember("type")) {
        // Any text is allowed, so that elements the client must skip can be served.
        item.type = value["type"].isString() ? value["type"].asString() : "";
    }
    item.media = StringMember(value, "media", where);
    item.url = StringMember(value, "url", where);
    if (item.media.empty() && item.url.empty()) {
        throw std::runtime_error(where + " needs \"media\" or \"url\"");
    }
    if (value.isMember("caption") && !value["caption"].isNull()) {
        item.caption = StringMember(value, "caption", where);
    }
    item.user = StringMember(value, "user", where);
    item.captionFrom =
        value.isMember("caption_from") ? StringMember(value, "caption_from", where) : item.user;
    if (value.isMember("size")) {
        const Json::Value& size = value["size"];
        if (!size.isIntegral() || size.asLargestInt() < 0) {
            throw std::runtime_error(where + ".size must be a non-negative integer");
        }
        item.size = size.asLargestUInt();
    }
    return item;
}

std::vector<ScenarioItem> ParseItems(const Json::Value& value, const std::string& where) {
    if (!value.isArray()) throw std::runtime_error(where + " must be an array");
    std::vector<ScenarioItem> items;
    for (Json::ArrayIndex i = 0; i < value.size(); ++i) {
        items.push_back(ParseItem(value[i], where + "[" + std::to_string(i) + "]"));
    }
    return items;
}

void ParseAccounts(const Json::Value& tokens, Scenario& scenario) {
    if (!tokens.isObject()) throw std::runtime_error("tokens must be an object");
    int number = 0;
    for (const auto& token : tokens.getMemberNames()) {
        const Json::Value& entry = tokens[token];
        std::string where = "tokens." + token;
        if (!entry.isObject()) throw std::runtime_error(where + " must be an object");
        Account account;
        account.token = token;
        account.username = StringMember(entry, "username", where);
        account.fullName = StringMember(entry, "full_name", where);
        account.id =
            entry.isMember("id") ? StringMember(entry, "id", where) : std::to_string(1001 + number);
        if (entry.isMember("password")) account.password = StringMember(entry, "password", where);
        scenario.accounts.push_back(account);
        ++number;
    }
}

void ParseFeeds(const Json::Value& feeds, Scenario& scenario) {
    if (!feeds.isObject()) throw std::runtime_error("feeds must be an object");
    for (const StubFeed& row : kStubFeeds) {
        if (!feeds.isMember(row.key)) continue;
        const std::string where = std::string("feeds.") + row.key;
        if (!row.takesTags) {
            scenario.feeds[row.key] = ParseItems(feeds[row.key], where);
            continue;
        }
        const Json::Value& tags = feeds[row.key];
        if (!tags.isObject()) throw std::runtime_error(where + " must be an object");
        for (const auto& tag : tags.getMemberNames()) {
            scenario.tags[tag] = ParseItems(tags[tag], where + "." + tag);
        }
    }
}

Account DefaultAccount() {
    Account alice;
    alice.token = "tok-alice";
    alice.username = "alice";
    alice.fullName = "Alice Example";
    alice.id = "1001";
    return alice;
}

std::map<std::string, uint64_t> ParseSpec(const std::string& spec) {
    std::map<std::string, uint64_t> values;
    std::stringstream parts(spec);
    std::string part;
    while (std::getline(parts, part, ',')) {
        auto equals = part.find('=');
        if (equals == std::string::npos) throw std::runtime_error("bad --generate part: " + part);
        std::string key = part.substr(0, equals);
        if (key != "items" && key != "seed" && key != "videos" && key != "media_size") {
            throw std::runtime_error("unknown --generate key: " + key);
        }
        std::string number = part.substr(equals + 1);
        if (number.empty() || number.size() > 18 ||
            number.find_first_not_of("0123456789") != std::string::npos) {
            throw std::runtime_error("bad --generate number: " + part);
        }
        values[key] = std::stoull(number);
    }
    if (!values.count("items") || !values.count("seed")) {
        throw std::runtime_error("--generate needs items=N and seed=S");
    }
    return values;
}

std::vector<ScenarioItem> GenerateItems(const std::string& prefix, uint64_t count, uint64_t videos,
                                        std::optional<uint64_t> mediaSize, std::mt19937& random) {
    static const char* const kOwners[] = {"Alice Example", "Bruno Sample", "Chloé Muster",
                                          "Dmitri Probe", "Emi Tameshi"};
    static const char* const kWords[] = {"sunset",   "harbour", "morning", "market",
                                         "mountain", "café",    "river",   "lights"};
    // Raw engine output only: the standard distributions differ between libraries.
    std::vector<bool> isVideo(count, false);
    for (uint64_t placed = 0; placed < videos && placed < count;) {
        uint64_t index = random() % count;
        if (!isVideo[index]) {
            isVideo[index] = true;
            ++placed;
        }
    }
    std::vector<ScenarioItem> items;
    for (uint64_t i = 0; i < count; ++i) {
        ScenarioItem item;
        item.type = isVideo[i] ? "video" : "image";
        item.media = prefix + "-" + std::to_string(i) + (isVideo[i] ? ".mp4" : ".jpg");
        item.user = kOwners[random() % 5];
        item.captionFrom = item.user;
        if (random() % 6 != 0) {
            item.caption = std::string(kWords[random() % 8]) + " " + kWords[random() % 8] + " #" +
                           std::to_string(random() % 1000);
        }
        item.size = mediaSize;
        items.push_back(item);
    }
    return items;
}

ScenarioItem Item(const std::string& type, const std::string& media, const char* caption,
                  const std::string& user) {
    ScenarioItem item;
    item.type = type;
    item.media = media;
    if (caption) item.caption = caption;
    item.user = user;
    item.captionFrom = user;
    return item;
}

}  // namespace

const Account* Scenario::FindByToken(const std::string& token) const {
    for (const auto& account : accounts) {
        if (account.token == token) return &account;
    }
    return nullptr;
}

const Account* Scenario::FindByUsername(const std::string& username) const {
    for (const auto& account : accounts) {
        if (account.username == username) return &account;
    }
    return nullptr;
}

Scenario ParseScenario(const std::string& json) {
    Json::Value root = ParseJson(json);
    if (!root.isObject()) throw std::runtime_error("scenario must be a JSON object");
    Scenario scenario;
    if (root.isMember("page_size")) {
        if (!root["page_size"].isIntegral() || root["page_size"].asLargestInt() < 1 ||
            root["page_size"].asLargestInt() > 10000) {
            throw std::runtime_error("page_size must be an integer from 1 to 10000");
        }
        scenario.pageSize = root["page_size"].asInt();
    }
    if (root.isMember("tokens")) {
        ParseAccounts(root["tokens"], scenario);
    } else {
        scenario.accounts.push_back(DefaultAccount());
    }
    if (root.isMember("feeds")) ParseFeeds(root["feeds"], scenario);
    return scenario;
}

Scenario GenerateScenario(const std::string& spec) {
    auto values = ParseSpec(spec);
    // Every item is held in memory, six lists of them.
    if (values["items"] > 1000000)
        throw std::runtime_error("--generate allows at most 1000000 items");
    std::mt19937 random(static_cast<std::mt19937::result_type>(values["seed"]));
    std::optional<uint64_t> mediaSize;
    if (values.count("media_size")) mediaSize = values["media_size"];
    uint64_t videos = values.count("videos") ? values["videos"] : 0;
    Scenario scenario;
    scenario.accounts.push_back(DefaultAccount());
    for (const StubFeed& row : kStubFeeds) {
        if (row.takesTags) continue;
        scenario.feeds[row.key] =
            GenerateItems(row.key, values["items"], videos, mediaSize, random);
    }
    for (const char* tag : {"sunset", "beach"}) {
        scenario.tags[tag] =
            GenerateItems(std::string("tag-") + tag, values["items"], videos, mediaSize, random);
    }
    return scenario;
}

Scenario DefaultScenario() {
    Scenario scenario;
    scenario.pageSize = 10;
    scenario.accounts.push_back(DefaultAccount());
    Account bob;
    bob.token = "tok-bob";
    bob.username = "bob";
    bob.fullName = "Bob Sample";
    bob.id = "1002";
    bob.password = "hunter2";
    scenario.accounts.push_back(bob);

    auto& feed = scenario.feeds["feed"];
    for (int i = 0; i < 25; ++i) {
        bool video = i % 5 == 4;
        feed.push_back(Item(video ? "video" : "image",
                            "feed-" + std::to_string(i) + (video ? ".mp4" : ".jpg"),
                            i % 3 == 0 ? nullptr : "A day at the harbour", "Bob Sample"));
    }
    scenario.feeds["recent"] = {
        Item("image", "recent-0.jpg", "My first post", "Alice Example"),
        Item("video", "recent-1.mp4", nullptr, "Alice Example"),
        Item("carousel", "recent-2.jpg", "An album, not a photo", "Alice Example")};
    auto& popular = scenario.feeds["popular"];
    for (int i = 0; i < 15; ++i) {
        popular.push_back(Item("image", "popular-" + std::to_string(i) + ".jpg", "Popular today",
                               "Chloé Muster"));
    }
    scenario.feeds["liked"] = {Item("image", "liked-0.jpg", "Liked it", "Dmitri Probe")};
    scenario.tags["sunset"] = {Item("image", "sunset-0.jpg", "Red sky", "Emi Tameshi"),
                               Item("image", "sunset-1.jpg", "Orange sky", "Emi Tameshi")};
    scenario.tags["beach"] = {Item("image", "beach-0.jpg", "Sand", "Bob Sample")};
    scenario.tags["city lights"] = {Item("image", "city-0.jpg", "Night", "Bob Sample")};
    return scenario;
}

}  // namespace pixolune::stub
