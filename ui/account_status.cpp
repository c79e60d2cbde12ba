#include "ui/account_status.h"

#include "ui/dialog_texts.h"
#include "ui/main_dialog_logic.h"

namespace pixolune::ui {

bool NeedsDeferredAccountCheck(const std::string& token) {
    return HasToken(token);
}

AccountState InitialAccountState(const std::string& token) {
    return {token, HasToken(token) ? kTextAuthenticated : kTextNotAuthenticated};
}

AccountStep CheckAccount(const std::string& token, const AccountChecker& checker) {
    if (!HasToken(token)) return {{"", kTextNotAuthenticated}, std::nullopt};
    const AccountCheckResult result = checker(token);
    if (result.ok)
        return {{token, AuthenticatedAsText(result.fullName, result.userName)}, std::nullopt};
    return {{"", kTextNotAuthenticated}, result.lastError};
}

AccountStep AfterAuthorize(const AuthorizeOutcome& outcome, const AccountState& current,
                           const AccountChecker& checker) {
    if (!outcome.ok) {
        // A refusal or a closed window keeps the token the dialog had.
        if (outcome.errorText.empty()) return {current, std::nullopt};
        return {current, outcome.errorText};
    }
    return CheckAccount(outcome.token, checker);
}

}  // namespace pixolune::ui
