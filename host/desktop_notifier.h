#pragma once

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "attention.h"
#include "model/health_record.h"
#include "platform/unique_fd.h"

namespace kalhost {

// `kalhost run` telling the person at the desktop when the frame needs them:
// a notification (org.freedesktop.Notifications on the session bus) once per
// change of the health record into a state a person must act on, one that
// replaces it when all is fine again; the sign-in notice offers an action
// that opens `kalhost configure`. Records of an earlier run are not news.
// Works on a thread of its own; without a session bus it does nothing.
class DesktopNotifier {
  public:
    struct Setup {
        std::string recordPath;
        pixolune::platform::WallTime runStart;      // records older than this are an earlier run's
        std::vector<std::string> configureCommand;  // argv of `kalhost ... configure`
        std::function<void(const std::string&)> say;  // a line on kalhost's console
    };

    explicit DesktopNotifier(Setup setup);
    // Withdraws an attention notice still shown: nobody answers its action any more.
    ~DesktopNotifier();
    DesktopNotifier(const DesktopNotifier&) = delete;
    DesktopNotifier& operator=(const DesktopNotifier&) = delete;

  private:
    class Session;
    void Serve();

    Setup setup_;
    pixolune::platform::UniqueFd stopEvent_;
    std::thread thread_;
};

}  // namespace kalhost
