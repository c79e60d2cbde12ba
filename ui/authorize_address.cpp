#include "ui/authorize_address.h"

#include <cstdlib>

#include "service/service_addresses.h"

namespace pixolune::ui {
namespace {

std::string FromEnvironment(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value && *value ? value : fallback;
}

}  // namespace

std::string OAuthRedirectAddress() {
    return FromEnvironment("PIXOLUNE_OAUTH_REDIRECT", kDefaultOAuthRedirectUrl);
}

std::string BuildAuthorizeAddress(const std::string& authorizeBase, const std::string& clientId,
                                  const std::string& redirectAddress) {
    return authorizeBase + "?client_id=" + clientId + "&redirect_uri=" + redirectAddress +
           "&response_type=token";
}

std::string AuthorizeAddressForHost(int hostVariant) {
    return BuildAuthorizeAddress(OAuthAuthorizeUrl(), ClientId(hostVariant),
                                 OAuthRedirectAddress());
}

}  // namespace pixolune::ui
