#pragma once

#include <string>

#include "platform/keyring.h"
#include "platform/outcome.h"
#include "platform/user_registry.h"

namespace pixolune::platform {

// Where the access token is kept: the desktop's keyring where the session
// offers one that is unlocked, else the private file of the per-user store
// ("<config>/<key path>/<value name>", mode 0600), never both. Saving to the
// keyring removes the file's copy; a file copy found beside a keyring item is
// therefore the newer one (written while the keyring could not be used) and
// wins until the next save moves it.

// The key path of the token's file, and its value name per host variant: one
// token per variant, in the keyring as in the file.
inline constexpr const char* kTokenKeyPath = "Software\\Torvane\\PixolunePlugin";
[[nodiscard]] constexpr const char* TokenValueName(int hostVariant) {
    return hostVariant == 1 ? "TokenNVX" : "TokenKAL";
}

enum class TokenPlace {
    None,     // no token kept anywhere
    Keyring,  // in the Secret Service
    File,     // in the private file
};

struct StoredToken {
    std::string text;  // as kept; empty with TokenPlace::None
    TokenPlace place = TokenPlace::None;
    RegistryReadStatus fileStatus = RegistryReadStatus::Missing;  // the file's copy
    KeyringAnswer keyring;                                        // what the keyring said
};

struct SavedToken {
    TokenPlace place = TokenPlace::None;  // where the token now is
    KeyringAnswer keyring;                // why the file was used, when it was
    Outcome outcome = Outcome::Ok();      // a write that failed: the token is in memory only
};

class TokenStore {
  public:
    explicit TokenStore(std::string keyPath = kTokenKeyPath,
                        SecretServiceKeyring keyring = SecretServiceKeyring())
        : keyPath_(std::move(keyPath)), keyring_(keyring) {}

    [[nodiscard]] StoredToken Read(const std::string& valueName) const;
    // Keeps `token` (an empty one: keeps none) labelled `label` in the keyring
    // when it can be used, else in the file, and removes the other copy where
    // it can. A file that the read refuses (a link, readable by others) is left
    // as it is.
    [[nodiscard]] SavedToken Write(const std::string& valueName, const std::string& label,
                                   const std::string& token) const;
    // The path of the file that holds (or would hold) the token.
    [[nodiscard]] std::string FilePath(const std::string& valueName) const;

  private:
    [[nodiscard]] SavedToken WriteToFile(const std::string& valueName, const std::string& token,
                                         KeyringAnswer why) const;

    std::string keyPath_;
    SecretServiceKeyring keyring_;
};

// "the keyring" / "the file <path>" / "nowhere", for a person.
[[nodiscard]] std::string DescribeTokenPlace(const TokenStore& store, const std::string& valueName,
                                             TokenPlace place);

}  // namespace pixolune::platform
