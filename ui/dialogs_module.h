#pragma once

#include <cstddef>
#include <cstdint>

#include "generated/pixolune_version.h"
#include "kaleidra/kal_plugin_api.h"
#include "model/configuration_values.h"

namespace pixolune::ui {

// The dialogs live in a module of their own (Qt and its web engine are most
// of a running process's memory), which the plug-in loads the first time a
// dialog is asked for. This header is all the two share; the plug-in never
// links the module.
inline constexpr const char* kDialogsModuleFileName = "libpixolune_dialogs.so";
inline constexpr const char* kDialogsModuleEntryName = "pixolune_dialogs_configure";

// What message 5 hands the module: the values to edit (replaced by the
// dialog's when it ends with OK) and the host's callback for the module's log
// lines, which it keeps apart from the plug-in's.
struct DialogsModuleCall {
    // First, where a module of any build finds them: the call passes C++
    // records, so a module built from other sources must refuse it.
    const char* version = PIXOLUNE_VERSION_STRING;
    size_t callSize = sizeof(DialogsModuleCall);
    size_t valuesSize = sizeof(ConfigurationValues);

    ConfigurationValues* values = nullptr;
    int hostVariant = 0;
    intptr_t ownerWindow = 0;
    HostCallback hostCallback = nullptr;
};

// 1 when the dialog ended with OK, 0 otherwise; never throws.
using DialogsModuleEntry = int (*)(DialogsModuleCall* call);

}  // namespace pixolune::ui
