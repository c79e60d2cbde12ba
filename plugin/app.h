#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "engine/feed_engine.h"
#include "plugin/feed.h"
#include "plugin/plugin_settings.h"

namespace pixolune {

// The values the configuration dialog edits: copies taken on message 5 and
// copied back only when the dialog ends with OK.
struct ConfigurationValues {
    int32_t Enabled = 0;
    int32_t tmUpdate = 0;
    std::string ImgFolder;
    int32_t DwlPhoto = 0;
    int32_t DwlVideo = 0;
    int32_t RestartKal = 0;
    int32_t KpropTitle = 0;
    int32_t KpropDescr = 0;
    int32_t KpropOwner = 0;
    std::string AuthPrefix;
    int32_t OlderDays = 0;
    int32_t OlderHours = 0;
    int32_t FeedsSynch = 0;
    FeedArray Feeds;
    std::string Token;
};

// Shows the configuration dialog modally on the values; true when it ended with OK.
using ConfigurationDialogRunner =
    std::function<bool(ConfigurationValues& values, int hostVariant, intptr_t ownerWindow)>;

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
    int WriteVersionText(char* buffer) const;
    int Configure(intptr_t ownerWindow);
    int Save();
    int Load();
    int SetHostVariant(intptr_t variant);
    int Enabled(intptr_t setFlag, intptr_t value);

    ConfigurationDialogRunner dialogRunner_;
    // The token as the last load or save left it, guarded by Engine.Lock: a save
    // tells from it whether an empty token was cleared by the user.
    std::string tokenAtLoad_;
};

}  // namespace pixolune
