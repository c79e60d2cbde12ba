// The token in the desktop's keyring or in its file, against a real
// gnome-keyring-daemon on a session bus of the test's own, with and without it.
#include "platform/token_store.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>

#include "fake_host.h"
#include "tests/support/bus_connection.h"
#include "tests/support/session_bus.h"

namespace pixolune::platform {
namespace {

const char* const kKey = "Software\\Torvane\\PixolunePlugin";

// One bus for the whole binary: GLib keeps its connection for the process.
test::PrivateSessionBus& Bus() {
    static test::PrivateSessionBus bus;
    return bus;
}

class TokenStoreTest : public ::testing::Test {
  protected:
    void SetUp() override { ::setenv("DBUS_SESSION_BUS_ADDRESS", Bus().Address().c_str(), 1); }

    bool FileExists(const char* valueName) const {
        return ::access(home_.TokenFile(valueName).c_str(), F_OK) == 0;
    }

    test::ScopedConfigHome home_;  // hides the bus: SetUp names the test's own again
    TokenStore store_{kKey};
};

TEST_F(TokenStoreTest, AnUnlockedKeyringTakesTheTokenAndTheFileCopyGoes) {
    const test::KeyringDaemon keyring(Bus());
    ASSERT_TRUE(WriteRegistryString(kKey, "TokenKAL", "tok-from-file"));
    const StoredToken before = store_.Read("TokenKAL");
    EXPECT_EQ(TokenPlace::File, before.place);
    EXPECT_EQ("tok-from-file", before.text);
    EXPECT_TRUE(before.keyring.Usable()) << before.keyring.problem;

    const SavedToken saved = store_.Write("TokenKAL", "label", "tok-new");
    EXPECT_EQ(TokenPlace::Keyring, saved.place) << saved.keyring.problem;
    EXPECT_FALSE(FileExists("TokenKAL")) << "one place only";
    ASSERT_EQ(TokenPlace::Keyring, store_.Write("TokenNVX", "label", "tok-nvx").place);
    EXPECT_EQ("tok-new", store_.Read("TokenKAL").text);
    EXPECT_EQ("tok-nvx", store_.Read("TokenNVX").text) << "one item per host variant";

    // An empty token keeps nothing, in either place.
    EXPECT_EQ(TokenPlace::None, store_.Write("TokenKAL", "label", "").place);
    const StoredToken cleared = store_.Read("TokenKAL");
    EXPECT_EQ(TokenPlace::None, cleared.place);
    EXPECT_FALSE(cleared.keyring.secret.has_value());
    EXPECT_FALSE(FileExists("TokenKAL"));
}

// A frame that logs in automatically leaves the keyring locked: nothing may
// ask for its password, so the token goes to the file, and a token kept in the
// locked keyring is reported, not read.
TEST_F(TokenStoreTest, ALockedKeyringLeavesTheTokenInTheFile) {
    test::KeyringDaemon keyring(Bus());
    ASSERT_EQ(TokenPlace::Keyring, store_.Write("TokenNVX", "label", "tok-kept").place);
    keyring.Lock();
    const StoredToken locked = store_.Read("TokenNVX");
    EXPECT_EQ(TokenPlace::None, locked.place);
    EXPECT_EQ(KeyringState::Locked, locked.keyring.state);

    const SavedToken saved = store_.Write("TokenKAL", "label", "tok-file");
    EXPECT_EQ(TokenPlace::File, saved.place);
    EXPECT_EQ(KeyringState::Locked, saved.keyring.state);
    EXPECT_EQ("the keyring is locked", saved.keyring.problem);
    EXPECT_EQ("tok-file", ReadRegistryString(kKey, "TokenKAL").text);
}

struct AbsentCase {
    const char* name;
    bool sessionBus;
    KeyringState state;
};

class TokenStoreWithoutKeyringTest : public TokenStoreTest,
                                     public ::testing::WithParamInterface<AbsentCase> {};

TEST_P(TokenStoreWithoutKeyringTest, KeepsTheTokenInTheFileAndSaysWhy) {
    if (!GetParam().sessionBus) ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    const SavedToken saved = store_.Write("TokenKAL", "label", "tok-file");
    EXPECT_EQ(TokenPlace::File, saved.place);
    EXPECT_EQ(GetParam().state, saved.keyring.state) << saved.keyring.problem;
    EXPECT_FALSE(saved.keyring.problem.empty());
    const StoredToken read = store_.Read("TokenKAL");
    EXPECT_EQ(TokenPlace::File, read.place);
    EXPECT_EQ("tok-file", read.text);
}

INSTANTIATE_TEST_SUITE_P(
    Sessions, TokenStoreWithoutKeyringTest,
    ::testing::Values(AbsentCase{"NoSecretService", true, KeyringState::NoService},
                      AbsentCase{"NoSessionBus", false, KeyringState::NoSessionBus}),
    [](const auto& info) { return std::string(info.param.name); });

// A Secret Service that never answers holds the caller no longer than the deadline.
TEST_F(TokenStoreTest, AKeyringThatNeverAnswersGivesUpAtTheDeadline) {
    const test::BusConnection silent = test::ConnectToBus(Bus().Address());
    ASSERT_GE(sd_bus_request_name(silent.get(), "org.freedesktop.secrets", 0), 0);
    const TokenStore store(kKey, SecretServiceKeyring(std::chrono::milliseconds(300)));
    const auto start = std::chrono::steady_clock::now();
    const SavedToken saved = store.Write("TokenKAL", "label", "tok-file");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(TokenPlace::File, saved.place);
    EXPECT_EQ(KeyringState::Failed, saved.keyring.state);
    EXPECT_EQ("the Secret Service did not answer in time", saved.keyring.problem);
}

}  // namespace
}  // namespace pixolune::platform
