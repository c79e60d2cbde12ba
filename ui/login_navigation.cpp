#include "ui/login_navigation.h"

#include <optional>

#include "platform/ascii.h"
#include "platform/url_parts.h"
#include "service/service_addresses.h"
#include "ui/authorize_address.h"

namespace pixolune::ui {
namespace {

// The parts of a web address, or nothing for anything that is not http or https.
std::optional<platform::UrlParts> WebAddress(const std::string& address) {
    std::optional<platform::UrlParts> parts = platform::ParseUrl(address);
    if (!parts || (parts->scheme != "http" && parts->scheme != "https") || parts->host.empty())
        return std::nullopt;
    parts->host = platform::AsciiLowered(parts->host);
    return parts;
}

std::string PathWithoutQuery(const platform::UrlParts& parts) {
    return parts.objectPath.substr(0, parts.objectPath.find('?'));
}

bool OnServiceHost(const std::string& address, const LoginSites& sites) {
    const auto parts = WebAddress(address);
    if (!parts) return false;
    for (const std::string* site : {&sites.authorizeAddress, &sites.redirectAddress}) {
        const auto own = WebAddress(*site);
        if (own && own->host == parts->host) return true;
    }
    return false;
}

}  // namespace

LoginSites ConfiguredLoginSites() {
    return {OAuthAuthorizeUrl(), OAuthRedirectAddress()};
}

bool IsRedirectAddress(const std::string& address, const LoginSites& sites) {
    const auto parts = WebAddress(address);
    const auto redirect = WebAddress(sites.redirectAddress);
    return parts && redirect && parts->scheme == redirect->scheme &&
           parts->host == redirect->host && parts->port == redirect->port &&
           PathWithoutQuery(*parts) == PathWithoutQuery(*redirect);
}

bool MayNavigate(const std::string& address, const LoginSites& sites) {
    return OnServiceHost(address, sites);
}

std::string HostOf(const std::string& address) {
    const auto parts = platform::ParseUrl(address);
    return parts ? platform::AsciiLowered(parts->host) : std::string();
}

AddressVerdict ExamineLoginAddress(const std::string& address, const LoginSites& sites) {
    AddressVerdict verdict = ExamineAddress(address);
    switch (verdict.kind) {
        case AddressVerdict::Kind::None:
        case AddressVerdict::Kind::Foreign:
            return verdict;
        case AddressVerdict::Kind::Authorized:
            if (IsRedirectAddress(address, sites)) return verdict;
            return AddressVerdict{AddressVerdict::Kind::Foreign, "", ""};
        case AddressVerdict::Kind::Refused:
            // Another site's page cannot end the sign-in, not even with a refusal.
            if (OnServiceHost(address, sites)) return verdict;
            return AddressVerdict{};
    }
    return AddressVerdict{};
}

}  // namespace pixolune::ui
