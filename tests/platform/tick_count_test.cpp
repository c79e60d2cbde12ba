#include "platform/tick_count.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace pixolune::platform {
namespace {

TEST(TickCount, AdvancesInMilliseconds) {
    const uint32_t before = TickCount();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    const uint32_t elapsed = TicksBetween(before, TickCount());
    EXPECT_GE(elapsed, 29u);
    EXPECT_LT(elapsed, 5000u);
}

TEST(TickCount, DistanceAcrossTheWrapIsTheTrueInterval) {
    EXPECT_EQ(TicksBetween(0xFFFFFF00u, 0x00000100u), 0x200u);
    EXPECT_EQ(TicksBetween(100u, 100u), 0u);
}

}  // namespace
}  // namespace pixolune::platform
