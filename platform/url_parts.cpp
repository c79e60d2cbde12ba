#include "url_parts.h"

#include <cstdlib>
#include <memory>

#include "platform/curl_library.h"

namespace pixolune::platform {
namespace {

struct CurlUrlDeleter {
    void operator()(CURLU* url) const { Curl()->url_cleanup(url); }
};
using CurlUrl = std::unique_ptr<CURLU, CurlUrlDeleter>;

struct CurlTextDeleter {
    void operator()(char* text) const { Curl()->free_text(text); }
};
using CurlText = std::unique_ptr<char, CurlTextDeleter>;

std::optional<std::string> Part(CURLU* url, CURLUPart part, unsigned flags = 0) {
    char* raw = nullptr;
    if (Curl()->url_get(url, part, &raw, flags) != CURLUE_OK) return std::nullopt;
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
    // Without libcurl no address can be read: every caller refuses what it cannot read.
    const CurlFunctions* curl = Curl();
    if (!curl) return std::nullopt;
    CurlUrl handle(curl->url());
    if (!handle) return std::nullopt;
    if (curl->url_set(handle.get(), CURLUPART_URL, url.c_str(),
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
