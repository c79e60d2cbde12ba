#pragma once

#include <string>

namespace pixolune {

// The service's API: an https address whose path is /v1, without a trailing slash.
inline constexpr const char* kApiBaseUrl = "https://api.pixolune.com/v1";
// The OAuth authorize page the login dialog opens.
inline constexpr const char* kOAuthAuthorizeUrl = "https://api.pixolune.com/oauth/authorize/";

// kApiBaseUrl, unless the environment variable PIXOLUNE_API_BASE names another
// base (the local stand-in service for tests and the demo); a trailing '/'
// of the override is dropped so that every API path can start with '/'.
[[nodiscard]] std::string ApiBaseUrl();

// kOAuthAuthorizeUrl, unless PIXOLUNE_OAUTH_BASE names another authorize address.
[[nodiscard]] std::string OAuthAuthorizeUrl();

// The OAuth client id for a host variant.
[[nodiscard]] const char* ClientId(int hostVariant);

}  // namespace pixolune
