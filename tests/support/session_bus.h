#pragma once

// A desktop session of the test's own: a D-Bus session bus, and on it the
// desktop's keyring (gnome-keyring-daemon) and a notification server.
//
//   pixolune::test::PrivateSessionBus bus;          // DBUS_SESSION_BUS_ADDRESS names it
//   pixolune::test::KeyringDaemon keyring(bus);     // an unlocked login keyring
//   keyring.Lock();                                  // as a frame's automatic login leaves it
//
// The bus starts nothing on demand, so nothing of the real desktop can answer
// on it. GLib keeps one session bus connection per process: a test binary
// that uses the keyring through libsecret uses one bus for its whole life.

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace pixolune::test {

// dbus-daemon on a socket in a fresh folder, named by DBUS_SESSION_BUS_ADDRESS
// for the life of the object (the old value comes back afterwards). Throws
// std::runtime_error when it does not start.
class PrivateSessionBus {
  public:
    PrivateSessionBus();
    ~PrivateSessionBus();
    PrivateSessionBus(const PrivateSessionBus&) = delete;
    PrivateSessionBus& operator=(const PrivateSessionBus&) = delete;

    const std::string& Address() const { return address_; }
    // True once `name` has an owner on the bus; false after the time-out.
    bool WaitForName(const std::string& name, std::chrono::milliseconds timeout) const;

  private:
    TempDir dir_;
    std::unique_ptr<ChildProcess> daemon_;
    std::string address_;
    std::optional<std::string> oldAddress_;
};

// gnome-keyring-daemon's Secret Service on `bus`, with a login keyring of its
// own (in a fresh folder) made and unlocked with a password. Throws
// std::runtime_error when it does not start.
class KeyringDaemon {
  public:
    explicit KeyringDaemon(const PrivateSessionBus& bus);
    ~KeyringDaemon();
    KeyringDaemon(const KeyringDaemon&) = delete;
    KeyringDaemon& operator=(const KeyringDaemon&) = delete;

    // Locks the login keyring, as the daemon's Lock call does without a prompt.
    void Lock();

  private:
    const PrivateSessionBus& bus_;
    TempDir dir_;
    std::unique_ptr<ChildProcess> daemon_;
};

}  // namespace pixolune::test
