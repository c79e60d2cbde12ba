#pragma once

#include <cstdint>

#include "kaleidra/kal_plugin_api.h"

namespace pixolune {

// The host's callback, handed over with message 3. It is read from the worker
// thread as well, so it is kept in one atomic place that Log can reach from
// every layer.
void SetHostCallback(HostCallback callback);
HostCallback CurrentHostCallback();

// Calls the host when it has handed over its callback; returns 0 otherwise.
int CallHost(int code, intptr_t param1, intptr_t param2);

// Size of the buffer a log line is formatted into; longer lines are cut.
inline constexpr int kLogBufferSize = 2048;
inline constexpr const char* kLogSource = "[Pixolune Plugin]";

// printf-style diagnostic line, sent to the host with callback code 7.
// Before message 3 the line goes nowhere.
void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Asks the host to restart its slide show (callback code 9 with 5 and 1).
void RequestSlideShowRestart();

}  // namespace pixolune
