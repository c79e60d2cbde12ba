#include "stub/api_replies.h"

#include <algorithm>
#include <cctype>
#include <functional>
#include <memory>
#include <sstream>

#include "stub/url_text.h"

namespace pixolune::stub {
namespace {

constexpr long long kFirstCreatedTime = 1700000000;

std::string UsernameOf(const std::string& fullName) {
    std::string name;
    for (char c : fullName) {
        if (std::isalnum(static_cast<unsigned char>(c))) {
            name.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
        }
    }
    return name.empty() ? "someone" : name;
}

Json::Value Person(const std::string& fullName) {
    Json::Value person;
    person["full_name"] = fullName;
    person["username"] = UsernameOf(fullName);
    person["id"] = std::to_string(std::hash<std::string>()(fullName) % 100000);
    return person;
}

Json::Value Resolution(const std::string& url, int size) {
    Json::Value resolution;
    resolution["url"] = url;
    resolution["width"] = size;
    resolution["height"] = size;
    return resolution;
}

bool IsType(const ScenarioItem& item, const char* type) {
    std::string lower = item.type;
    for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower == type;
}

Json::Value ItemJson(const FeedPageRequest& request, size_t index, const ScenarioItem& item) {
    Json::Value element;
    std::string id = request.feedKey + "_" + std::to_string(index);
    element["id"] = id;
    element["type"] = item.type;
    element["created_time"] =
        std::to_string(kFirstCreatedTime - 60 * static_cast<long long>(index));
    element["link"] = request.baseUrl + "/p/" + PercentEncode(id) + "/";
    element["likes"]["count"] = static_cast<int>(index % 17);
    std::string url = ItemUrl(request.baseUrl, item);
    if (IsType(item, "video")) {
        // A video carries a cover picture too; the client must take "videos".
        std::string cover = MediaUrl(request.baseUrl, "cover-" + id + ".jpg");
        element["images"]["standard_resolution"] = Resolution(cover, 640);
        element["videos"]["standard_resolution"] = Resolution(url, 640);
        element["videos"]["low_bandwidth"] = Resolution(url, 480);
    } else {
        element["images"]["standard_resolution"] = Resolution(url, 640);
        element["images"]["thumbnail"] = Resolution(url, 150);
    }
    if (item.caption) {
        element["caption"]["text"] = *item.caption;
        element["caption"]["from"] = Person(item.captionFrom);
        element["caption"]["id"] = id + "_caption";
    } else {
        element["caption"] = Json::Value::null;
    }
    element["user"] = Person(item.user);
    return element;
}

void ForEachElement(Json::Value& root, void (*change)(Json::Value&)) {
    if (!root.isObject() || !root["data"].isArray()) return;
    for (auto& element : root["data"]) {
        if (element.isObject()) change(element);
    }
}

}  // namespace

std::string MediaUrl(const std::string& baseUrl, const std::string& name) {
    std::string path;
    size_t start = 0;
    while (true) {
        size_t slash = name.find('/', start);
        path +=
            PercentEncode(name.substr(start, slash == std::string::npos ? slash : slash - start));
        if (slash == std::string::npos) break;
        path.push_back('/');
        start = slash + 1;
    }
    return baseUrl + "/media/" + path;
}

std::string ItemUrl(const std::string& baseUrl, const ScenarioItem& item) {
    if (item.url.empty()) return MediaUrl(baseUrl, item.media);
    std::string url = item.url;
    const std::string placeholder = "{base}";
    for (size_t at = url.find(placeholder); at != std::string::npos;
         at = url.find(placeholder, at + baseUrl.size())) {
        url.replace(at, placeholder.size(), baseUrl);
    }
    return url;
}

Json::Value FeedPage(const FeedPageRequest& request) {
    Json::Value root;
    root["meta"]["code"] = 200;
    root["data"] = Json::Value(Json::arrayValue);
    const auto& items = *request.items;
    size_t end = std::min(items.size(), request.offset + static_cast<size_t>(request.pageSize));
    for (size_t i = request.offset; i < end; ++i) {
        root["data"].append(ItemJson(request, i, items[i]));
    }
    root["pagination"] = Json::Value(Json::objectValue);
    if (request.withNextUrl && end < items.size()) {
        root["pagination"]["next_url"] = request.baseUrl + request.apiPath +
                                         "?access_token=" + PercentEncode(request.token) +
                                         "&max_id=" + std::to_string(end);
        root["pagination"]["next_max_id"] = std::to_string(end);
    }
    return root;
}

Json::Value AccountReply(const Account& account) {
    Json::Value root;
    root["meta"]["code"] = 200;
    root["data"]["username"] = account.username;
    if (!account.fullName.empty()) root["data"]["full_name"] = account.fullName;
    root["data"]["id"] = account.id;
    root["data"]["profile_picture"] = "";
    root["data"]["counts"]["media"] = 3;
    return root;
}

Json::Value ErrorReply(int code, const std::string& type, const std::string& message) {
    Json::Value root;
    root["meta"]["code"] = code;
    root["meta"]["error_type"] = type;
    root["meta"]["error_message"] = message;
    return root;
}

void ApplyWrongTypes(Json::Value& root, const std::string& variant) {
    if (variant == "code_string") {
        root["meta"]["code"] = "200";
    } else if (variant == "code_object") {
        Json::Value code(Json::objectValue);
        code["value"] = 200;
        root["meta"]["code"] = code;
    } else if (variant == "meta_array") {
        root["meta"] = Json::Value(Json::arrayValue);
        root["meta"].append(200);
    } else if (variant == "data_object") {
        root["data"] = Json::Value(Json::objectValue);
    } else if (variant == "data_string") {
        root["data"] = "data";
    } else if (variant == "top_array") {
        Json::Value array(Json::arrayValue);
        array.append(root);
        root = array;
    } else if (variant == "caption_string") {
        ForEachElement(root, [](Json::Value& e) { e["caption"] = "text"; });
    } else if (variant == "images_array") {
        ForEachElement(root, [](Json::Value& e) {
            for (const char* kind : {"images", "videos"}) {
                e[kind] = Json::Value(Json::arrayValue);
                e[kind].append(1);
            }
        });
    } else if (variant == "url_number") {
        ForEachElement(root, [](Json::Value& e) {
            for (const char* kind : {"images", "videos"}) {
                if (e.isMember(kind)) e[kind]["standard_resolution"]["url"] = 7;
            }
        });
    } else if (variant == "user_string") {
        ForEachElement(root, [](Json::Value& e) {
            e["user"] = "someone";
            if (e["caption"].isObject()) e["caption"]["from"] = "someone";
        });
    } else if (variant == "next_url_number") {
        root["pagination"]["next_url"] = 7;
    } else if (variant == "names_not_strings") {
        ForEachElement(root, [](Json::Value& e) {
            e["type"] = 1;
            e["user"]["full_name"] = Json::Value(Json::objectValue);
            if (e["caption"].isObject()) e["caption"]["text"] = 5;
        });
        if (root["data"].isObject()) {
            root["data"]["username"] = 7;
            root["data"]["full_name"] = Json::Value(Json::arrayValue);
        }
    }
}

std::string ToJson(const Json::Value& value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    return Json::writeString(builder, value);
}

}  // namespace pixolune::stub
