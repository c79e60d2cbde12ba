#include "tests/support/bus_connection.h"

#include <cstring>
#include <stdexcept>

namespace pixolune::test {

BusConnection ConnectToBus(const std::string& address) {
    sd_bus* made = nullptr;
    if (sd_bus_new(&made) < 0) throw std::runtime_error("sd_bus_new failed");
    BusConnection bus(made);
    int result = sd_bus_set_address(bus.get(), address.c_str());
    if (result >= 0) result = sd_bus_set_bus_client(bus.get(), 1);
    if (result >= 0) result = sd_bus_start(bus.get());
    if (result < 0)
        throw std::runtime_error("can't connect to " + address + ": " + std::strerror(-result));
    return bus;
}

}  // namespace pixolune::test
