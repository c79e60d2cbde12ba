#include "plugin_module.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <filesystem>

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

namespace {

constexpr const char* kPluginFile = "libpixolune_plugin.so";

}  // namespace

std::vector<std::string> PluginCandidates() {
    char self[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (length <= 0) return {kPluginFile};
    // Relative to the program's own path, so a staged (DESTDIR) or moved
    // install finds its own plug-in rather than one under the build prefix.
    const std::filesystem::path folder =
        std::filesystem::path(std::string(self, static_cast<size_t>(length))).parent_path();
    return {(folder / kPluginFile).string(),
            (folder / KALHOST_PLUGIN_DIR_FROM_BIN / kPluginFile).lexically_normal().string()};
}

std::string DefaultPluginPath() {
    const std::vector<std::string> candidates = PluginCandidates();
    for (const std::string& path : candidates) {
        if (::access(path.c_str(), F_OK) == 0) return path;
    }
    return candidates.front();
}

}  // namespace kalhost
