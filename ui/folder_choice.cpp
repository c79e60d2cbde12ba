#include "ui/folder_choice.h"

#include <sys/stat.h>

namespace pixolune::ui {

bool IsExistingFolder(const std::string& path) {
    struct stat info {};
    return !path.empty() && ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string ChooserStartFolder(const std::string& initialFolder,
                               const std::function<bool(const std::string&)>& isFolder,
                               const std::string& currentDirectory, const std::string& homeFolder) {
    if (initialFolder.empty()) return homeFolder;
    if (isFolder(initialFolder)) return initialFolder;
    return currentDirectory;
}

std::optional<std::string> ChosenFolder(const std::string& pickedPath) {
    if (pickedPath.empty()) return std::nullopt;
    if (pickedPath.back() == '/') return pickedPath;
    return pickedPath + '/';
}

}  // namespace pixolune::ui
