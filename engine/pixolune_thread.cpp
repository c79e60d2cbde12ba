#include "engine/pixolune_thread.h"

#include <cstdio>
#include <exception>
#include <system_error>

#include "engine/feed_engine.h"
#include "model/host_link.h"

namespace pixolune {
namespace {

constexpr std::chrono::milliseconds kStopWaitMs{60000};
// After an exception: a reply that throws every time costs one try a second, not a busy loop.
constexpr std::chrono::milliseconds kRestartPauseMs{1000};
// The wait results that "CPixoluneThread::Stop(), result: %d" has always shown.
constexpr int kWaitEnded = 0;
constexpr int kWaitTimedOut = 258;

}  // namespace

std::unique_ptr<CPixoluneThread> CPixoluneThread::Start(CFeedEngine* engine) {
    Log("CPixoluneThread::Start()");
    auto worker = std::make_unique<CPixoluneThread>();
    worker->Engine = engine;
    try {
        worker->thread_ = std::thread([self = worker.get()] { self->Run(); });
    } catch (const std::system_error& error) {
        Log("CPixoluneThread::Start(), the thread can't be created: %s", error.what());
        return nullptr;
    }
    return worker;
}

CPixoluneThread::~CPixoluneThread() {
    if (!thread_.joinable()) return;
    StopRequest.exchange(1);
    WakeEvent.Set();
    // A worker waiting on its transfers notices the stop at once, not at the next read.
    if (Engine) Engine->WakeTransfers();
    thread_.join();
}

void CPixoluneThread::Stop() {
    if (!thread_.joinable()) return;
    Log("CPixoluneThread Stopping thread");
    StopRequest.exchange(1);
    WakeEvent.Set();
    // A worker waiting on its transfers notices the stop at once, not at the next read.
    if (Engine) Engine->WakeTransfers();
    const bool ended = WaitForEnd(kStopWaitMs);
    if (ended) thread_.join();
    Log("CPixoluneThread::Stop(), result: %d", ended ? kWaitEnded : kWaitTimedOut);
}

bool CPixoluneThread::WaitForEnd(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(endMutex_);
    return endChanged_.wait_for(lock, timeout, [this] { return ended_; });
}

void CPixoluneThread::Run() {
    // Nothing may leave the thread: an escaping exception would end the process.
    try {
        RunComms();
    } catch (...) {
    }
    {
        std::lock_guard<std::mutex> lock(endMutex_);
        ended_ = true;
    }
    endChanged_.notify_all();
}

void CPixoluneThread::RunComms() {
    CFeedEngine& engine = *Engine;
    engine.BeginWork();
    while (StopRequest.load() == 0) {
        try {
            // After an exception: records stored since the last write would be
            // lost with the reread that taking the folder again does.
            engine.LeaveMediaFolder();
            RunPasses();
            break;
        } catch (const std::exception& error) {
            char text[256];
            std::snprintf(text, sizeof(text), "%s", error.what());
            Log("CException (%s) in CPixoluneThread::RunComms()", text);
        } catch (...) {
            Log("Unknown Exception in CPixoluneThread::RunComms()");
        }
        (void)WakeEvent.WaitFor(kRestartPauseMs);
    }
    try {
        engine.EndWork();
    } catch (...) {
        Log("Unknown Exception in CPixoluneThread::RunComms()");
    }
}

void CPixoluneThread::RunPasses() {
    CFeedEngine& engine = *Engine;
    while (StopRequest.load() == 0) {
        const DownloadStep step = engine.RunPass(&StopRequest);
        if (step == DownloadStep::ItemTaken || StopRequest.load() != 0) continue;
        (void)engine.clock_.WaitFor(WakeEvent, engine.options_.idleInterval);
    }
}

}  // namespace pixolune
