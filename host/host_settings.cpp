#include "host_settings.h"

#include <cstdlib>
#include <cstring>

namespace kalhost {
namespace {

QString SettingName(const HostSettingRequest& request) {
    return QString::fromUtf8(request.section ? request.section : "") + "/" +
           QString::fromUtf8(request.key ? request.key : "");
}

}  // namespace

HostSettings::HostSettings(const std::string& path)
    : path_(path), settings_(QString::fromStdString(path), QSettings::IniFormat) {}

void HostSettings::Read(HostSettingRequest& request) {
    std::lock_guard<std::mutex> lock(mutex_);
    const QVariant stored = settings_.value(SettingName(request));
    if (request.kind == KAL_SETTING_INT) {
        bool ok = false;
        const int value = stored.toInt(&ok);
        request.value = stored.isValid() && ok ? value : request.defaultValue;
        return;
    }
    const char* fallback =
        request.defaultValue ? reinterpret_cast<const char*>(request.defaultValue) : "";
    const std::string text = stored.isValid() ? stored.toString().toStdString() : fallback;
    char* buffer = reinterpret_cast<char*>(request.value);
    if (buffer && text.size() <= static_cast<size_t>(request.capacity)) {
        std::memcpy(buffer, text.c_str(), text.size() + 1);
        return;
    }
    // Longer than the plug-in's buffer: hand over our own copy instead.
    longText_ = text;
    request.value = reinterpret_cast<intptr_t>(longText_.c_str());
}

void HostSettings::Write(const HostSettingRequest& request) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (request.kind == KAL_SETTING_INT) {
        settings_.setValue(SettingName(request),
                           static_cast<int>(static_cast<int32_t>(request.value)));
    } else {
        const char* text = reinterpret_cast<const char*>(request.value);
        settings_.setValue(SettingName(request), QString::fromUtf8(text ? text : ""));
    }
}

bool HostSettings::Flush() {
    std::lock_guard<std::mutex> lock(mutex_);
    settings_.sync();
    return settings_.status() == QSettings::NoError;
}

std::string DefaultSettingsPath() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && xdg[0] == '/') return std::string(xdg) + "/kaleidra/kalhost.ini";
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : ".") + "/.config/kaleidra/kalhost.ini";
}

}  // namespace kalhost
