#pragma once

#include <string>

#include "plugin/include/kal_plugin_api.h"

namespace kalhost {

// The plug-in library, loaded with dlopen and unloaded when the object goes.
class PluginModule {
  public:
    explicit PluginModule(const std::string& path);
    ~PluginModule();
    PluginModule(const PluginModule&) = delete;
    PluginModule& operator=(const PluginModule&) = delete;

    bool IsLoaded() const { return handler_ != nullptr; }
    const std::string& Error() const { return error_; }
    int Send(int code, intptr_t param1 = 0, intptr_t param2 = 0) const;

  private:
    void* handle_ = nullptr;
    KalPlugInMsgHandler handler_ = nullptr;
    std::string error_;
};

// libpixolune_plugin.so next to the running program.
std::string DefaultPluginPath();

}  // namespace kalhost
