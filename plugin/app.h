#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "engine/feed_engine.h"
#include "model/configuration_values.h"
#include "model/plugin_settings.h"

namespace pixolune {

// The application object: one for the life of the loaded library.
class CPixoluneApp {
  public:
    CPixoluneApp();
    ~CPixoluneApp();
    CPixoluneApp(const CPixoluneApp&) = delete;
    CPixoluneApp& operator=(const CPixoluneApp&) = delete;

    // The exported handler's work; never throws.
    int HandleMessage(int code, intptr_t param1, intptr_t param2);

    void SetConfigurationDialogRunner(ConfigurationDialogRunner runner);

    PluginSettings Settings;
    CFeedEngine Engine{Settings};

  private:
    // Message 9: opens the health record of this host variant and starts the worker.
    void StartWorker();
    int WriteVersionText(char* buffer) const;
    int Configure(intptr_t ownerWindow);
    int Save();
    int Load();
    int SetHostVariant(intptr_t variant);
    int Enabled(intptr_t setFlag, intptr_t value);

    using Live = EngineConfiguration::Live;
    // Runs `access` on the values the worker shares, under their lock, and
    // returns its result: the one way this object reads or replaces them.
    template <typename Access>
    auto Locked(Access&& access) {
        return Engine.Configuration().Change(std::forward<Access>(access));
    }

    ConfigurationDialogRunner dialogRunner_;
    // The token as the last load or save left it, touched only inside Locked: a save
    // tells from it whether an empty token was cleared by the user.
    std::string tokenAtLoad_;
};

}  // namespace pixolune
