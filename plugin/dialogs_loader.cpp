#include "plugin/dialogs_loader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <utility>

#include "model/host_link.h"

namespace pixolune {

void DialogsLoader::LibraryCloser::operator()(void* library) const {
    ::dlclose(library);
}

DialogsLoader::DialogsLoader(std::vector<std::string> candidates)
    : candidates_(std::move(candidates)) {}

DialogsLoader::~DialogsLoader() = default;

bool DialogsLoader::RunConfigurationDialog(ConfigurationValues& values, int hostVariant,
                                           intptr_t ownerWindow) {
    if (!entry_ && !Load()) return false;
    ui::DialogsModuleCall call;
    call.values = &values;
    call.hostVariant = hostVariant;
    call.ownerWindow = ownerWindow;
    call.hostCallback = CurrentHostCallback();
    return entry_(&call) == 1;
}

bool DialogsLoader::Load() {
    const std::string* found = nullptr;
    for (const std::string& path : candidates_) {
        if (::access(path.c_str(), F_OK) == 0) {
            found = &path;
            break;
        }
    }
    if (!found) {
        std::string places;
        for (const std::string& path : candidates_) places += (places.empty() ? "" : " or ") + path;
        Log("Configure: the dialogs' module is missing (%s); the settings dialog is not shown",
            places.c_str());
        return false;
    }
    std::unique_ptr<void, LibraryCloser> library(::dlopen(found->c_str(), RTLD_NOW | RTLD_LOCAL));
    if (!library) {
        const char* why = ::dlerror();
        Log("Configure: the dialogs' module cannot be loaded (%s); the settings dialog is not "
            "shown",
            why ? why : found->c_str());
        return false;
    }
    const auto entry = reinterpret_cast<ui::DialogsModuleEntry>(
        ::dlsym(library.get(), ui::kDialogsModuleEntryName));
    if (!entry) {
        Log("Configure: %s has no %s; the settings dialog is not shown", found->c_str(),
            ui::kDialogsModuleEntryName);
        return false;
    }
    library_ = std::move(library);
    entry_ = entry;
    return true;
}

std::vector<std::string> DialogsModuleCandidates(const std::string& pluginFolder) {
    const std::string name = ui::kDialogsModuleFileName;
    return {pluginFolder + "/" PIXOLUNE_DIALOGSDIR_FROM_PLUGINDIR "/" + name,
            pluginFolder + "/" + name};
}

std::string OwnLibraryFolder() {
    Dl_info info{};
    if (!::dladdr(reinterpret_cast<void*>(&OwnLibraryFolder), &info) || !info.dli_fname) return ".";
    // Where the file really lies: the module's folder is relative to it, also
    // when the host loads the plug-in through a link or a relative path.
    std::string path = info.dli_fname;
    if (char* real = ::realpath(info.dli_fname, nullptr)) {
        path = real;
        std::free(real);
    }
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

}  // namespace pixolune
