#pragma once

#include <functional>
#include <optional>
#include <string>

namespace pixolune::ui {

// True when the path names an existing folder (a file of that name does not count).
[[nodiscard]] bool IsExistingFolder(const std::string& path);

// The folder the chooser opens on: the initial folder when it is an existing
// folder; the home folder when none was typed (the host's current directory
// means nothing to the user); else the process's current directory.
[[nodiscard]] std::string ChooserStartFolder(
    const std::string& initialFolder, const std::function<bool(const std::string&)>& isFolder,
    const std::string& currentDirectory, const std::string& homeFolder);

// The chooser's result for the path the picker returned: nothing for an empty
// path (the user cancelled), else the path with one trailing '/'.
[[nodiscard]] std::optional<std::string> ChosenFolder(const std::string& pickedPath);

}  // namespace pixolune::ui
