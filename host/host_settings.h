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
    explicit HostSettings(const std::string& path);

    // Answers a read; returns a line for the user when the stored value was
    // refused (a number out of the 32-bit range, or no number) and the default
    // given instead, else empty text.
    [[nodiscard]] std::string Read(HostSettingRequest& request);
    void Write(const HostSettingRequest& request);
    // Writes pending changes to disk; false (with `error`) when the file could not be written.
    [[nodiscard]] bool Flush(std::string* error);
    const std::string& Path() const { return path_; }

  private:
    std::string path_;
    std::mutex mutex_;  // guards the members below
    IniDocument document_;
    std::string readError_;  // why an existing file could not be read; it is then never replaced
    bool changed_ = false;
    std::string longText_;  // a text too long for the plug-in's buffer, kept until the next read
};

// $XDG_CONFIG_HOME/kaleidra/kalhost.ini, or ~/.config/kaleidra/kalhost.ini.
std::string DefaultSettingsPath();

}  // namespace kalhost
