#include "url_parts.h"

#include <curl/curl.h>

#include <cstdlib>
#include <memory>

namespace pixolune::platform {
namespace {

struct CurlUrlDeleter {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
using CurlUrl = std::unique_ptr<CURLU, CurlUrlDeleter>;

struct CurlTextDeleter {
    void operator()(char* text) const { curl_free(text); }
};
using CurlText = std::unique_ptr<char, CurlTextDeleter>;

std::optional<std::string> Part(CURLU* url, CURLUPart part, unsigned flags = 0) {
    char* raw = nullptr;
    if (curl_url_get(url, part, &raw, flags) != CURLUE_OK) return std::nullopt;
    CurlText text(raw);
    return std::string(text.get());
}

int ServiceOf(const std::string& scheme) {
    if (scheme == "http") return kServiceHttp;
    if (scheme == "https") return kServiceHttps;
    return kServiceOther;
}

}  // namespace

std::optional<UrlParts> ParseUrl(const std::string& url) {
    CurlUrl handle(curl_url());
    if (!handle) return std::nullopt;
    if (curl_url_set(handle.get(), CURLUPART_URL, url.c_str(),
                     CURLU_NON_SUPPORT_SCHEME | CURLU_PATH_AS_IS) != CURLUE_OK)
        return std::nullopt;
    UrlParts parts;
    const auto scheme = Part(handle.get(), CURLUPART_SCHEME);
    const auto host = Part(handle.get(), CURLUPART_HOST);
    const auto path = Part(handle.get(), CURLUPART_PATH);
    if (!scheme || !host || !path) return std::nullopt;
    parts.scheme = *scheme;
    parts.service = ServiceOf(parts.scheme);
    parts.host = *host;
    parts.objectPath = *path;
    if (const auto query = Part(handle.get(), CURLUPART_QUERY)) parts.objectPath += "?" + *query;
    if (const auto port = Part(handle.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT))
        parts.port = std::atoi(port->c_str());
    return parts;
}

}  // namespace pixolune::platform
