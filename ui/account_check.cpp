#include "ui/account_check.h"

#include "service/pixolune_client.h"

namespace pixolune::ui {

AccountChecker ServiceAccountChecker() {
    return [](const std::string& token) {
        AccountCheckResult result;
        CPixoluneClient client(token);
        result.ok = client.QueryUser(result.fullName, result.userName) == 1;
        result.lastError = client.LastError;
        return result;
    };
}

}  // namespace pixolune::ui
