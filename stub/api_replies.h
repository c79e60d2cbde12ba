#pragma once

#include <json/json.h>

#include <string>
#include <vector>

#include "stub/scenario.h"

namespace pixolune::stub {

// One page of a feed, with the members the client reads and a few it must
// ignore (id, created_time, link, other resolutions).
struct FeedPageRequest {
    std::string baseUrl;  // http(s)://127.0.0.1:PORT
    std::string apiPath;  // e.g. "/v1/tags/city%20lights/media/recent", already encoded
    std::string feedKey;  // for the item ids
    const std::vector<ScenarioItem>* items = nullptr;
    size_t offset = 0;
    int pageSize = 20;
    std::string token;
    bool withNextUrl = true;
};

Json::Value FeedPage(const FeedPageRequest& request);
Json::Value AccountReply(const Account& account);
Json::Value ErrorReply(int code, const std::string& type, const std::string& message);

// The URL a scenario item is served at, "{base}" replaced.
std::string ItemUrl(const std::string& baseUrl, const ScenarioItem& item);
// <base>/media/<name> with every path segment of the name percent-encoded.
std::string MediaUrl(const std::string& baseUrl, const std::string& name);

// Replaces members by values of the wrong JSON type, as named by variant
// (see the list in the stub's README).
void ApplyWrongTypes(Json::Value& root, const std::string& variant);

std::string ToJson(const Json::Value& value);

}  // namespace pixolune::stub
