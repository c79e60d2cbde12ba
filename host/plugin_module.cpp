#include "plugin_module.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

namespace kalhost {

PluginModule::PluginModule(const std::string& path) {
    handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) {
        error_ = ::dlerror();
        return;
    }
    handler_ = reinterpret_cast<KalPlugInMsgHandler>(::dlsym(handle_, KAL_PLUGIN_ENTRY_NAME));
    if (!handler_) error_ = path + " does not export " KAL_PLUGIN_ENTRY_NAME;
}

PluginModule::~PluginModule() {
    if (handle_) ::dlclose(handle_);
}

int PluginModule::Send(int code, intptr_t param1, intptr_t param2) const {
    return handler_ ? handler_(code, param1, param2) : 0;
}

std::string DefaultPluginPath() {
    char self[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (length <= 0) return "libpixolune_plugin.so";
    std::string folder(self, static_cast<size_t>(length));
    folder.erase(folder.rfind('/') + 1);
    return folder + "libpixolune_plugin.so";
}

}  // namespace kalhost
