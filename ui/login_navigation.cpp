#include "ui/login_navigation.h"

#include <optional>
#include <vector>

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

constexpr const char kStateName[] = "state=";
constexpr size_t kStateNameLength = sizeof(kStateName) - 1;

bool StartsParameter(const std::string& address, size_t at) {
    return at > 0 && (address[at - 1] == '?' || address[at - 1] == '&' || address[at - 1] == '#');
}

// Takes every "state" parameter out of the address, query and fragment alike,
// and keeps their values: the token's own rule (everything after its marker)
// must not swallow a state that the service puts after it. Each parameter
// goes with one of the separators around it.
std::string WithoutState(std::string address, std::vector<std::string>& states) {
    size_t from = 0;
    for (size_t at = address.find(kStateName); at != std::string::npos;
         at = address.find(kStateName, from)) {
        if (!StartsParameter(address, at)) {
            from = at + 1;
            continue;
        }
        size_t end = address.find_first_of("&#", at + kStateNameLength);
        if (end == std::string::npos) end = address.size();
        states.push_back(address.substr(at + kStateNameLength, end - at - kStateNameLength));
        address.erase(at, end - at);
        if (at < address.size() && address[at] == '&') {
            address.erase(at, 1);
        } else if (address[at - 1] == '&') {
            address.erase(at - 1, 1);
        }
        from = at - 1;
    }
    return address;
}

bool CarriesState(const std::vector<std::string>& states, const std::string& expected) {
    if (expected.empty() || states.empty()) return false;
    for (const std::string& state : states)
        if (state != expected) return false;
    return true;
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

AddressVerdict ExamineLoginAddress(const std::string& address, const LoginSites& sites,
                                   const std::string& state) {
    std::vector<std::string> states;
    AddressVerdict verdict = ExamineAddress(WithoutState(address, states));
    switch (verdict.kind) {
        case AddressVerdict::Kind::None:
        case AddressVerdict::Kind::Foreign:
            return verdict;
        case AddressVerdict::Kind::Authorized:
            if (IsRedirectAddress(address, sites) && CarriesState(states, state)) return verdict;
            return AddressVerdict{AddressVerdict::Kind::Foreign, "", ""};
        case AddressVerdict::Kind::Refused:
            // Another site's page cannot end the sign-in, not even with a refusal.
            if (OnServiceHost(address, sites)) return verdict;
            return AddressVerdict{};
    }
    return AddressVerdict{};
}

}  // namespace pixolune::ui
