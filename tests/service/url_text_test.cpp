#include "service/url_text.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "service/service_addresses.h"

namespace pixolune {
namespace {

TEST(PercentEncodeTest, KeepsUnreservedAndEncodesEverythingElse) {
    EXPECT_EQ(PercentEncode("Sun-set_1.~"), "Sun-set_1.~");
    EXPECT_EQ(PercentEncode("a b#c?d/e&f%"), "a%20b%23c%3Fd%2Fe%26f%25");
    EXPECT_EQ(PercentEncode("gr\xC3\xBC\xC3\x9F"), "gr%C3%BC%C3%9F");
    EXPECT_EQ(PercentEncode(".."), "..");
}

struct TagCase {
    std::string tags;
    std::vector<std::string> expected;
};

class SplitTagsTest : public ::testing::TestWithParam<TagCase> {};

TEST_P(SplitTagsTest, TrimsAndDropsEmptyEntries) {
    EXPECT_EQ(SplitTags(GetParam().tags), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Lists, SplitTagsTest,
                         ::testing::Values(TagCase{" sunset , beach,, \t,", {"sunset", "beach"}},
                                           TagCase{"one", {"one"}}, TagCase{"", {}},
                                           TagCase{" , ,\r\n,", {}}, TagCase{"a,a", {"a", "a"}},
                                           TagCase{"#x, y z ", {"#x", "y z"}}));

const std::string kToken = "tok-0123456789-secret";
const std::string kMasked =
    "\xE2\x80\xA6"
    "cret";

struct MaskCase {
    std::string url;
    std::string expected;
};

class MaskAccessTokenTest : public ::testing::TestWithParam<MaskCase> {};

TEST_P(MaskAccessTokenTest, NoTokenSurvives) {
    const std::string masked = MaskAccessToken(GetParam().url, kToken);
    EXPECT_EQ(masked, GetParam().expected);
    EXPECT_EQ(masked.find(kToken), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Urls, MaskAccessTokenTest,
    ::testing::Values(MaskCase{"https://a/v1/users/self/feed?access_token=" + kToken,
                               "https://a/v1/users/self/feed?access_token=" + kMasked},
                      MaskCase{"http://a/p?x=1&access_token=" + kToken + "&max_id=5#f",
                               "http://a/p?x=1&access_token=" + kMasked + "&max_id=5#f"},
                      MaskCase{"http://a/p?access_token=other-token-9876&next=" + kToken,
                               "http://a/p?access_token=\xE2\x80\xA6"
                               "9876&next=" +
                                   kMasked},
                      MaskCase{"http://a/p?my_access_token=keep",
                               "http://a/p?my_access_token=keep"},
                      MaskCase{"http://a/p?access_token=", "http://a/p?access_token=(none)"},
                      MaskCase{"http://a/p", "http://a/p"}));

TEST(ServiceAddressesTest, EnvironmentOverridesTheBuiltInAddresses) {
    unsetenv("PIXOLUNE_API_BASE");
    unsetenv("PIXOLUNE_OAUTH_BASE");
    EXPECT_EQ(ApiBaseUrl(), kApiBaseUrl);
    EXPECT_EQ(OAuthAuthorizeUrl(), kOAuthAuthorizeUrl);
    EXPECT_EQ(std::string(kApiBaseUrl).rfind("https://", 0), 0u);
    EXPECT_EQ(std::string(kApiBaseUrl).substr(std::string(kApiBaseUrl).size() - 3), "/v1");

    setenv("PIXOLUNE_API_BASE", "http://127.0.0.1:9/v1/", 1);
    setenv("PIXOLUNE_OAUTH_BASE", "http://127.0.0.1:9/oauth/authorize/", 1);
    EXPECT_EQ(ApiBaseUrl(), "http://127.0.0.1:9/v1");
    EXPECT_EQ(OAuthAuthorizeUrl(), "http://127.0.0.1:9/oauth/authorize/");
    unsetenv("PIXOLUNE_API_BASE");
    unsetenv("PIXOLUNE_OAUTH_BASE");
}

}  // namespace
}  // namespace pixolune
