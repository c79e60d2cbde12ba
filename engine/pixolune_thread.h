#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/auto_reset_event.h"

namespace pixolune {

class CFeedEngine;

// The background worker: reads the list file, then refreshes due feeds and
// takes one download step per pass until it is told to stop. Its thread is
// joined by Stop() or, at the latest, by the destructor; never detached.
class CPixoluneThread {
  public:
    CPixoluneThread() = default;  // use Start()
    ~CPixoluneThread();
    CPixoluneThread(const CPixoluneThread&) = delete;
    CPixoluneThread& operator=(const CPixoluneThread&) = delete;

    // Starts a worker for `engine`; null (logged) when no thread can be made.
    [[nodiscard]] static std::unique_ptr<CPixoluneThread> Start(CFeedEngine* engine);

    // Asks the worker to stop and waits up to 60 s for it; logs the wait's
    // result (0 ended, 258 timed out). Does nothing once the thread is gone.
    void Stop();
    // False once Stop has seen the thread end; true while it runs or would not end.
    [[nodiscard]] bool Running() const { return thread_.joinable(); }

    std::atomic<int32_t> StopRequest{0};
    CFeedEngine* Engine = nullptr;
    platform::AutoResetEvent WakeEvent;

  private:
    void Run();
    void RunComms();
    // The pass loop: refresh, one download step, the idle wait; until a stop.
    void RunPasses();
    bool WaitForEnd(std::chrono::milliseconds timeout);

    std::thread thread_;
    std::mutex endMutex_;  // guards ended_
    std::condition_variable endChanged_;
    bool ended_ = false;
};

}  // namespace pixolune
