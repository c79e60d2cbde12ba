#include "ui/display_check.h"

#include <gtest/gtest.h>

namespace pixolune::ui {
namespace {

struct DisplayCase {
    const char* name;
    DisplayEnvironment environment;
    bool x11Answers;
    bool waylandAnswers;
    const char* problem;  // nullptr: a window can be shown
};

class DisplayCheckTest : public ::testing::TestWithParam<DisplayCase> {};

TEST_P(DisplayCheckTest, OnlyADisplayThatAnswersOrAPlatformWithoutOneWillDo) {
    const DisplayCase& c = GetParam();
    const DisplayProbes probes{[&](const char*) { return c.x11Answers; },
                               [&](const char*) { return c.waylandAnswers; }};
    const std::optional<std::string> problem = DisplayProblem(c.environment, probes);
    if (c.problem) {
        EXPECT_EQ(c.problem, problem.value_or("(none)"));
    } else {
        EXPECT_FALSE(problem.has_value()) << *problem;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Environments, DisplayCheckTest,
    ::testing::Values(
        DisplayCase{"NothingSet", {nullptr, nullptr, nullptr}, true, true, "DISPLAY is not set"},
        DisplayCase{"EmptyNamesNothing", {"", "", ""}, true, true, "DISPLAY is not set"},
        DisplayCase{"Offscreen", {"offscreen", nullptr, nullptr}, false, false, nullptr},
        DisplayCase{"X11Answers", {nullptr, ":0", nullptr}, true, false, nullptr},
        DisplayCase{"X11Unreachable",
                    {"xcb", "127.0.0.1:99", nullptr},
                    false,
                    true,
                    "cannot connect to X display \"127.0.0.1:99\""},
        DisplayCase{
            "WaylandFirstFallsBackToX11", {"wayland;xcb", ":1", "w-1"}, true, false, nullptr},
        DisplayCase{"WaylandUnreachable",
                    {"wayland", ":1", "w-1"},
                    true,
                    false,
                    "cannot connect to Wayland display \"w-1\""},
        DisplayCase{"SessionWithWaylandOnly", {nullptr, nullptr, "w-1"}, false, true, nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace pixolune::ui
