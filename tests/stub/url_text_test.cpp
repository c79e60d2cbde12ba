#include "stub/url_text.h"

#include <gtest/gtest.h>

namespace pixolune::stub {
namespace {

struct TextCase {
    std::string input;
    std::string expected;
};

void PrintTo(const TextCase& c, std::ostream* out) {
    *out << '"' << c.input << '"';
}

class PercentDecodeTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(PercentDecodeTest, DecodesEscapesAndKeepsMalformedOnes) {
    EXPECT_EQ(PercentDecode(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, PercentDecodeTest,
                         ::testing::Values(TextCase{"city%20lights", "city lights"},
                                           TextCase{"a%2Fb", "a/b"},
                                           TextCase{"%e2%82%AC", "\xe2\x82\xac"},
                                           TextCase{"plus+stays", "plus+stays"},
                                           TextCase{"bad%zzescape", "bad%zzescape"},
                                           TextCase{"cut%2", "cut%2"}, TextCase{"end%", "end%"}));

TEST(PercentEncodeTest, EscapesEverythingOutsideTheUnreservedSetAndRoundTrips) {
    const std::string tag = "a b#c?d/e&f%g~h.i_j-k\xc3\xa9";
    EXPECT_EQ(PercentEncode(tag), "a%20b%23c%3Fd%2Fe%26f%25g~h.i_j-k%C3%A9");
    EXPECT_EQ(PercentDecode(PercentEncode(tag)), tag);
}

class RemoveDotSegmentsTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(RemoveDotSegmentsTest, NormalisesLikeAClient) {
    EXPECT_EQ(RemoveDotSegments(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, RemoveDotSegmentsTest,
                         ::testing::Values(TextCase{"plain.jpg", "plain.jpg"},
                                           TextCase{"a/../b.jpg", "b.jpg"},
                                           TextCase{"a/./b.jpg", "a/b.jpg"},
                                           TextCase{"../../x.jpg", "x.jpg"},
                                           TextCase{"folder/", "folder/"}, TextCase{"a/b/..", "a/"},
                                           TextCase{"a//b", "a//b"}));

TEST(HtmlEscapeTest, EscapesMarkupCharacters) {
    EXPECT_EQ(HtmlEscape("<a href=\"x\">&'</a>"),
              "&lt;a href=&quot;x&quot;&gt;&amp;&#39;&lt;/a&gt;");
}

}  // namespace
}  // namespace pixolune::stub
