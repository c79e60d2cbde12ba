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

// "<base>?client_id=<id>&redirect_uri=<redirect>&response_type=token&state=<state>";
// the redirect address goes in verbatim, and no scope is sent.
[[nodiscard]] std::string BuildAuthorizeAddress(const std::string& authorizeBase,
                                                const std::string& clientId,
                                                const std::string& redirectAddress,
                                                const std::string& state);

// The address the login dialog opens for a host variant and one sign-in's state.
[[nodiscard]] std::string AuthorizeAddressForHost(int hostVariant, const std::string& state);

// A fresh `state` for one sign-in: 128 bits from the kernel's random source,
// as 32 lower-case hexadecimal digits. The redirect must bring it back, so a
// page that sends the browser to the redirect address with a token of its own
// choice signs nobody in (the OAuth rule against cross-site request forgery).
// Empty when the system has no random source: the sign-in then never completes.
[[nodiscard]] std::string NewSignInState();

}  // namespace pixolune::ui
