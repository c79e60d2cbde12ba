#include "ui/display_check.h"

#include <gtest/gtest.h>

namespace pixolune::ui {
namespace {

TEST(DisplayCheckTest, AnyChosenPlatformOrDisplayWillDo) {
    EXPECT_FALSE(DisplayAvailable(nullptr, nullptr, nullptr));
    EXPECT_FALSE(DisplayAvailable("", "", "")) << "empty variables name nothing";
    EXPECT_TRUE(DisplayAvailable("offscreen", nullptr, nullptr));
    EXPECT_TRUE(DisplayAvailable(nullptr, ":0", nullptr));
    EXPECT_TRUE(DisplayAvailable(nullptr, nullptr, "wayland-0"));
}

}  // namespace
}  // namespace pixolune::ui
