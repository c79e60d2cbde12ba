#pragma once

#include "ui/account_status.h"

namespace pixolune::ui {

// The account query of the service client, one client per check; a cancel
// ends its transfer within about a second.
[[nodiscard]] CancellableAccountChecker ServiceAccountChecker();

}  // namespace pixolune::ui
