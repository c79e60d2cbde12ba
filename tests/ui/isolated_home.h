#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

#include "tests/support/temp_dir.h"

namespace pixolune::ui::test {

// Points HOME and the XDG folders at a fresh folder and hides the session bus
// for the life of the process, so that Qt's settings, caches and runtime
// files stay out of the real home and out of fixed paths in /tmp, and the
// desktop's keyring is never touched.
class IsolatedHome {
  public:
    IsolatedHome() {
        const std::string& home = folder_.Path();
        for (const char* sub : {"/config", "/cache", "/data", "/runtime"}) {
            std::filesystem::create_directory(home + sub);
        }
        std::filesystem::permissions(home + "/runtime", std::filesystem::perms::owner_all);
        ::setenv("HOME", home.c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (home + "/config").c_str(), 1);
        ::setenv("XDG_CACHE_HOME", (home + "/cache").c_str(), 1);
        ::setenv("XDG_DATA_HOME", (home + "/data").c_str(), 1);
        ::setenv("XDG_RUNTIME_DIR", (home + "/runtime").c_str(), 1);
        ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    }

  private:
    pixolune::test::TempDir folder_;
};

}  // namespace pixolune::ui::test
