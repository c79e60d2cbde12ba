#include "engine/feed_engine.h"

#include "engine/pixolune_thread.h"

namespace pixolune {

CFeedEngine::CFeedEngine(PluginSettings& settings) : Settings(settings) {}

CFeedEngine::~CFeedEngine() {
    StopWorker();
}

// The worker arrives with the download engine; until then messages 9 and 10 change nothing.
void CFeedEngine::StartWorker() {}

void CFeedEngine::StopWorker() {}

}  // namespace pixolune
