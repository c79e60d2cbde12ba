#pragma once

#include <functional>
#include <optional>
#include <string>

namespace pixolune::ui {

// What the process environment says about where windows go.
struct DisplayEnvironment {
    const char* qpaPlatform = nullptr;     // QT_QPA_PLATFORM
    const char* x11Display = nullptr;      // DISPLAY
    const char* waylandDisplay = nullptr;  // WAYLAND_DISPLAY
};

// Tries to connect to a display and disconnects again; true when it could.
// The Wayland probe gets nullptr for the default display.
struct DisplayProbes {
    std::function<bool(const char* display)> x11;
    std::function<bool(const char* display)> wayland;
};

// Why Qt could not show a window here, or nothing when it can. Qt ends the
// whole process when its platform cannot connect to a display, and a plug-in
// must never end its host, so this is asked first. A platform that needs no
// display (QT_QPA_PLATFORM=offscreen, as the tests use) always will do; of a
// list ("wayland;xcb") the first that connects will.
[[nodiscard]] std::optional<std::string> DisplayProblem(const DisplayEnvironment& environment,
                                                        const DisplayProbes& probes);

// The same for the process environment, probing with the display libraries
// that Qt's platforms use, loaded at run time so that nothing new is linked.
[[nodiscard]] std::optional<std::string> DisplayProblem();

}  // namespace pixolune::ui
