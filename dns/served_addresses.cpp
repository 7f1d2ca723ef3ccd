#include "dns/served_addresses.h"

#include "common/ipv4.h"

#include <algorithm>
#include <cstdio>

std::vector<std::uint32_t> AddressesToProbe(std::uint32_t bindAddress, std::span<const InterfaceAddress> machine) {
    if (bindAddress != 0)
        return {bindAddress};
    std::vector<std::uint32_t> addresses = {MakeAddress(127, 0, 0, 1)};
    for (const InterfaceAddress& item : machine)
        if (std::find(addresses.begin(), addresses.end(), item.address) == addresses.end())
            addresses.push_back(item.address);
    return addresses;
}

ServedAddresses ChooseServedAddresses(std::span<const PortProbe> probes) {
    ServedAddresses chosen;
    int firstError = 0;
    for (const PortProbe& probe : probes) {
        if (probe.error == 0)
            chosen.served.push_back(probe.address);
        else if (probe.held)
            chosen.held.push_back(probe.address);
        if (firstError == 0)
            firstError = probe.error;
    }
    // A start that fails says so in its error line alone.
    if (chosen.served.empty()) {
        chosen.held.clear();
        chosen.error = firstError;
    }
    return chosen;
}

std::string HeldAddressLine(std::uint32_t address, unsigned port) {
    char line[128];
    std::snprintf(line, sizeof line, "> Warning: %s port %u is held by another program; its queries are left to it\n",
                  DottedAddress(address).data(), port);
    return line;
}
