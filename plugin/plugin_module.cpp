#include "plugin/plugin_module.h"

#include "plugin/app.h"

namespace pixolune {

void WireModule(CPixoluneApp& /*app*/) {}

}  // namespace pixolune
