#pragma once

namespace pixolune::ui {

// Whether Qt can be expected to find somewhere to show a window: a platform
// chosen by the user (QT_QPA_PLATFORM), an X display or a Wayland display.
// Without one Qt would end the whole host process, so the dialog is not tried.
[[nodiscard]] bool DisplayAvailable(const char* qpaPlatform, const char* x11Display,
                                    const char* waylandDisplay);

// The same, from the process environment.
[[nodiscard]] bool DisplayAvailable();

}  // namespace pixolune::ui
