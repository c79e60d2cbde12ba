#include "tests/support/session_bus.h"

#include <systemd/sd-bus.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "tests/support/bus_connection.h"

namespace pixolune::test {
namespace {

// A session bus that lets everyone talk to everyone and starts no services.
constexpr const char* kBusConfig = R"(<!DOCTYPE busconfig PUBLIC
 "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=@DIR@</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";

std::string ConfigText(const std::string& dir) {
    std::string text = kBusConfig;
    text.replace(text.find("@DIR@"), 5, dir);
    return text;
}

}  // namespace

PrivateSessionBus::PrivateSessionBus() {
    const std::string config = dir_.Path() + "/bus.conf";
    std::ofstream(config) << ConfigText(dir_.Path());
    daemon_ = std::make_unique<ChildProcess>(std::vector<std::string>{
        "dbus-daemon", "--config-file=" + config, "--nofork", "--print-address"});
    const auto line = daemon_->ReadLine(std::chrono::seconds(10));
    if (!line || line->empty()) throw std::runtime_error("dbus-daemon did not start");
    address_ = *line;
    if (const char* old = std::getenv("DBUS_SESSION_BUS_ADDRESS")) oldAddress_ = old;
    ::setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
}

PrivateSessionBus::~PrivateSessionBus() {
    if (oldAddress_)
        ::setenv("DBUS_SESSION_BUS_ADDRESS", oldAddress_->c_str(), 1);
    else
        ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
}

bool PrivateSessionBus::WaitForName(const std::string& name,
                                    std::chrono::milliseconds timeout) const {
    const BusConnection bus = ConnectToBus(address_);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
        sd_bus_message* reply = nullptr;
        int owned = 0;
        if (sd_bus_call_method(bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", "NameHasOwner", nullptr, &reply, "s",
                               name.c_str()) >= 0 &&
            sd_bus_message_read(reply, "b", &owned) >= 0 && owned) {
            sd_bus_message_unref(reply);
            return true;
        }
        sd_bus_message_unref(reply);
        std::this_thread::sleep_for(
            std::chrono::milliseconds(20));  // a name has no event to wait on
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

KeyringDaemon::KeyringDaemon(const PrivateSessionBus& bus) : bus_(bus) {
    const std::string& dir = dir_.Path();
    std::ofstream(dir + "/password") << "test-keyring-password";
    // Its keyrings and its control socket stay in the fresh folder; the
    // password comes on standard input, as a login manager hands it over.
    daemon_ = std::make_unique<ChildProcess>(std::vector<std::string>{
        "sh", "-c",
        "mkdir -m 700 \"$1/run\" && exec env HOME=\"$1\" XDG_DATA_HOME=\"$1/data\" "
        "XDG_RUNTIME_DIR=\"$1/run\" DBUS_SESSION_BUS_ADDRESS=\"$2\" gnome-keyring-daemon "
        "--foreground --components=secrets --unlock < \"$1/password\"",
        "sh", dir, bus.Address()});
    if (!bus.WaitForName("org.freedesktop.secrets", std::chrono::seconds(10)))
        throw std::runtime_error("gnome-keyring-daemon did not start");
}

KeyringDaemon::~KeyringDaemon() = default;

void KeyringDaemon::Lock() {
    const BusConnection bus = ConnectToBus(bus_.Address());
    sd_bus_error error = SD_BUS_ERROR_NULL;
    const int called =
        sd_bus_call_method(bus.get(), "org.freedesktop.secrets", "/org/freedesktop/secrets",
                           "org.freedesktop.Secret.Service", "Lock", &error, nullptr, "ao", 1,
                           "/org/freedesktop/secrets/collection/login");
    const std::string why = error.message ? error.message : "";
    sd_bus_error_free(&error);
    if (called < 0) throw std::runtime_error("the keyring did not lock: " + why);
}

}  // namespace pixolune::test
