#include "ui/account_check.h"

#include "service/pixolune_client.h"

namespace pixolune::ui {
namespace {

constexpr int kTooManyRedirects = 47;  // the transfer library's code for a redirect loop

bool IsHttpStatus(int code) {
    return code >= 100 && code <= 599;
}

// What a failed query tells about the token. A reply that arrived but held
// no account is the service's failure too: the token was not refused.
void ClassifyFailure(const CPixoluneClient& client, AccountCheckResult& result) {
    const int code = ResultCode(client.LastResult);
    if (code == 400 || code == 401) {
        result.failure = AccountCheckFailure::Refused;
        result.failureDetail = "HTTP status " + std::to_string(code);
    } else if (client.LastResult == RetrievalResult::Ok) {
        result.failure = AccountCheckFailure::ServiceFailed;
        result.failureDetail = "a reply without the account";
    } else if (IsHttpStatus(code)) {
        result.failure = AccountCheckFailure::ServiceFailed;
        result.failureDetail = "HTTP status " + std::to_string(code);
    } else if (code == kTooManyRedirects) {
        result.failure = AccountCheckFailure::ServiceFailed;
        result.failureDetail = "too many redirections";
    } else {
        result.failure = AccountCheckFailure::Unreachable;
        result.failureDetail = RetrievalFailureText(client.LastResult, client.LastTransferCode);
    }
}

}  // namespace

CancellableAccountChecker ServiceAccountChecker() {
    return [](const std::string& token, const CancelQuery& cancelled) {
        AccountCheckResult result;
        RetrievalOptions retrieval;
        retrieval.shouldAbort = cancelled;
        CPixoluneClient client(token, MediaKinds{}, retrieval);
        result.ok = client.QueryUser(result.fullName, result.userName) == QueryResult::Ok;
        result.lastError = client.LastError;
        if (!result.ok) ClassifyFailure(client, result);
        return result;
    };
}

}  // namespace pixolune::ui
