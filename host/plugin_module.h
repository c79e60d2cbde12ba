#pragma once

#include <string>
#include <vector>

#include "kaleidra/kal_plugin_api.h"

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

// Where kalhost looks for libpixolune_plugin.so, in order: next to the running
// program (the build tree), then the installed plug-in folder relative to it.
std::vector<std::string> PluginCandidates();

// The first candidate that exists; the first one when none does, so that the
// error names a path.
std::string DefaultPluginPath();

}  // namespace kalhost
