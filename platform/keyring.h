#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace pixolune::platform {

// The desktop's keyring: the Secret Service of the session bus (GNOME Keyring,
// KWallet), through libsecret. One item per value name, found by the
// attribute "value" (say "TokenKAL") under a schema of our own, kept in the
// default collection. Nothing here ever asks for a password: a locked keyring
// is reported, not unlocked, and every call ends by its deadline, so a
// keyring that hangs or prompts never holds up the caller for longer.

enum class KeyringState {
    Usable,        // the service answered; the operation did what it says
    NoSessionBus,  // neither DBUS_SESSION_BUS_ADDRESS nor $XDG_RUNTIME_DIR/bus, or unreachable
    NoService,     // nothing on the bus offers org.freedesktop.secrets
    NoKeyring,     // the service has no default keyring (making one asks for a password)
    Locked,        // the keyring (or the item's) is locked
    Failed,        // any other error, a time-out included
};

struct KeyringAnswer {
    KeyringState state = KeyringState::Failed;
    std::string problem;                // why it is not usable, for a log line
    std::optional<std::string> secret;  // Lookup: the item's text, when there is an item

    [[nodiscard]] bool Usable() const { return state == KeyringState::Usable; }
};

class SecretServiceKeyring {
  public:
    static constexpr std::chrono::milliseconds kDefaultDeadline{3000};

    explicit SecretServiceKeyring(std::chrono::milliseconds deadline = kDefaultDeadline)
        : deadline_(deadline) {}

    // The item's text; Usable without a secret when there is no item. An item
    // in a locked collection gives Locked.
    [[nodiscard]] KeyringAnswer Lookup(const std::string& valueName) const;
    // Creates or replaces the item in the default collection, labelled `label`
    // for the keyring's manager. Locked when that collection is locked.
    [[nodiscard]] KeyringAnswer Store(const std::string& valueName, const std::string& label,
                                      const std::string& secret) const;
    // Removes the item from every unlocked collection; Usable when there was none.
    [[nodiscard]] KeyringAnswer Clear(const std::string& valueName) const;

  private:
    std::chrono::milliseconds deadline_;
};

// The one word of a state, for "kalhost status" and log lines.
[[nodiscard]] const char* DescribeKeyringState(KeyringState state);

}  // namespace pixolune::platform
