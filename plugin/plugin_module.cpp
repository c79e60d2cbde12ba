#include "plugin/plugin_module.h"

#include "plugin/app.h"

#if PIXOLUNE_WITH_UI
#include "ui/configuration_dialog.h"
#endif

namespace pixolune {

void WireModule(CPixoluneApp& app) {
#if PIXOLUNE_WITH_UI
    app.SetConfigurationDialogRunner(ui::RunConfigurationDialog);
#else
    (void)app;
#endif
}

}  // namespace pixolune
