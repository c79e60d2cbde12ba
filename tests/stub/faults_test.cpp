#include "stub/faults.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace pixolune::stub {
namespace {

TEST(ParseFaultTest, ReadsTheMembersOfItsMode) {
    Fault fault = ParseFault(
        R"({"path":"/v1/users/self/feed","mode":"status","status":429,"count":2,"retry_after":7})");
    EXPECT_EQ(fault.mode, FaultMode::kStatus);
    EXPECT_EQ(fault.pathPrefix, "/v1/users/self/feed");
    EXPECT_EQ(fault.status, 429);
    EXPECT_EQ(fault.remaining, 2);
    EXPECT_EQ(fault.retryAfterSeconds, 7);
}

TEST(ParseFaultTest, DefaultsApplyToEveryPathWithoutLimit) {
    Fault fault = ParseFault(R"({"mode":"status","status":429})");
    EXPECT_EQ(fault.pathPrefix, "");
    EXPECT_EQ(fault.remaining, -1);
    EXPECT_EQ(fault.retryAfterSeconds, 1);
    EXPECT_EQ(ParseFault(R"({"mode":"deep_nesting"})").depth, 100000u);
}

class BadFaultTest : public ::testing::TestWithParam<const char*> {};

TEST_P(BadFaultTest, IsRefused) {
    EXPECT_THROW(ParseFault(GetParam()), std::runtime_error);
}

INSTANTIATE_TEST_SUITE_P(Cases, BadFaultTest,
                         ::testing::Values("", "[]", R"({"mode":"explode"})", R"({})",
                                           R"({"mode":"status","status":"500"})",
                                           R"({"mode":"status","status":99})",
                                           R"({"mode":"stall","count":0})",
                                           R"({"mode":"redirect_to"})",
                                           R"({"mode":"wrong_types","variant":"nope"})",
                                           R"({"mode":"trickle","interval_ms":-5})",
                                           R"({"mode":"huge_reply","bytes":-1})",
                                           R"({"mode":"nul_in_body","at":"start"})"));

TEST(FaultTableTest, AppliesToMatchingPathsOnlyAndForTheGivenCount) {
    FaultTable table;
    table.Add(ParseFault(R"({"path":"/v1/media/popular","mode":"empty_body","count":2})"));
    EXPECT_FALSE(table.Take("/v1/users/self/feed", "/v1/users/self/feed"));
    EXPECT_TRUE(table.Take("/v1/media/popular", "/v1/media/popular"));
    EXPECT_TRUE(table.Take("/v1/media/popular", "/v1/media/popular"));
    EXPECT_FALSE(table.Take("/v1/media/popular", "/v1/media/popular"));
}

TEST(FaultTableTest, FirstAddedWinsAndAPrefixMatchesEncodedOrDecoded) {
    FaultTable table;
    table.Add(ParseFault(R"({"path":"/v1/tags/city lights","mode":"stall","count":1})"));
    table.Add(ParseFault(R"({"mode":"empty_body"})"));
    auto first =
        table.Take("/v1/tags/city%20lights/media/recent", "/v1/tags/city lights/media/recent");
    ASSERT_TRUE(first);
    EXPECT_EQ(first->mode, FaultMode::kStall);
    auto second =
        table.Take("/v1/tags/city%20lights/media/recent", "/v1/tags/city lights/media/recent");
    ASSERT_TRUE(second);
    EXPECT_EQ(second->mode, FaultMode::kEmptyBody);
    table.Clear();
    EXPECT_FALSE(table.Take("/x", "/x"));
}

}  // namespace
}  // namespace pixolune::stub
