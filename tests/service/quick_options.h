#pragma once

#include "service/http_retrieval.h"

namespace pixolune::test {

// Limits short enough that a silent server costs a second, not a minute.
inline RetrievalOptions QuickOptions() {
    RetrievalOptions options;
    options.limits.connectTimeoutSeconds = 2;
    options.limits.lowSpeedBytesPerSecond = 100000;
    options.limits.lowSpeedSeconds = 1;
    return options;
}

}  // namespace pixolune::test
