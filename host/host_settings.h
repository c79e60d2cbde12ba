#pragma once

#include <QSettings>
#include <mutex>
#include <string>

#include "plugin/include/kal_plugin_api.h"

namespace kalhost {

// The host's settings store: an INI file with one section per owner, serving
// the plug-in's read and write requests (callback codes 6 and 5).
class HostSettings {
  public:
    explicit HostSettings(const std::string& path);

    void Read(HostSettingRequest& request);
    void Write(const HostSettingRequest& request);
    // Writes pending changes to disk; false when the file could not be written.
    [[nodiscard]] bool Flush();
    const std::string& Path() const { return path_; }

  private:
    std::string path_;
    std::mutex mutex_;  // guards settings_ and longText_
    QSettings settings_;
    std::string longText_;  // a text too long for the plug-in's buffer, kept until the next read
};

// $XDG_CONFIG_HOME/kaleidra/kalhost.ini, or ~/.config/kaleidra/kalhost.ini.
std::string DefaultSettingsPath();

}  // namespace kalhost
