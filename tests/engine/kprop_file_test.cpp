#include "engine/kprop_file.h"

#include <gtest/gtest.h>

#include <string>

#include "engine_test_support.h"

namespace pixolune {
namespace {

// Little-endian UTF-16 bytes of an ASCII text, for the expected files.
std::string Le(const std::string& ascii) {
    std::string bytes;
    for (const char c : ascii) {
        bytes.push_back(c);
        bytes.push_back('\0');
    }
    return bytes;
}

const std::string kBom("\xFF\xFE", 2);

std::string Expected(const std::string& textValueBytes) {
    return kBom + Le("[Enable]\r\nDescription=1\r\n[Description]\r\nText=") + textValueBytes +
           Le("\r\n");
}

struct EscapeCase {
    std::u16string in;
    std::u16string out;
};

class EscapeProfileTextTest : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(EscapeProfileTextTest, Escapes) {
    std::u16string text = GetParam().in;
    EscapeProfileText(text);
    EXPECT_EQ(text, GetParam().out);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EscapeProfileTextTest,
    ::testing::Values(EscapeCase{u"", u""}, EscapeCase{u"plain", u"plain"},
                      EscapeCase{u"two\nlines", u"two\\nlines"}, EscapeCase{u"a\\nb", u"a\\\\nb"},
                      EscapeCase{u"\r\n", u"\\r\\n"},
                      EscapeCase{u"bell\a esc\x1B[2J\ttab\x7F", u"bell  esc [2J tab "},
                      EscapeCase{u"\\\\\n\n", u"\\\\\\\\\\n\\n"}));

struct SidecarCase {
    const char* name;
    int title, descr, owner;
    std::string caption, owner_name, prefix;
    std::string textBytes;  // UTF-16LE of the expected "Text" value
};

class KpropFileBytesTest : public ::testing::TestWithParam<SidecarCase> {};

TEST_P(KpropFileBytesTest, MatchesTheExpectedFile) {
    PluginSettings settings;
    settings.KpropTitle = GetParam().title;
    settings.KpropDescr = GetParam().descr;
    settings.KpropOwner = GetParam().owner;
    settings.AuthPrefix = GetParam().prefix;
    const CPixoluneItem item{GetParam().caption, "http://h/a.jpg", GetParam().owner_name};
    EXPECT_EQ(KpropFileBytes(settings, item), Expected(GetParam().textBytes));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, KpropFileBytesTest,
    ::testing::Values(
        SidecarCase{"TwoLineCaptionStaysOnOneLine", 1, 0, 0, "Sunset\nover sea", "ann", "by",
                    Le("Sunset\\nover sea")},
        SidecarCase{"OwnerWithoutCaptionHasNoLeadingLineFeed", 1, 0, 1, "", "ann", "Photo by",
                    Le("Photo by ann")},
        SidecarCase{"CaptionAndOwner", 1, 0, 1, "Dune", "ann", "by", Le("Dune\\nby ann")},
        SidecarCase{"BackslashNStaysDistinct", 1, 0, 0, "a\\nb", "", "", Le("a\\\\nb")},
        SidecarCase{"OnlyDescrGivesAnEmptyText", 0, 1, 0, "ignored", "ann", "by", ""},
        SidecarCase{"NonAsciiCaption", 1, 0, 0, "Caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8C\x85", "", "",
                    Le("Caf") + std::string("\xE9\x00", 2) + Le(" ") + std::string("\xAC\x20", 2) +
                        Le(" ") + std::string("\x3C\xD8\x05\xDF", 4)},
        SidecarCase{"InvalidUtf8BecomesReplacement", 1, 0, 0, "a\xFFz", "", "",
                    Le("a") + std::string("\xFD\xFF", 2) + Le("z")}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(WriteKpropSidecar, WritesBesideTheMediaFileUnderTheKpropName) {
    test::TempDir folder;
    PluginSettings settings;
    settings.KpropTitle = 1;
    ASSERT_TRUE(WriteKpropSidecar(platform::RealFileSystem(), folder.File("photo.jpg"), settings,
                                  {"Hi", "u", "o"}));
    EXPECT_EQ(test::ReadFile(folder.File("photo.kprop")), Expected(Le("Hi")));
    EXPECT_EQ(test::FolderNames(folder.Path()), std::vector<std::string>{"photo.kprop"});
}

}  // namespace
}  // namespace pixolune
