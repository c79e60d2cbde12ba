#include "ui/account_check.h"

#if PIXOLUNE_HAVE_SERVICE
#include "service/pixolune_client.h"
#endif

namespace pixolune::ui {

AccountChecker ServiceAccountChecker() {
    return [](const std::string& token) {
        AccountCheckResult result;
#if PIXOLUNE_HAVE_SERVICE
        CPixoluneClient client(token);
        result.ok = client.QueryUser(result.fullName, result.userName) == 1;
        result.lastError = client.LastError;
#else
        (void)token;
        result.lastError = "The Pixolune service client is missing from this build";
#endif
        return result;
    };
}

}  // namespace pixolune::ui
