#pragma once

#include <string>

#include "platform/unique_fd.h"

namespace kalhost {

// Tells when the plug-in replaced its health record, through inotify on the
// record's folder (the plug-in's interface to the host has no word for its
// health). The record is replaced by a rename, so its folder is watched, not
// the file.
class RecordWatch {
  public:
    // Makes the record's private folder when missing; not watching when it can't.
    explicit RecordWatch(const std::string& recordPath);

    [[nodiscard]] bool Watching() const { return static_cast<bool>(inotify_); }
    // Readable when something happened in the folder; -1 when not watching.
    [[nodiscard]] int Fd() const { return inotify_ ? inotify_.Get() : -1; }
    // Drains what happened; true when the record was among it.
    [[nodiscard]] bool RecordChanged();

  private:
    std::string recordName_;
    pixolune::platform::UniqueFd inotify_;
};

}  // namespace kalhost
