#pragma once

#include <optional>
#include <string>

namespace pixolune::ui {

// What the process tells about the web engine's sandbox.
struct SandboxEnvironment {
    unsigned effectiveUserId = 0;
    const char* disableSandbox = nullptr;  // QTWEBENGINE_DISABLE_SANDBOX
    const char* chromiumFlags = nullptr;   // QTWEBENGINE_CHROMIUM_FLAGS
};

[[nodiscard]] SandboxEnvironment CurrentSandboxEnvironment();

// Why the sign-in window cannot show the service's page, or nothing when it
// can. The web engine's sandbox refuses to run as root, and the engine then
// takes its host process down. Switching the sandbox off quietly would hand
// whatever a page embeds (a captcha from another host, say) a root process
// without a guard, so it stays the user's own choice: as root the sign-in
// opens only when the sandbox was switched off on purpose.
[[nodiscard]] std::optional<std::string> SignInBlockedReason(const SandboxEnvironment& environment);

}  // namespace pixolune::ui
