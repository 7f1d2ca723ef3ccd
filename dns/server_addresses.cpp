#include "dns/server_addresses.h"

#include "common/ipv4.h"

#include <algorithm>
#include <cstdio>

namespace {

bool PreferredAsDefault(std::uint32_t address) {
    const std::uint8_t first = FirstOctet(address);
    return first < 128 && first != 10;
}

// Fills the slots with the machine's own addresses; sets the default when nothing set it before.
void DiscoverLocalAddresses(ListLocalAddressesFunction listAddresses) {
    auto& slots = LocalAddresses.addresses;
    slots.fill(0);
    const std::size_t found = std::min(listAddresses(slots), slots.size());
    for (std::size_t i = 0; i < found; ++i)
        if (LocalAddresses.defaultAddress == 0 && PreferredAsDefault(slots[i]))
            LocalAddresses.defaultAddress = slots[i];
    if (LocalAddresses.defaultAddress == 0 && found > 0)
        LocalAddresses.defaultAddress = slots[found - 1];
}

// Puts the address in slot 0; the address in the last slot is lost.
void InsertLocalAddress(std::uint32_t address) {
    auto& slots = LocalAddresses.addresses;
    std::copy_backward(slots.begin(), slots.end() - 1, slots.end());
    slots[0] = address;
}

// Removes every slot that holds the address; the default is left alone.
void RemoveLocalAddress(std::uint32_t address) {
    auto& slots = LocalAddresses.addresses;
    const auto kept = std::remove(slots.begin(), slots.end(), address);
    std::fill(kept, slots.end(), 0);
}

// Writes "> IP Addresses: " and each address followed by a blank, without a line end.
void PrintLocalAddresses() {
    std::fputs("> IP Addresses: ", stdout);
    for (const std::uint32_t address : LocalAddresses.addresses) {
        if (address == 0)
            break;
        std::printf("%s ", DottedAddress(address).data());
    }
}

} // namespace

std::uint32_t ChooseServerAddress(std::uint32_t clientAddress) {
    const std::uint8_t clientOctet = FirstOctet(clientAddress);
    for (const std::uint32_t address : LocalAddresses.addresses) {
        // An empty slot ends the list before it is compared: a client on 0.x.x.x must not be given 0.0.0.0.
        if (address == 0)
            break;
        if (FirstOctet(address) == clientOctet)
            return address;
    }
    return LocalAddresses.defaultAddress;
}

void BuildLocalAddressList(std::span<const AddressOption> addedAddresses,
                           std::span<const AddressOption> excludedAddresses, ListLocalAddressesFunction listAddresses) {
    DiscoverLocalAddresses(listAddresses);
    for (const AddressOption& text : addedAddresses)
        InsertLocalAddress(ParseAddress(text.data()));
    for (const AddressOption& text : excludedAddresses)
        RemoveLocalAddress(ParseAddress(text.data()));
    InsertLocalAddress(ParseAddress("127.0.0.1"));
    PrintLocalAddresses();
}
