// Thousands of hostile media URLs from a seeded generator, fed to the local
// name maker: every name it accepts must be one plain file of the media folder.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <random>
#include <string>
#include <vector>

#include "engine/local_names.h"
#include "engine_test_support.h"
#include "fake_host.h"
#include "fuzz/local_name_check.h"
#include "host_callback_guard.h"
#include "model/host_link.h"

namespace pixolune {
namespace {

constexpr int kUrlsPerSeed = 2500;

class HostileUrlGenerator {
  public:
    explicit HostileUrlGenerator(uint32_t seed) : random_(seed) {}

    std::string Next() {
        std::string url = Pick(kSchemes) + Pick(kHosts);
        const int segments = Below(6);
        for (int i = 0; i < segments; ++i) url += "/" + Segment();
        if (Below(3) == 0) url += "?" + Segment() + "/" + Segment();
        if (Below(5) == 0) url += "/";
        if (Below(8) == 0) url += "#" + Segment();
        return url;
    }

  private:
    std::string Segment() {
        std::string segment;
        const int pieces = 1 + Below(4);
        for (int i = 0; i < pieces; ++i) segment += Piece();
        return segment;
    }

    std::string Piece() {
        switch (Below(12)) {
            case 0:
                return std::string(1, static_cast<char>(Below(0x20)));  // control, NUL too
            case 1:
                return std::string(1 + Below(300), 'n');  // very long
            case 2:
                return std::string(1, static_cast<char>(0x80 + Below(0x80)));  // raw high byte
            default:
                return Pick(kPieces);
        }
    }

    template <size_t N>
    std::string Pick(const char* const (&choices)[N]) {
        return choices[Below(static_cast<int>(N))];
    }
    int Below(int bound) { return std::uniform_int_distribution<int>(0, bound - 1)(random_); }

    static constexpr const char* kSchemes[] = {
        "http://", "https://", "HTTP://", "file://", "ftp://",    "javascript:",
        "data:",   "//",       "http:/",  "",        "http:\\\\", "gopher://"};
    static constexpr const char* kHosts[] = {
        "h", "127.0.0.1", "[::1]", "h:8080", "u:p@h", "", "h%2f", "xn--bcher-kva.example"};
    static constexpr const char* kPieces[] = {"..",
                                              ".",
                                              "%2e%2e",
                                              "%2E%2e",
                                              ".%2e",
                                              "%2f",
                                              "%5c",
                                              "\\",
                                              "..\\",
                                              "/",
                                              "?",
                                              "&",
                                              "=",
                                              "%00",
                                              "photo.jpg",
                                              ".jpg",
                                              ".kprop",
                                              ".__t",
                                              "kal_pxln_files.lst",
                                              "kal_pxln_files.jnl",
                                              ".hidden",
                                              "\xC3\xA9t\xC3\xA9",
                                              "\xE2\x80\xAE",
                                              "\xF0\x9F\x98\x80",
                                              "\xFF\xFE",
                                              "\xC0\xAF",
                                              " ",
                                              "~",
                                              "*",
                                              ":",
                                              ";",
                                              "\x7F",
                                              "a"};

    std::mt19937 random_;
};

class LocalNamePropertyTest : public ::testing::TestWithParam<uint32_t> {
  protected:
    LocalNamePropertyTest() {
        media_ = root_.File("media");
        test::WriteFile(root_.File("marker"), "");
        EXPECT_EQ(::mkdir(media_.c_str(), 0700), 0);
    }

    test::TempDir root_;
    std::string media_;
    test::FakeHost host_;
    test::ScopedHostCallback callback_{&test::FakeHost::Callback};
    LocalNamer names_{platform::RealFileSystem()};
};

TEST_P(LocalNamePropertyTest, EveryAcceptedNameIsOnePlainFileOfTheMediaFolder) {
    HostileUrlGenerator generator(GetParam());
    int accepted = 0;
    for (int i = 0; i < kUrlsPerSeed; ++i) {
        const std::string url = generator.Next();
        LocalName name;
        if (MakeLocalName(platform::RealFileSystem(), media_, url, name) == LocalNameStatus::Ok) {
            ++accepted;
            EXPECT_EQ(proof::LocalNameViolation(media_, name), "") << "url: " << url;
        }
        ASSERT_TRUE(test::FolderNames(media_).empty()) << "left behind by " << url;
    }
    EXPECT_EQ(test::FolderNames(root_.Path()), (std::vector<std::string>{"marker", "media"}));
    // The generator must also make names that pass, or the property proves nothing.
    EXPECT_GT(accepted, kUrlsPerSeed / 20);
}

TEST_P(LocalNamePropertyTest, NamesTooLongForTheFileSystemAreRefusedWithTheLine) {
    HostileUrlGenerator generator(GetParam());
    int overlong = 0;
    for (int i = 0; i < kUrlsPerSeed; ++i) {
        const std::string url = generator.Next();
        LocalName name;
        if (MakeLocalName(platform::RealFileSystem(), media_, url, name) !=
                LocalNameStatus::Unusable ||
            name.fileName.size() <= kMaxLocalNameBytes)
            continue;
        ++overlong;
        std::string fullPath, fileName;
        EXPECT_FALSE(names_.BuildLocalName(media_, url, fullPath, fileName));
        EXPECT_TRUE(host_.HasLogContaining(
            "BuildLocalName(): Object name can't be used for local file: " + name.fullPath))
            << url;
    }
    EXPECT_GT(overlong, 0);
}

INSTANTIATE_TEST_SUITE_P(Seeds, LocalNamePropertyTest, ::testing::Values(1u, 7u, 20261208u));

}  // namespace
}  // namespace pixolune
