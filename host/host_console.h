#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "host_settings.h"

namespace kalhost {

// What the host does with the plug-in's callbacks: settings requests go to the
// settings file, log lines and restart requests are printed with a time stamp
// (left to the journal when standard output goes there).
// The callback is a plain function, so there is one console per process; it
// must outlive every thread of the plug-in that can still call it.
class HostConsole {
  public:
    HostConsole(HostSettings& settings, bool quiet);
    ~HostConsole();

    static int Callback(int code, intptr_t param1, intptr_t param2);

    void Print(const std::string& text);
    enum class WaitResult { DownloadComplete, HeldUp, NotAuthorized, Stopped, TimedOut };
    // Waits until the stop flag is raised, the time is up (a negative time waits
    // without limit) or, when asked, until "Download complete" is logged or the
    // worker says it can't go on without the user (HeldUp), or without a
    // sign-in (NotAuthorized).
    WaitResult Wait(long long milliseconds, bool untilDownloadComplete);
    void RequestStop();
    int RestartRequests();
    // True once the plug-in logged that a stop gave up waiting for its worker:
    // that thread may still call the console at any time.
    bool WorkerOutlivedStop();

  private:
    int Handle(int code, intptr_t param1, intptr_t param2);

    HostSettings& settings_;
    bool quiet_;
    const bool stamped_;  // lines carry their time, unless the journal adds it
    std::mutex mutex_;    // guards the fields below and the output stream
    std::condition_variable changed_;
    bool downloadComplete_ = false;
    bool stopRequested_ = false;
    int restartRequests_ = 0;
    bool workerOutlivedStop_ = false;
    bool workerHeldUp_ = false;
    bool notAuthorized_ = false;
};

}  // namespace kalhost
