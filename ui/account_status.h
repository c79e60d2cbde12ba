#pragma once

#include <functional>
#include <optional>
#include <string>

namespace pixolune::ui {

// What the account query answered for a token.
struct AccountCheckResult {
    bool ok = false;
    std::string fullName;
    std::string userName;
    std::string lastError;  // shown to the user on failure; may be empty
};

// Asks the service who a token belongs to; blocks until the answer is there.
using AccountChecker = std::function<AccountCheckResult(const std::string& token)>;

// The same query, told to give up early when `cancelled` turns true (the dialog
// that asked has gone); it then fails like a broken transfer.
using CancelQuery = std::function<bool()>;
using CancellableAccountChecker =
    std::function<AccountCheckResult(const std::string& token, const CancelQuery& cancelled)>;

// How the authorization dialog ended.
struct AuthorizeOutcome {
    bool ok = false;
    std::string token;      // read after OK
    std::string errorText;  // read after Cancel; empty when the user just closed the window
};

// The main dialog's authorization state: its token copy and the status text.
struct AccountState {
    std::string token;
    std::string status;
};

// The state and an optional message box text after a step.
struct AccountStep {
    AccountState state;
    std::optional<std::string> message;
};

// Before the dialog appears: text 32 with a pending check, or text 28.
[[nodiscard]] AccountState InitialAccountState(const std::string& token);
[[nodiscard]] bool NeedsDeferredAccountCheck(const std::string& token);

// The account check of a token: text 29 on success; on failure the token is
// cleared, text 28 shown and the client's error text given for a message box.
[[nodiscard]] AccountStep CheckAccount(const std::string& token, const AccountChecker& checker);

// The second half of CheckAccount, for a check that ran elsewhere.
[[nodiscard]] AccountStep AccountStepFor(const std::string& token,
                                         const AccountCheckResult& result);

// What "Authorize..." does with the authorization dialog's outcome without
// asking the service: the step, or nothing when `outcome.token` must be checked.
[[nodiscard]] std::optional<AccountStep> AuthorizeStepWithoutCheck(const AuthorizeOutcome& outcome,
                                                                   const AccountState& current);

// What "Authorize..." does with the authorization dialog's outcome.
[[nodiscard]] AccountStep AfterAuthorize(const AuthorizeOutcome& outcome,
                                         const AccountState& current,
                                         const AccountChecker& checker);

}  // namespace pixolune::ui
