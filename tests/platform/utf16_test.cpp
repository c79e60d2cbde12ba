#include "platform/utf16.h"

#include <gtest/gtest.h>

#include <string>

namespace pixolune::platform {
namespace {

struct Utf8Case {
    const char* name;
    std::string utf8;
    std::u16string utf16;
};

class Utf8ToUtf16Test : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8ToUtf16Test, Converts) {
    EXPECT_EQ(Utf8ToUtf16(GetParam().utf8), GetParam().utf16);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Utf8ToUtf16Test,
    ::testing::Values(Utf8Case{"Ascii", "Sunset", u"Sunset"}, Utf8Case{"Empty", "", u""},
                      Utf8Case{"TwoBytes", "Caf\xC3\xA9", u"Caf\u00E9"},
                      Utf8Case{"ThreeBytes", "\xE2\x82\xAC 5", u"\u20AC 5"},
                      Utf8Case{"FourBytesBecomeASurrogatePair", "\xF0\x9F\x8C\x85", u"\U0001F305"},
                      Utf8Case{"StrayContinuationByte", "a\x80z", u"a\uFFFDz"},
                      Utf8Case{"OverlongSlash", "\xC0\xAF", u"\uFFFD\uFFFD"},
                      Utf8Case{"EncodedSurrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
                      Utf8Case{"BeyondU10FFFF", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
                      Utf8Case{"CutShortAtTheEnd", "ok\xE2\x82", u"ok\uFFFD\uFFFD"},
                      Utf8Case{"NulIsKept", std::string("a\0b", 3), std::u16string(u"a\0b", 3)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AppendUtf16Le, WritesLowByteFirst) {
    std::string bytes;
    AppendUtf16Le(bytes, u"A\u20AC");
    EXPECT_EQ(bytes, std::string("A\0\xAC\x20", 4));
}

}  // namespace
}  // namespace pixolune::platform
