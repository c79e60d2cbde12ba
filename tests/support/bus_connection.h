#pragma once

#include <systemd/sd-bus.h>

#include <memory>
#include <string>

namespace pixolune::test {

struct BusClose {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
using BusConnection = std::unique_ptr<sd_bus, BusClose>;

// A client connection to the bus at `address`; throws std::runtime_error when
// it cannot be made.
BusConnection ConnectToBus(const std::string& address);

}  // namespace pixolune::test
