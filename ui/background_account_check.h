#pragma once

#include <QObject>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "ui/account_status.h"

namespace pixolune::ui {

// One account check on a thread of its own, so that the dialog that asked
// stays painted and answers the user while the service takes its time (up to
// the transfer's time limits). The result is handed to `done` on the thread
// that `receiver` lives on.
//
// Destroying the object abandons the check: `done` is never called after
// that, the query is told to give up (a transfer notices within about a
// second) and the thread is joined, so that no thread of ours outlives the
// dialog and the library can be unloaded after it. It must be destroyed
// before `receiver` (a member of the receiver does that by itself).
class BackgroundAccountCheck {
  public:
    using Done = std::function<void(const AccountCheckResult& result)>;

    BackgroundAccountCheck(const CancellableAccountChecker& checker, std::string token,
                           QObject* receiver, Done done);
    ~BackgroundAccountCheck();
    BackgroundAccountCheck(const BackgroundAccountCheck&) = delete;
    BackgroundAccountCheck& operator=(const BackgroundAccountCheck&) = delete;

  private:
    // Shared with the thread and with the queued delivery, which may each
    // outlive this object's wish to hear the result.
    struct Shared {
        std::atomic<bool> abandoned{false};
    };

    std::shared_ptr<Shared> shared_;
    std::thread thread_;
};

}  // namespace pixolune::ui
