#pragma once

#include <string>

#include "model/feed.h"
#include "model/plugin_settings.h"
#include "platform/file_system.h"
#include "platform/outcome.h"

namespace pixolune {

// Escapes a profile value in place: every other C0 control character and
// DEL (tab, BEL, ESC...) becomes a blank, then "\" becomes "\\", line feed
// "\n", carriage return "\r", in that order, so that the value stays on one
// line and an escaped line feed is never confused with a caption's own "\n".
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
[[nodiscard]] platform::Outcome WriteKpropSidecar(platform::FileSystem& fileSystem,
                                                  const std::string& mediaPath,
                                                  const PluginSettings& settings,
                                                  const CPixoluneItem& item);

// The sidecar of a media file that does not have its name yet. It is written
// before the file gets its name, so that a kill can never leave a named file
// without one; when the file then cannot take its name, Undo() puts back the
// sidecar that was there before (media files that differ only in their
// suffix share one) or removes the one written.
class PendingSidecar {
  public:
    PendingSidecar(platform::FileSystem& fileSystem, const std::string& mediaPath);
    PendingSidecar(const PendingSidecar&) = delete;
    PendingSidecar& operator=(const PendingSidecar&) = delete;

    [[nodiscard]] platform::Outcome Write(const PluginSettings& settings,
                                          const CPixoluneItem& item);
    void Undo();

  private:
    platform::FileSystem& fileSystem_;
    std::string path_;
    bool written_ = false;
    bool hadOne_ = false;
    bool restorable_ = false;
    std::string before_;
};

}  // namespace pixolune
