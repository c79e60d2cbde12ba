#pragma once

#include <string>

#include "ui/redirect_examiner.h"

namespace pixolune::ui {

// The two addresses the sign-in may touch: the service's authorize page and
// the redirect page where the token arrives.
struct LoginSites {
    std::string authorizeAddress;
    std::string redirectAddress;
};

// The sites of this run: the configured authorize and redirect addresses.
[[nodiscard]] LoginSites ConfiguredLoginSites();

// True when `address` is the redirect page itself: same scheme, host (in any
// case), port and path; query and fragment may differ. Only there may a token
// end the sign-in.
[[nodiscard]] bool IsRedirectAddress(const std::string& address, const LoginSites& sites);

// True when the sign-in window may load `address`: http or https on the host
// of the authorize page or of the redirect page. Everything else (other
// sites, file:, data:, javascript:) is refused.
[[nodiscard]] bool MayNavigate(const std::string& address, const LoginSites& sites);

// The host of `address`, as the window names the page it shows; empty when
// the address has none.
[[nodiscard]] std::string HostOf(const std::string& address);

// ExamineAddress for the sign-in window's main frame: a token counts only on
// the redirect page and only with this sign-in's `state` (every "state"
// parameter of the address equal to it, none missing); an error counts only on
// the service's own hosts. The state parameters are taken out before the
// token is read. A token anywhere else, or without the state, gives
// Kind::Foreign: it is dropped and the sign-in did not complete. An empty
// `state` takes no token at all.
[[nodiscard]] AddressVerdict ExamineLoginAddress(const std::string& address,
                                                 const LoginSites& sites, const std::string& state);

}  // namespace pixolune::ui
