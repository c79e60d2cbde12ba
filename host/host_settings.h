#pragma once

#include <mutex>
#include <string>

#include "ini_document.h"
#include "kaleidra/kal_plugin_api.h"

namespace kalhost {

// The host's settings store: an INI file with one section per owner, serving
// the plug-in's read and write requests (callback codes 6 and 5). The file is
// read once and, when a request changed it, written back whole and atomically
// by Flush, with everything the user wrote kept.
class HostSettings {
  public:
    // An empty `path` is a store that answers every read with its default and
    // refuses to save, saying that there is no folder for settings. When `path`
    // does not exist yet, the store starts from `seedPath`'s keys (which it
    // never writes): the settings a product kept before it had a file of its own.
    explicit HostSettings(const std::string& path, const std::string& seedPath = "");

    // Answers a read; returns a line for the user when the stored value was
    // refused (a number out of the 32-bit range, or no number) and the default
    // given instead, else empty text.
    [[nodiscard]] std::string Read(HostSettingRequest& request);
    void Write(const HostSettingRequest& request);
    // Writes pending changes to disk; false (with `error`) when the file could not be written.
    [[nodiscard]] bool Flush(std::string* error);
    const std::string& Path() const { return path_; }
    // The file the keys were first read from, when not Path().
    const std::string& SeededFrom() const { return seededFrom_; }

  private:
    std::string path_;
    std::mutex mutex_;  // guards the members below
    IniDocument document_;
    std::string readError_;  // why an existing file could not be read; it is then never replaced
    std::string seededFrom_;
    bool changed_ = false;
    std::string longText_;  // a text too long for the plug-in's buffer, kept until the next read
};

// A host product's own settings file: $XDG_CONFIG_HOME/kaleidra/kalhost.ini
// (kalhost-NVX.ini for variant 1, as its token and health record are named),
// else under ~/.config. Empty when neither variable holds an absolute path.
std::string DefaultSettingsPath(int hostVariant);

}  // namespace kalhost
