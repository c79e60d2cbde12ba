#include "platform/user_registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "fake_host.h"

namespace pixolune::platform {
namespace {

const char* const kKey = "Software\\Torvane\\PixolunePlugin";

class UserRegistryTest : public ::testing::Test {
  protected:
    test::ScopedConfigHome home;
};

TEST_F(UserRegistryTest, RoundTripsAValueIntoAPrivateFileWhateverTheUmask) {
    const mode_t oldMask = ::umask(0);
    ASSERT_TRUE(WriteRegistryString(kKey, "TokenKAL", "tok-1234"));
    ::umask(oldMask);
    const RegistryRead read = ReadRegistryString(kKey, "TokenKAL");
    EXPECT_EQ(read.status, RegistryReadStatus::Ok);
    EXPECT_EQ(read.text, "tok-1234");
    struct stat file {
    }, folder{};
    ASSERT_EQ(::stat(home.TokenFile("TokenKAL").c_str(), &file), 0);
    ASSERT_EQ(::stat(RegistryKeyFolder(kKey).c_str(), &folder), 0);
    EXPECT_EQ(file.st_mode & 0777, 0600u);
    EXPECT_EQ(folder.st_mode & 0777, 0700u);
    EXPECT_EQ(file.st_size, 9) << "the text and its NUL";
}

TEST_F(UserRegistryTest, MissingStoreReadsAsNoValue) {
    const RegistryRead read = ReadRegistryString(kKey, "TokenNVX");
    EXPECT_EQ(read.status, RegistryReadStatus::Missing);
    EXPECT_EQ(read.text, "");
}

TEST_F(UserRegistryTest, ValuesFillTheBufferButNoMore) {
    ASSERT_TRUE(WriteRegistryString(kKey, "TokenKAL", std::string(511, 't')));
    EXPECT_EQ(ReadRegistryString(kKey, "TokenKAL").text.size(), 511u);
    ASSERT_TRUE(WriteRegistryString(kKey, "TokenKAL", std::string(512, 't')));
    const RegistryRead read = ReadRegistryString(kKey, "TokenKAL");
    EXPECT_EQ(read.status, RegistryReadStatus::TooLong);
    EXPECT_EQ(read.text, "");
}

TEST_F(UserRegistryTest, FileOthersMayReadIsNotTrusted) {
    ASSERT_TRUE(WriteRegistryString(kKey, "TokenKAL", "tok"));
    ASSERT_EQ(::chmod(home.TokenFile("TokenKAL").c_str(), 0640), 0);
    const RegistryRead read = ReadRegistryString(kKey, "TokenKAL");
    EXPECT_EQ(read.status, RegistryReadStatus::NotPrivate);
    EXPECT_EQ(read.text, "");
}

TEST_F(UserRegistryTest, SymbolicLinkIsNotFollowedOnRead) {
    ASSERT_TRUE(WriteRegistryString(kKey, "TokenKAL", "tok"));
    const std::string elsewhere = home.Path() + "/elsewhere";
    std::ofstream(elsewhere) << "planted";
    ::chmod(elsewhere.c_str(), 0600);
    ASSERT_EQ(::symlink(elsewhere.c_str(), home.TokenFile("TokenNVX").c_str()), 0);
    EXPECT_EQ(ReadRegistryString(kKey, "TokenNVX").status, RegistryReadStatus::SymbolicLink);

    // Writing replaces the link itself and leaves its target alone.
    ASSERT_TRUE(WriteRegistryString(kKey, "TokenNVX", "fresh"));
    EXPECT_EQ(ReadRegistryString(kKey, "TokenNVX").text, "fresh");
    std::ifstream planted(elsewhere);
    std::string contents;
    std::getline(planted, contents);
    EXPECT_EQ(contents, "planted");
}

TEST_F(UserRegistryTest, NamesThatWouldLeaveTheStoreAreRefused) {
    EXPECT_FALSE(WriteRegistryString("Software\\..\\..\\etc", "TokenKAL", "x"));
    EXPECT_FALSE(WriteRegistryString(kKey, "../TokenKAL", "x"));
    EXPECT_FALSE(WriteRegistryString(kKey, "", "x"));
    EXPECT_EQ(ReadRegistryString(kKey, "..").status, RegistryReadStatus::BadName);
}

TEST(UserRegistryWithoutHomeTest, NoHomeMeansNoTokenAndAFailedWrite) {
    test::ScopedConfigHome home;
    ::unsetenv("XDG_CONFIG_HOME");
    ::unsetenv("HOME");
    EXPECT_EQ(ReadRegistryString(kKey, "TokenKAL").status, RegistryReadStatus::Missing);
    const Outcome written = WriteRegistryString(kKey, "TokenKAL", "x");
    EXPECT_FALSE(written);
    EXPECT_FALSE(written.Error().empty());
}

}  // namespace
}  // namespace pixolune::platform
