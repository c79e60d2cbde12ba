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

const char* ClientId(int hostVariant) {
    return hostVariant == 1 ? "d93b02f7e5c84a1fb6e07d25a9c3e418"
                            : "7c1e9d30b6a24f58a0d3e2b9c4f61a87";
}

}  // namespace pixolune
