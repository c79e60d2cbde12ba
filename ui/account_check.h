#pragma once

#include "ui/account_status.h"

namespace pixolune::ui {

// The account query of the service client, one client per check.
[[nodiscard]] AccountChecker ServiceAccountChecker();

}  // namespace pixolune::ui
