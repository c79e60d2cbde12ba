#pragma once

#include <cstdint>

#include "model/configuration_values.h"

namespace pixolune::ui {

// Message 5's dialog runner: shows the main settings dialog modally on the
// values, owned by the host's window when it names one; true after OK, with
// the values replaced by the dialog's.
[[nodiscard]] bool RunConfigurationDialog(ConfigurationValues& values, int hostVariant,
                                          intptr_t ownerWindow);

}  // namespace pixolune::ui
