#include "ui/web_sandbox.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace pixolune::ui {
namespace {

bool SandboxSwitchedOff(const SandboxEnvironment& environment) {
    const char* disable = environment.disableSandbox;
    if (disable && *disable && std::strcmp(disable, "0") != 0) return true;
    const char* flags = environment.chromiumFlags;
    return flags && std::strstr(flags, "--no-sandbox") != nullptr;
}

}  // namespace

SandboxEnvironment CurrentSandboxEnvironment() {
    return {static_cast<unsigned>(::geteuid()), std::getenv("QTWEBENGINE_DISABLE_SANDBOX"),
            std::getenv("QTWEBENGINE_CHROMIUM_FLAGS")};
}

std::optional<std::string> SignInBlockedReason(const SandboxEnvironment& environment) {
    if (environment.effectiveUserId != 0 || SandboxSwitchedOff(environment)) return std::nullopt;
    return std::string(
        "running as root, where the web engine's sandbox does not run; set "
        "QTWEBENGINE_DISABLE_SANDBOX=1 to sign in without it, or sign in as the user who runs "
        "the slide show");
}

}  // namespace pixolune::ui
