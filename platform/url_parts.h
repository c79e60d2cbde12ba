#pragma once

#include <optional>
#include <string>

namespace pixolune::platform {

// Service codes of a parsed URL, numbered as the desktop URL parser numbers
// them, so that log lines read the same: 3 for http, 4107 for https, 0 for
// every other scheme.
inline constexpr int kServiceHttp = 3;
inline constexpr int kServiceHttps = 4107;
inline constexpr int kServiceOther = 0;

struct UrlParts {
    std::string scheme;  // lower case
    int service = kServiceOther;
    std::string host;
    int port = 0;            // the explicit port, or the scheme's default (0 when unknown)
    std::string objectPath;  // path plus "?" and the query when there is one; as written
};

// Splits an absolute URL with libcurl's URL parser. The path is kept exactly
// as written: no percent decoding and no removal of "." or ".." segments.
// Schemes other than http and https are parsed too (their service is 0).
// Empty when the text is no absolute URL.
[[nodiscard]] std::optional<UrlParts> ParseUrl(const std::string& url);

// The URL without its query and fragment: what stays of a media address when
// the service signs it anew.
[[nodiscard]] inline std::string AddressWithoutQuery(const std::string& url) {
    return url.substr(0, url.find_first_of("?#"));
}

}  // namespace pixolune::platform
