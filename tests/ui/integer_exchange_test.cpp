#include "ui/integer_exchange.h"

#include <gtest/gtest.h>

namespace pixolune::ui {
namespace {

struct IntegerCase {
    const char* text;
    int32_t minimum;
    int32_t maximum;
    std::optional<int32_t> value;  // nullopt: refused
};

class IntegerExchangeTest : public ::testing::TestWithParam<IntegerCase> {};

TEST_P(IntegerExchangeTest, AcceptsOnlyANumberWithinTheBounds) {
    const IntegerCase& c = GetParam();
    EXPECT_EQ(c.value, IntegerInRange(c.text, c.minimum, c.maximum)) << c.text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, IntegerExchangeTest,
    ::testing::Values(
        IntegerCase{"180", 0, 9999999, 180}, IntegerCase{"  42\t", 0, 9999999, 42},
        IntegerCase{"+7", 0, 9999999, 7}, IntegerCase{"0", 0, 9999999, 0},
        IntegerCase{"9999999", 0, 9999999, 9999999},
        IntegerCase{"10000000", 0, 9999999, std::nullopt},
        IntegerCase{"-1", 0, 9999999, std::nullopt}, IntegerCase{"0", 1, 999999, std::nullopt},
        IntegerCase{"1000000", 1, 999999, std::nullopt}, IntegerCase{"", 0, 9999999, std::nullopt},
        IntegerCase{"   ", 0, 9999999, std::nullopt}, IntegerCase{"12a", 0, 9999999, std::nullopt},
        IntegerCase{"1 2", 0, 9999999, std::nullopt}, IntegerCase{"-", 0, 9999999, std::nullopt},
        IntegerCase{"1.5", 0, 9999999, std::nullopt}, IntegerCase{"0x10", 0, 9999999, std::nullopt},
        IntegerCase{"99999999999999999999", 0, 9999999, std::nullopt},
        IntegerCase{"-2147483648", INT32_MIN, INT32_MAX, INT32_MIN},
        IntegerCase{"2147483648", INT32_MIN, INT32_MAX, std::nullopt}));

}  // namespace
}  // namespace pixolune::ui
