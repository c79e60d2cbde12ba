#include "ui/display_check.h"

#include <dlfcn.h>

#include <cstdlib>
#include <memory>
#include <vector>

namespace pixolune::ui {
namespace {

bool IsSet(const char* value) {
    return value && *value;
}

struct LibraryCloser {
    void operator()(void* library) const { ::dlclose(library); }
};
using Library = std::unique_ptr<void, LibraryCloser>;

Library OpenLibrary(const char* name) {
    return Library(::dlopen(name, RTLD_NOW | RTLD_LOCAL));
}

template <class Function>
Function Symbol(const Library& library, const char* name) {
    return reinterpret_cast<Function>(::dlsym(library.get(), name));
}

bool CanConnectToX11(const char* display) {
    const Library xcb = OpenLibrary("libxcb.so.1");
    if (!xcb) return false;  // Qt's X11 platform could not load either
    using Connect = void* (*)(const char*, int*);
    using HasError = int (*)(void*);
    using Disconnect = void (*)(void*);
    const auto connect = Symbol<Connect>(xcb, "xcb_connect");
    const auto hasError = Symbol<HasError>(xcb, "xcb_connection_has_error");
    const auto disconnect = Symbol<Disconnect>(xcb, "xcb_disconnect");
    if (!connect || !hasError || !disconnect) return false;
    void* connection = connect(display, nullptr);
    // A failed connection is an error object that must be freed all the same.
    const bool connected = connection && hasError(connection) == 0;
    if (connection) disconnect(connection);
    return connected;
}

bool CanConnectToWayland(const char* display) {
    const Library client = OpenLibrary("libwayland-client.so.0");
    if (!client) return false;
    using Connect = void* (*)(const char*);
    using Disconnect = void (*)(void*);
    const auto connect = Symbol<Connect>(client, "wl_display_connect");
    const auto disconnect = Symbol<Disconnect>(client, "wl_display_disconnect");
    if (!connect || !disconnect) return false;
    void* connection = connect(display);
    if (!connection) return false;
    disconnect(connection);
    return true;
}

// The platform names Qt will try, in order, without their ":options".
std::vector<std::string> PlatformsToTry(const DisplayEnvironment& environment) {
    if (!IsSet(environment.qpaPlatform)) {
        if (IsSet(environment.waylandDisplay)) return {"wayland", "xcb"};
        return {"xcb"};
    }
    std::vector<std::string> names;
    const std::string list = environment.qpaPlatform;
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(';', start);
        if (end == std::string::npos) end = list.size();
        const std::string entry = list.substr(start, end - start);
        const std::string name = entry.substr(0, entry.find(':'));
        if (!name.empty()) names.push_back(name);
        start = end + 1;
    }
    return names;
}

// Why one platform cannot show a window, or nothing when it can.
std::optional<std::string> PlatformProblem(const std::string& platform,
                                           const DisplayEnvironment& environment,
                                           const DisplayProbes& probes) {
    if (platform == "xcb") {
        if (!IsSet(environment.x11Display)) return std::string("DISPLAY is not set");
        if (probes.x11(environment.x11Display)) return std::nullopt;
        return "cannot connect to X display \"" + std::string(environment.x11Display) + "\"";
    }
    if (platform.rfind("wayland", 0) == 0) {
        const char* display =
            IsSet(environment.waylandDisplay) ? environment.waylandDisplay : nullptr;
        if (probes.wayland(display)) return std::nullopt;
        return "cannot connect to Wayland display \"" +
               std::string(display ? display : "wayland-0") + "\"";
    }
    return std::nullopt;  // offscreen, minimal, vnc and the like need no display server
}

}  // namespace

std::optional<std::string> DisplayProblem(const DisplayEnvironment& environment,
                                          const DisplayProbes& probes) {
    std::optional<std::string> firstProblem;
    for (const std::string& platform : PlatformsToTry(environment)) {
        auto problem = PlatformProblem(platform, environment, probes);
        if (!problem) return std::nullopt;
        if (!firstProblem) firstProblem = std::move(problem);
    }
    if (firstProblem) return firstProblem;
    return std::string("no display platform is named");
}

std::optional<std::string> DisplayProblem() {
    const DisplayEnvironment environment{std::getenv("QT_QPA_PLATFORM"), std::getenv("DISPLAY"),
                                         std::getenv("WAYLAND_DISPLAY")};
    return DisplayProblem(environment, {CanConnectToX11, CanConnectToWayland});
}

}  // namespace pixolune::ui
