#include "platform/private_profile.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "platform/utf16.h"
#include "tests/support/temp_dir.h"

namespace pixolune::platform {
namespace {

std::string Utf16Le(const std::u16string& text) {
    std::string bytes("\xFF\xFE", 2);
    AppendUtf16Le(bytes, text);
    return bytes;
}

TEST(PrivateProfileWriter, WritesSectionsAndKeysInFirstSetOrder) {
    PrivateProfileWriter profile;
    profile.SetString(u"Enable", u"Description", u"1");
    profile.SetString(u"Description", u"Text", u"old");
    profile.SetString(u"Enable", u"Other", u"2");
    profile.SetString(u"Description", u"Text", u"Gr\u00FC\u00DFe");
    EXPECT_EQ(
        profile.Bytes(),
        Utf16Le(
            u"[Enable]\r\nDescription=1\r\nOther=2\r\n[Description]\r\nText=Gr\u00FC\u00DFe\r\n"));
}

TEST(PrivateProfileWriter, EmptyProfileIsTheByteOrderMarkAlone) {
    EXPECT_EQ(PrivateProfileWriter().Bytes(), std::string("\xFF\xFE", 2));
}

TEST(PrivateProfileWriter, WriteToReplacesTheFileWhole) {
    const test::TempDir folder;
    const std::string path = folder.File("a.kprop");
    { std::ofstream(path) << "a much longer previous content that must not survive at the end"; }
    PrivateProfileWriter profile;
    profile.SetString(u"S", u"K", u"");
    ASSERT_TRUE(profile.WriteTo(RealFileSystem(), path));
    std::ifstream in(path, std::ios::binary);
    const std::string read((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(read, Utf16Le(u"[S]\r\nK=\r\n"));
}

}  // namespace
}  // namespace pixolune::platform
