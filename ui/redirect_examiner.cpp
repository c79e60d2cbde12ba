#include "ui/redirect_examiner.h"

#include "ui/dialog_texts.h"
#include "ui/integer_exchange.h"

namespace pixolune::ui {
namespace {

constexpr const char kTokenMarker[] = "access_token=";
constexpr size_t kTokenMarkerLength = sizeof(kTokenMarker) - 1;

// "error=" as a parameter of its own, not the tail of another name such as
// "my_error=": the page's own wording could otherwise end the login.
bool HasErrorParameter(const std::string& address, const std::string& name) {
    for (size_t at = address.find(name); at != std::string::npos; at = address.find(name, at + 1)) {
        if (at == 0) continue;
        const char before = address[at - 1];
        if (before == '?' || before == '&' || before == '#') return true;
    }
    return false;
}

}  // namespace

AddressVerdict ExamineAddress(const std::string& address) {
    AddressVerdict verdict;
    if (HasErrorParameter(address, "error=access_denied")) {
        verdict.kind = AddressVerdict::Kind::Refused;
        verdict.errorText = kTextAuthorizationDenied;
        return verdict;
    }
    if (HasErrorParameter(address, "error=")) {
        verdict.kind = AddressVerdict::Kind::Refused;
        verdict.errorText = kTextAuthorizationError;
        return verdict;
    }
    const size_t at = address.find(kTokenMarker);
    if (at == std::string::npos || at == 0) return verdict;
    verdict.token = TrimWhiteSpace(address.substr(at + kTokenMarkerLength));
    if (verdict.token.empty()) {
        verdict.kind = AddressVerdict::Kind::Refused;
        verdict.errorText = kTextAuthorizationError;
        return verdict;
    }
    verdict.kind = AddressVerdict::Kind::Authorized;
    return verdict;
}

}  // namespace pixolune::ui
