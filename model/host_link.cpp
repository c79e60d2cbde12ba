#include "model/host_link.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace pixolune {
namespace {

std::atomic<HostCallback> g_hostCallback{nullptr};

// Cuts `text` of `length` bytes back to a whole UTF-8 sequence, so that a
// truncated line never ends in half a character.
int TrimToWholeCharacter(const char* text, int length) {
    int end = length;
    int back = 0;
    while (end > 0 && back < 4 && (static_cast<unsigned char>(text[end - 1]) & 0xC0) == 0x80) {
        --end;
        ++back;
    }
    if (end == 0) return length;
    const unsigned char lead = static_cast<unsigned char>(text[end - 1]);
    if (lead < 0x80) return length;  // the line ends in plain ASCII
    const int needed = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
    return needed == back ? length : end - 1;
}

}  // namespace

void SetHostCallback(HostCallback callback) {
    g_hostCallback.store(callback);
}

HostCallback CurrentHostCallback() {
    return g_hostCallback.load();
}

int CallHost(int code, intptr_t param1, intptr_t param2) {
    const HostCallback callback = g_hostCallback.load();
    return callback ? callback(code, param1, param2) : 0;
}

void Log(const char* format, ...) {
    const HostCallback callback = g_hostCallback.load();
    if (!callback) return;
    char buffer[kLogBufferSize];
    va_list args;
    va_start(args, format);
    const int wanted = std::vsnprintf(buffer, sizeof(buffer), format, args);
    va_end(args);
    if (wanted < 0) return;
    if (wanted >= kLogBufferSize) {
        buffer[TrimToWholeCharacter(buffer, kLogBufferSize - 1)] = '\0';
    }
    callback(KAL_CB_LOG, reinterpret_cast<intptr_t>(kLogSource),
             reinterpret_cast<intptr_t>(buffer));
}

void RequestSlideShowRestart() {
    CallHost(KAL_CB_RESTART, 5, 1);
}

}  // namespace pixolune
