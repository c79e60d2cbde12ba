#pragma once

#include <string>

#include "plugin/feed.h"
#include "plugin/plugin_settings.h"

namespace pixolune {

// Escapes a profile value in place: "\" becomes "\\", line feed "\n",
// carriage return "\r", in that order, so that the value stays on one line
// and an escaped line feed is never confused with a caption's own "\n".
void EscapeProfileText(std::u16string& text);

// The description before escaping, UTF-8: the caption (KpropTitle), then
// (KpropOwner) a line feed when there is text already, AuthPrefix, a blank
// and the owner.
[[nodiscard]] std::string KpropDescription(const PluginSettings& settings,
                                           const CPixoluneItem& item);

// The sidecar's bytes: "[Enable]", "Description=1", "[Description]",
// "Text=" + the escaped description, in UTF-16LE with BOM and CR LF.
[[nodiscard]] std::string KpropFileBytes(const PluginSettings& settings, const CPixoluneItem& item);

// Writes the sidecar of the media file at `mediaPath` whole (atomically).
[[nodiscard]] bool WriteKpropSidecar(const std::string& mediaPath, const PluginSettings& settings,
                                     const CPixoluneItem& item, std::string* error = nullptr);

}  // namespace pixolune
