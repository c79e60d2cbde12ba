#include "platform/url_parts.h"

#include <gtest/gtest.h>

namespace pixolune::platform {
namespace {

TEST(ParseUrl, SplitsHttpsWithQuery) {
    const auto parts = ParseUrl("https://media.example.org/a/b/photo_n.jpg?size=large");
    ASSERT_TRUE(parts);
    EXPECT_EQ(parts->scheme, "https");
    EXPECT_EQ(parts->service, kServiceHttps);
    EXPECT_EQ(parts->host, "media.example.org");
    EXPECT_EQ(parts->port, 443);
    EXPECT_EQ(parts->objectPath, "/a/b/photo_n.jpg?size=large");
}

TEST(ParseUrl, KeepsThePathAsWritten) {
    const auto parts = ParseUrl("http://127.0.0.1:8080/x/../%2e%2e/My%20Photo.JPG");
    ASSERT_TRUE(parts);
    EXPECT_EQ(parts->service, kServiceHttp);
    EXPECT_EQ(parts->port, 8080);
    EXPECT_EQ(parts->objectPath, "/x/../%2e%2e/My%20Photo.JPG");
}

TEST(ParseUrl, OtherSchemesParseWithServiceZero) {
    const auto parts = ParseUrl("ftp://files.example.org/pic.jpg");
    ASSERT_TRUE(parts);
    EXPECT_EQ(parts->service, kServiceOther);
    EXPECT_EQ(parts->objectPath, "/pic.jpg");
}

class ParseUrlRefuses : public ::testing::TestWithParam<const char*> {};

TEST_P(ParseUrlRefuses, Refuses) {
    EXPECT_FALSE(ParseUrl(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(NoAbsoluteUrl, ParseUrlRefuses,
                         ::testing::Values("", "photo.jpg", "/a/b.jpg", "http://", "http:// x/",
                                           "http://host/a\nb.jpg", "://host/p"));

}  // namespace
}  // namespace pixolune::platform
