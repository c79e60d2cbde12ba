// The dialogs' module's one export, called by the plug-in on message 5.
#include <cstring>
#include <exception>
#include <type_traits>

#include "model/host_link.h"
#include "ui/configuration_dialog.h"
#include "ui/dialogs_module.h"

using pixolune::ui::DialogsModuleCall;

extern "C" __attribute__((visibility("default"))) int pixolune_dialogs_configure(
    DialogsModuleCall* call) {
    if (!call || !call->version) return 0;
    pixolune::SetHostCallback(call->hostCallback);
    const DialogsModuleCall ours;
    if (std::strcmp(call->version, ours.version) != 0 || call->callSize != ours.callSize ||
        call->valuesSize != ours.valuesSize || !call->values) {
        pixolune::Log(
            "Configure: the dialogs' module was built apart from the plug-in (version %s, the "
            "plug-in's %s); the settings dialog is not shown",
            ours.version, call->version);
        return 0;
    }
    try {
        return pixolune::ui::RunConfigurationDialog(*call->values, call->hostVariant,
                                                    call->ownerWindow)
                   ? 1
                   : 0;
    } catch (const std::exception& error) {
        pixolune::Log("Configure: %s", error.what());
    } catch (...) {
        pixolune::Log("Configure: unknown exception in the dialogs");
    }
    return 0;
}

static_assert(
    std::is_same_v<decltype(&pixolune_dialogs_configure), pixolune::ui::DialogsModuleEntry>);
