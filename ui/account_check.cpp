#include "ui/account_check.h"

#include "service/pixolune_client.h"

namespace pixolune::ui {

CancellableAccountChecker ServiceAccountChecker() {
    return [](const std::string& token, const CancelQuery& cancelled) {
        AccountCheckResult result;
        RetrievalOptions retrieval;
        retrieval.shouldAbort = cancelled;
        CPixoluneClient client(token, MediaKinds{}, retrieval);
        result.ok = client.QueryUser(result.fullName, result.userName) == QueryResult::Ok;
        result.lastError = client.LastError;
        return result;
    };
}

}  // namespace pixolune::ui
