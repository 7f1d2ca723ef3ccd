#pragma once

#include "platform/network.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

// What a probe of the service's port found on one address.
struct PortProbe {
    std::uint32_t address = 0; // network byte order
    int error = 0;             // 0: the port is free there; else the platform's code of the failed bind
    bool held = false;         // the failure says another program holds the port there (IsPortHeld)
};

// Where the port is probed before the service binds: the bind address alone, or for every address (0) 127.0.0.1
// and each of the machine's addresses, once each, in the machine's order.
std::vector<std::uint32_t> AddressesToProbe(std::uint32_t bindAddress, std::span<const InterfaceAddress> machine);

// Which of the probed addresses the service answers on.
struct ServedAddresses {
    std::vector<std::uint32_t> served; // the port is free there; in the probes' order
    std::vector<std::uint32_t> held;   // another program answers there: each gets HeldAddressLine, unless failed
    // When nothing can be served (every address held: a second copy, a server on every address; or the port
    // refused everywhere, as without the right to bind it), the start fails with this error: the first failed
    // probe's, and `held` is empty. 0 while any address is served.
    int error = 0;
};

// Serves every address whose port is free and leaves those another program holds to it. An address whose probe
// failed otherwise (one that went meanwhile) is neither served nor told.
ServedAddresses ChooseServedAddresses(std::span<const PortProbe> probes);

// The line for an address whose port another program holds.
std::string HeldAddressLine(std::uint32_t address, unsigned port);
