#pragma once

#include <string>

namespace pixolune::ui {

// What a loaded address tells the login dialog.
struct AddressVerdict {
    enum class Kind {
        None,        // keep browsing (login form, consent page, frames)
        Authorized,  // end with OK and the token
        Refused,     // end with Cancel and the error text
        Foreign,     // a token on an address that is not the redirect page: ignored
    };
    Kind kind = Kind::None;
    std::string token;      // Authorized only
    std::string errorText;  // Refused only; never empty then
};

// Examines the address of a finished load. The token is everything after the
// first "access_token=" to the end, trimmed, with no cut at '&' or '#' and no
// decoding. An "error=" parameter anywhere in the address wins over a token,
// and the token is then dropped; a token that is empty after trimming is no
// authorization either.
[[nodiscard]] AddressVerdict ExamineAddress(const std::string& address);

}  // namespace pixolune::ui
