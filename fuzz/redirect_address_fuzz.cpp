// Arbitrary bytes as the address the login page finished on.
#include <cstddef>
#include <cstdint>
#include <string>

#include "ui/redirect_examiner.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string address(reinterpret_cast<const char*>(data), size);
    const pixolune::ui::AddressVerdict verdict = pixolune::ui::ExamineAddress(address);
    using Kind = pixolune::ui::AddressVerdict::Kind;
    switch (verdict.kind) {
        case Kind::None:
            if (!verdict.token.empty() || !verdict.errorText.empty()) __builtin_trap();
            break;
        case Kind::Refused:
            // A refusal never carries a token on to the settings.
            if (!verdict.token.empty() || verdict.errorText.empty()) __builtin_trap();
            break;
        case Kind::Authorized: {
            if (verdict.token.empty() || !verdict.errorText.empty()) __builtin_trap();
            // The token is a piece of the address after the marker, never invented.
            const size_t marker = address.find("access_token=");
            if (marker == std::string::npos ||
                address.find(verdict.token, marker) == std::string::npos)
                __builtin_trap();
            // An error parameter anywhere wins over the token.
            for (const char* error : {"?error=", "&error=", "#error="})
                if (address.find(error) != std::string::npos) __builtin_trap();
            break;
        }
        case Kind::Foreign:
            // Only the sign-in window's check knows the redirect page and says so.
            __builtin_trap();
    }
    return 0;
}
