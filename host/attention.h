#pragma once

#include <optional>
#include <string>

#include "model/health_record.h"

namespace kalhost {

// A desktop notification `kalhost run` sends about the plug-in's health.
struct DesktopNotice {
    enum class Kind {
        Attention,  // a person must act: sign in, mend the folder, free the disk
        FineAgain,  // replaces the attention notice: nothing to do any more
    };
    Kind kind = Kind::Attention;
    std::string summary;
    std::string body;           // what `kalhost status` says first
    bool offersSignIn = false;  // an action that opens `kalhost configure`
};

// Decides when the desktop hears of the health: once for each change into a
// state a person must act on (a sign-in, the media folder, the disk's
// reserve), never again while it lasts however often the record is
// rewritten, and once when it is fine again after such a notice.
class AttentionTracker {
  public:
    [[nodiscard]] std::optional<DesktopNotice> Next(const pixolune::HealthRecord& record,
                                                    pixolune::platform::WallTime now);

  private:
    std::optional<pixolune::HealthState> shown_;  // none: no attention notice out
};

}  // namespace kalhost
