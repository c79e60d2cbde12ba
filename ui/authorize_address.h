#pragma once

#include <string>

namespace pixolune::ui {

// The service's OAuth authorize page; PIXOLUNE_OAUTH_BASE names another one
// (the local stand-in service in tests and the demo).
inline constexpr const char* kDefaultOAuthAuthorizeUrl =
    "https://api.pixolune.com/oauth/authorize/";
// The maker's redirect page, where the token arrives in the address;
// PIXOLUNE_OAUTH_REDIRECT names another one.
inline constexpr const char* kDefaultOAuthRedirectUrl = "http://www.torvane.com/ir.php";

[[nodiscard]] std::string OAuthRedirectAddress();

// "<base>?client_id=<id>&redirect_uri=<redirect>&response_type=token"; the
// redirect address goes in verbatim, and no scope or state is sent.
[[nodiscard]] std::string BuildAuthorizeAddress(const std::string& authorizeBase,
                                                const std::string& clientId,
                                                const std::string& redirectAddress);

// The address the login dialog opens for a host variant.
[[nodiscard]] std::string AuthorizeAddressForHost(int hostVariant);

}  // namespace pixolune::ui
