#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/unique_fd.h"
#include "record_watch.h"

namespace kalhost {

// `kalhost run` as a service of the user's service manager, through its
// notify protocol: READY=1 once the worker runs, a STATUS= line (the first
// line `kalhost status` would print) whenever the health record changes,
// WATCHDOG=1 at half the watchdog's interval when one is set, STOPPING=1 at
// the end. The record is watched with inotify on its folder, since the
// plug-in's interface to the host has no word for its health. Does nothing
// when NOTIFY_SOCKET is not set, as outside a service.
class ServiceNotifier {
  public:
    // Sends READY=1 with the record's status; call once the worker runs.
    explicit ServiceNotifier(std::string recordPath);
    // A last look at the record (a run may end right after it changed), then STOPPING=1.
    ~ServiceNotifier();
    ServiceNotifier(const ServiceNotifier&) = delete;
    ServiceNotifier& operator=(const ServiceNotifier&) = delete;

  private:
    void Watch();
    void SendStatusIfChanged(const char* prefix = "");

    std::string recordPath_;
    std::chrono::microseconds watchdogInterval_{0};
    std::unique_ptr<RecordWatch> record_;
    pixolune::platform::UniqueFd stopEvent_;
    std::mutex mutex_;  // guards lastStatus_
    std::string lastStatus_;
    std::thread thread_;
};

}  // namespace kalhost
