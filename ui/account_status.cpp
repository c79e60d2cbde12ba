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

AccountStep AccountStepFor(const std::string& token, const AccountCheckResult& result) {
    if (result.ok)
        return {{token, AuthenticatedAsText(result.fullName, result.userName)}, std::nullopt};
    switch (result.failure) {
        case AccountCheckFailure::Refused:
            return {{"", kTextNotAuthenticated}, UiText(kTextSignInRefused)};
        case AccountCheckFailure::ServiceFailed:
            return {{token, kTextAccountNotChecked},
                    UiText(kTextServiceFailed, {{result.failureDetail}})};
        case AccountCheckFailure::Unreachable:
            break;
    }
    return {{token, kTextAccountNotChecked},
            UiText(kTextServiceUnreachable, {{result.failureDetail}})};
}

AccountStep CheckAccount(const std::string& token, const AccountChecker& checker) {
    if (!HasToken(token)) return {{"", kTextNotAuthenticated}, std::nullopt};
    return AccountStepFor(token, checker(token));
}

std::optional<AccountStep> AuthorizeStepWithoutCheck(const AddressVerdict& ending,
                                                     const AccountState& current) {
    if (ending.kind != AddressVerdict::Kind::Authorized) {
        // A refusal or a closed window keeps the token the dialog had.
        if (ending.errorText.empty()) return AccountStep{current, std::nullopt};
        return AccountStep{current, UiText(ending.errorText, {})};
    }
    if (!HasToken(ending.token)) return AccountStep{{"", kTextNotAuthenticated}, std::nullopt};
    return std::nullopt;
}

AccountStep AfterAuthorize(const AddressVerdict& ending, const AccountState& current,
                           const AccountChecker& checker) {
    if (auto step = AuthorizeStepWithoutCheck(ending, current)) return *step;
    return CheckAccount(ending.token, checker);
}

}  // namespace pixolune::ui
