#pragma once

#include "model/host_link.h"

namespace pixolune::test {

// Hands a host callback to the plug-in code linked into a test and takes it
// back on every path, a failed assertion included, so that no later test
// logs into a host that is gone.
class ScopedHostCallback {
  public:
    explicit ScopedHostCallback(HostCallback callback) { SetHostCallback(callback); }
    ~ScopedHostCallback() { SetHostCallback(nullptr); }
    ScopedHostCallback(const ScopedHostCallback&) = delete;
    ScopedHostCallback& operator=(const ScopedHostCallback&) = delete;
};

}  // namespace pixolune::test
