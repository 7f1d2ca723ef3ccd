#include "dns/server_addresses.h"

#include "common/ipv4.h"

#include <algorithm>

namespace {

// An address of 127/8 is this machine's own wherever the system lists it: given to a client on another network,
// it would send the client to itself.
bool IsLoopback(const InterfaceAddress& item) { return item.loopback || IsLoopbackAddress(item.address); }

bool PreferredAsDefault(std::uint32_t address) {
    const std::uint8_t first = FirstOctet(address);
    return first < 128 && first != 10;
}

// Fills the slots with the machine's own addresses, loopback only when there is no other; sets the default when
// nothing set it before.
void DiscoverLocalAddresses(LocalAddressList& list, std::span<const InterfaceAddress> machine) {
    auto& slots = list.addresses;
    slots.fill(0);
    std::size_t found = 0;
    for (const InterfaceAddress& item : machine)
        if (!IsLoopback(item) && found < slots.size())
            slots[found++] = item.address;
    const auto loopback = std::find_if(machine.begin(), machine.end(), IsLoopback);
    if (found == 0 && loopback != machine.end())
        slots[found++] = loopback->address;
    for (std::size_t i = 0; i < found; ++i)
        if (list.defaultAddress == 0 && PreferredAsDefault(slots[i]))
            list.defaultAddress = slots[i];
    if (list.defaultAddress == 0 && found > 0)
        list.defaultAddress = slots[found - 1];
}

// Puts the address in slot 0; the address in the last slot is lost.
void InsertLocalAddress(LocalAddressList& list, std::uint32_t address) {
    auto& slots = list.addresses;
    std::copy_backward(slots.begin(), slots.end() - 1, slots.end());
    slots[0] = address;
}

// Removes every slot that holds the address; the default is left alone.
void RemoveLocalAddress(LocalAddressList& list, std::uint32_t address) {
    auto& slots = list.addresses;
    const auto kept = std::remove(slots.begin(), slots.end(), address);
    std::fill(kept, slots.end(), 0);
}

} // namespace

std::uint32_t ChooseServerAddress(const LocalAddressList& list, std::uint32_t clientAddress) {
    const std::uint8_t clientOctet = FirstOctet(clientAddress);
    for (const std::uint32_t address : list.addresses) {
        // An empty slot ends the list before it is compared: a client on 0.x.x.x must not be given 0.0.0.0.
        if (address == 0)
            break;
        if (FirstOctet(address) == clientOctet)
            return address;
    }
    return list.defaultAddress;
}

LocalAddressList BuildLocalAddressList(std::span<const InterfaceAddress> machine, std::span<const std::uint32_t> added,
                                       std::span<const std::uint32_t> excluded, std::uint32_t defaultAddress) {
    LocalAddressList list;
    list.defaultAddress = defaultAddress;
    DiscoverLocalAddresses(list, machine);
    for (const std::uint32_t address : added)
        InsertLocalAddress(list, address);
    for (const std::uint32_t address : excluded)
        RemoveLocalAddress(list, address);
    InsertLocalAddress(list, MakeAddress(127, 0, 0, 1));
    return list;
}

LocalAddressList BuildLocalAddressList(std::span<const InterfaceAddress> machine, const LocalAddressChoice& choice) {
    return BuildLocalAddressList(machine, choice.added, choice.excluded, choice.defaultAddress);
}

std::string LocalAddressesText(const LocalAddressList& list) {
    std::string text = "> IP Addresses: ";
    for (const std::uint32_t address : list.addresses) {
        if (address == 0)
            break;
        text += DottedAddress(address).data();
        text += ' ';
    }
    return text;
}

std::uint32_t ChooseReplySource(std::span<const InterfaceAddress> machine, std::uint32_t destination,
                                std::uint32_t interfaceAddress) {
    if (destination == 0 || destination == interfaceAddress || IsLoopbackAddress(destination))
        return destination != 0 ? destination : interfaceAddress;
    const bool own = std::any_of(machine.begin(), machine.end(),
                                 [destination](const InterfaceAddress& item) { return item.address == destination; });
    return own ? destination : interfaceAddress;
}
