#include "ui/authorize_address.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>

#include "service/service_addresses.h"

namespace pixolune::ui {
namespace {

constexpr size_t kStateBytes = 16;  // 128 bits

std::string FromEnvironment(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value && *value ? value : fallback;
}

}  // namespace

std::string OAuthRedirectAddress() {
    return FromEnvironment("PIXOLUNE_OAUTH_REDIRECT", kDefaultOAuthRedirectUrl);
}

std::string BuildAuthorizeAddress(const std::string& authorizeBase, const std::string& clientId,
                                  const std::string& redirectAddress, const std::string& state) {
    return authorizeBase + "?client_id=" + clientId + "&redirect_uri=" + redirectAddress +
           "&response_type=token&state=" + state;
}

std::string AuthorizeAddressForHost(int hostVariant, const std::string& state) {
    return BuildAuthorizeAddress(OAuthAuthorizeUrl(), ClientId(hostVariant), OAuthRedirectAddress(),
                                 state);
}

namespace {

bool FillRandom(unsigned char* bytes, size_t size) {
    size_t filled = 0;
    while (filled < size) {
        const ssize_t got = ::getrandom(bytes + filled, size - filled, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) break;
        filled += static_cast<size_t>(got);
    }
    if (filled == size) return true;
    std::ifstream urandom("/dev/urandom", std::ios::binary);
    return static_cast<bool>(urandom.read(reinterpret_cast<char*>(bytes), static_cast<long>(size)));
}

}  // namespace

std::string NewSignInState() {
    unsigned char bytes[kStateBytes];
    // Without randomness no sign-in can be told from a forged one: no state, no sign-in.
    if (!FillRandom(bytes, sizeof(bytes))) return {};
    static const char kHex[] = "0123456789abcdef";
    std::string state;
    for (const unsigned char byte : bytes) {
        state.push_back(kHex[byte >> 4]);
        state.push_back(kHex[byte & 0x0f]);
    }
    return state;
}

}  // namespace pixolune::ui
