#include "platform/auto_reset_event.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace pixolune::platform {
namespace {

using namespace std::chrono_literals;
TEST(AutoResetEvent, TimesOutWhenNotSignalled) {
    AutoResetEvent event;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(event.WaitFor(50ms));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 45ms);
}

TEST(AutoResetEvent, OneSignalEndsExactlyOneWait) {
    AutoResetEvent event;
    event.Set();
    event.Set();  // a second signal before the wait is not counted twice
    EXPECT_TRUE(event.WaitFor(0ms));
    EXPECT_FALSE(event.WaitFor(0ms));
}

TEST(AutoResetEvent, SignalFromAnotherThreadEndsAWaitEarly) {
    AutoResetEvent event;
    std::thread signaller([&] {
        std::this_thread::sleep_for(20ms);
        event.Set();
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(event.WaitFor(10s));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    signaller.join();
}

}  // namespace
}  // namespace pixolune::platform
