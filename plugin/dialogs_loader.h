#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "model/configuration_values.h"
#include "ui/dialogs_module.h"

namespace pixolune {

// Message 5's dialogs, from the dialogs' module: loaded the first time a
// dialog is asked for, so that the worker, the settings and the health record
// never bring Qt into the host, and kept until this object goes (with the
// plug-in), since Qt's web engine cannot start a second time in a process.
class DialogsLoader {
  public:
    // Where the module may be, in the order it is looked for.
    explicit DialogsLoader(std::vector<std::string> candidates);
    ~DialogsLoader();
    DialogsLoader(const DialogsLoader&) = delete;
    DialogsLoader& operator=(const DialogsLoader&) = delete;

    // Shows the configuration dialog; true after OK, with the values replaced.
    // False too when the module is missing or cannot be loaded: one line says
    // why, and the next call tries again.
    [[nodiscard]] bool RunConfigurationDialog(ConfigurationValues& values, int hostVariant,
                                              intptr_t ownerWindow);

  private:
    struct LibraryCloser {
        void operator()(void* library) const;
    };

    [[nodiscard]] bool Load();

    std::vector<std::string> candidates_;
    std::unique_ptr<void, LibraryCloser> library_;
    ui::DialogsModuleEntry entry_ = nullptr;
};

// Where the plug-in whose library lies in `pluginFolder` looks for the
// dialogs' module: its private folder, then beside itself (a build tree).
[[nodiscard]] std::vector<std::string> DialogsModuleCandidates(const std::string& pluginFolder);

// The folder of the library (or program) this code was loaded from.
[[nodiscard]] std::string OwnLibraryFolder();

}  // namespace pixolune
