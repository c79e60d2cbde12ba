#include "service/service_addresses.h"

#include <cstdlib>

namespace pixolune {
namespace {

std::string FromEnvironment(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value && *value ? std::string(value) : std::string(fallback);
}

}  // namespace

std::string ApiBaseUrl() {
    std::string base = FromEnvironment("PIXOLUNE_API_BASE", kApiBaseUrl);
    while (!base.empty() && base.back() == '/') base.pop_back();
    return base;
}

std::string OAuthAuthorizeUrl() {
    return FromEnvironment("PIXOLUNE_OAUTH_BASE", kOAuthAuthorizeUrl);
}

}  // namespace pixolune
