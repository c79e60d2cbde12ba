#include "plugin/plugin_module.h"

#include <memory>

#include "plugin/app.h"

#if PIXOLUNE_WITH_UI
#include "plugin/dialogs_loader.h"
#endif

namespace pixolune {

void WireModule(CPixoluneApp& app) {
#if PIXOLUNE_WITH_UI
    // The module goes with the application object, and Qt with it.
    auto dialogs = std::make_shared<DialogsLoader>(DialogsModuleCandidates(OwnLibraryFolder()));
    app.SetConfigurationDialogRunner(
        [dialogs](ConfigurationValues& values, int hostVariant, intptr_t ownerWindow) {
            return dialogs->RunConfigurationDialog(values, hostVariant, ownerWindow);
        });
#else
    (void)app;
#endif
}

}  // namespace pixolune
