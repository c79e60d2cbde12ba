#pragma once

#include <functional>
#include <optional>
#include <string>

#include "ui/dialog_texts.h"
#include "ui/redirect_examiner.h"

namespace pixolune::ui {

// Why an account check failed. Only Refused says anything about the token.
enum class AccountCheckFailure {
    Unreachable,    // no answer: the network, a refused connection, a time-out
    ServiceFailed,  // an answer, but not one about the token: 5xx, a redirect loop, no data
    Refused,        // the service refused the token (400, 401)
};

// What the account query answered for a token.
struct AccountCheckResult {
    bool ok = false;
    std::string fullName;
    std::string userName;
    std::string lastError;  // the client's failure text; may be empty
    AccountCheckFailure failure = AccountCheckFailure::Unreachable;  // when !ok
    std::string failureDetail;  // what failed, as "HTTP status 503" or "Couldn't connect to server"
};

// Asks the service who a token belongs to; blocks until the answer is there.
using AccountChecker = std::function<AccountCheckResult(const std::string& token)>;

// The same query, told to give up early when `cancelled` turns true (the dialog
// that asked has gone); it then fails like a broken transfer.
using CancelQuery = std::function<bool()>;
using CancellableAccountChecker =
    std::function<AccountCheckResult(const std::string& token, const CancelQuery& cancelled)>;

// The main dialog's authorization state: its token copy and the status text.
struct AccountState {
    std::string token;
    UiText status;
};

// The state and an optional message box text after a step.
struct AccountStep {
    AccountState state;
    std::optional<UiText> message;
};

// Before the dialog appears: text 32 with a pending check, or text 28.
[[nodiscard]] AccountState InitialAccountState(const std::string& token);
[[nodiscard]] bool NeedsDeferredAccountCheck(const std::string& token);

// The account check of a token: text 29 on success. A refused token is
// cleared and text 28 shown; any other failure (no answer, the service's own
// failure) keeps the token, as a login is not lost to a bad minute of the
// network. Every failure says what failed in a message box.
[[nodiscard]] AccountStep CheckAccount(const std::string& token, const AccountChecker& checker);

// The second half of CheckAccount, for a check that ran elsewhere.
[[nodiscard]] AccountStep AccountStepFor(const std::string& token,
                                         const AccountCheckResult& result);

// How the authorization dialog ended is the verdict on the address that ended
// it: Authorized with the token, Refused with the service's text, None when
// the user closed the window.

// What "Authorize..." does with how the authorization dialog ended without
// asking the service: the step, or nothing when `ending.token` must be checked.
[[nodiscard]] std::optional<AccountStep> AuthorizeStepWithoutCheck(const AddressVerdict& ending,
                                                                   const AccountState& current);

// What "Authorize..." does with how the authorization dialog ended.
[[nodiscard]] AccountStep AfterAuthorize(const AddressVerdict& ending, const AccountState& current,
                                         const AccountChecker& checker);

}  // namespace pixolune::ui
