#pragma once

#include <functional>
#include <optional>
#include <string>

namespace pixolune::ui {

// True when the path names an existing folder (a file of that name does not count).
[[nodiscard]] bool IsExistingFolder(const std::string& path);

// The folder the chooser opens on: the initial folder when it is an existing
// folder, else the process's current directory.
[[nodiscard]] std::string ChooserStartFolder(
    const std::string& initialFolder, const std::function<bool(const std::string&)>& isFolder,
    const std::string& currentDirectory);

// The chooser's result for the path the picker returned: nothing for an empty
// path (the user cancelled), else the path with one trailing '/'.
[[nodiscard]] std::optional<std::string> ChosenFolder(const std::string& pickedPath);

// What "..." hands the chooser: the folder edit's text when it names an
// existing folder, else nothing.
[[nodiscard]] std::string InitialFolderForChooser(
    const std::string& folderText, const std::function<bool(const std::string&)>& isFolder);

}  // namespace pixolune::ui
