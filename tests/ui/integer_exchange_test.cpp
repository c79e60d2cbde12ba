#include "ui/integer_exchange.h"

#include <gtest/gtest.h>

namespace pixolune::ui {
namespace {

struct IntegerCase {
    const char* text;
    int32_t minimum;
    int32_t maximum;
    std::optional<int32_t> value;  // nullopt: refused
    const char* message;
};

class IntegerExchangeTest : public ::testing::TestWithParam<IntegerCase> {};

TEST_P(IntegerExchangeTest, AcceptsOrRefusesWithTheFrameworksText) {
    const IntegerCase& c = GetParam();
    int32_t value = -12345;
    const std::optional<std::string> message = ExchangeInteger(c.text, c.minimum, c.maximum, value);
    if (c.value) {
        EXPECT_FALSE(message.has_value()) << *message;
        EXPECT_EQ(*c.value, value);
    } else {
        ASSERT_TRUE(message.has_value());
        EXPECT_EQ(c.message, *message);
        EXPECT_EQ(-12345, value) << "a refused text must not change the field";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, IntegerExchangeTest,
    ::testing::Values(
        IntegerCase{"180", 0, 9999999, 180, ""}, IntegerCase{"  42\t", 0, 9999999, 42, ""},
        IntegerCase{"+7", 0, 9999999, 7, ""}, IntegerCase{"0", 0, 9999999, 0, ""},
        IntegerCase{"9999999", 0, 9999999, 9999999, ""},
        IntegerCase{"10000000", 0, 9999999, std::nullopt,
                    "Enter an integer between 0 and 9999999."},
        IntegerCase{"-1", 0, 9999999, std::nullopt, "Enter an integer between 0 and 9999999."},
        IntegerCase{"0", 1, 999999, std::nullopt, "Enter an integer between 1 and 999999."},
        IntegerCase{"1000000", 1, 999999, std::nullopt, "Enter an integer between 1 and 999999."},
        IntegerCase{"", 0, 9999999, std::nullopt, "Enter an integer."},
        IntegerCase{"   ", 0, 9999999, std::nullopt, "Enter an integer."},
        IntegerCase{"12a", 0, 9999999, std::nullopt, "Enter an integer."},
        IntegerCase{"1 2", 0, 9999999, std::nullopt, "Enter an integer."},
        IntegerCase{"-", 0, 9999999, std::nullopt, "Enter an integer."},
        IntegerCase{"1.5", 0, 9999999, std::nullopt, "Enter an integer."},
        IntegerCase{"0x10", 0, 9999999, std::nullopt, "Enter an integer."},
        IntegerCase{"99999999999999999999", 0, 9999999, std::nullopt, "Enter an integer."},
        IntegerCase{"-2147483648", INT32_MIN, INT32_MAX, INT32_MIN, ""},
        IntegerCase{"2147483648", INT32_MIN, INT32_MAX, std::nullopt, "Enter an integer."}));

}  // namespace
}  // namespace pixolune::ui
