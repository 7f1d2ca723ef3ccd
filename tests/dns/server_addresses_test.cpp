#include "dns/server_addresses.h"

#include "common/ipv4.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

namespace {

LocalAddressList List;

// Builds a fresh list as start-up does from the machine's addresses (none of them loopback unless said), the
// command line's addresses and default, and returns the address line.
std::string Build(std::vector<InterfaceAddress> machine, std::vector<std::uint32_t> added = {},
                  std::vector<std::uint32_t> excluded = {}, std::uint32_t defaultAddress = 0) {
    List = BuildLocalAddressList(machine, added, excluded, defaultAddress);
    return LocalAddressesText(List);
}

const std::uint32_t Home = MakeAddress(192, 168, 0, 2), Office = MakeAddress(10, 0, 0, 5),
                    Carrier = MakeAddress(100, 64, 0, 1), Loopback = MakeAddress(127, 0, 0, 1);

} // namespace

TEST(BuildLocalAddressList, ListsTheMachinesAddressesAndChoosesOneByTheClientsFirstOctet) {
    // Loopback only when there is nothing else.
    EXPECT_EQ(Build({{Loopback, true}, {Home}, {Office}}), "> IP Addresses: 127.0.0.1 192.168.0.2 10.0.0.5 ");
    EXPECT_EQ(ChooseServerAddress(List, MakeAddress(192, 168, 0, 9)), Home);
    EXPECT_EQ(ChooseServerAddress(List, MakeAddress(127, 0, 0, 1)), Loopback);
    // The default: the first address below 128.0.0.0 outside 10/8, else the last; an empty slot never answers.
    EXPECT_EQ(ChooseServerAddress(List, MakeAddress(172, 16, 0, 4)), Office);
    EXPECT_EQ(ChooseServerAddress(List, MakeAddress(0, 1, 2, 3)), Office);
    EXPECT_EQ(Build({{MakeAddress(127, 0, 1, 1), true}}), "> IP Addresses: 127.0.0.1 127.0.1.1 ");
    // A loopback address on an interface the system does not call loopback is no default for other networks.
    EXPECT_EQ(Build({{MakeAddress(127, 0, 0, 2)}, {Office}}), "> IP Addresses: 127.0.0.1 10.0.0.5 ");
    EXPECT_EQ(ChooseServerAddress(List, MakeAddress(172, 16, 0, 4)), Office);
    Build({{Home}, {Carrier}, {MakeAddress(11, 0, 0, 1)}});
    EXPECT_EQ(List.defaultAddress, Carrier);
    Build({{Carrier}}, {}, {}, Home); // set by the command line: kept
    EXPECT_EQ(List.defaultAddress, Home);
    // A full list loses its last slot.
    std::vector<InterfaceAddress> eleven;
    for (std::uint8_t i = 1; i <= 11; ++i)
        eleven.push_back({MakeAddress(192, 168, 0, i)});
    EXPECT_EQ(Build(eleven), "> IP Addresses: 127.0.0.1 192.168.0.1 192.168.0.2 192.168.0.3 192.168.0.4 "
                             "192.168.0.5 192.168.0.6 192.168.0.7 192.168.0.8 192.168.0.9 ");
}

TEST(BuildLocalAddressList, AddsInFrontAndExcludesEveryCopy) {
    EXPECT_EQ(Build({{Home}}, {MakeAddress(192, 168, 5, 5), MakeAddress(10, 0, 0, 1)}),
              "> IP Addresses: 127.0.0.1 10.0.0.1 192.168.5.5 192.168.0.2 ");
    EXPECT_EQ(ChooseServerAddress(List, MakeAddress(192, 168, 0, 7)), MakeAddress(192, 168, 5, 5));
    EXPECT_EQ(Build({{Home}, {Office}}, {Home}, {Home}), "> IP Addresses: 127.0.0.1 10.0.0.5 ");
    // The excluded default stays the default; 127.0.0.1 cannot be excluded.
    EXPECT_EQ(Build({{Carrier}, {Home}}, {}, {Carrier}), "> IP Addresses: 127.0.0.1 192.168.0.2 ");
    EXPECT_EQ(List.defaultAddress, Carrier);
    EXPECT_EQ(Build({{Loopback, true}}, {}, {Loopback}), "> IP Addresses: 127.0.0.1 ");
}

TEST(ChooseReplySource, RepliesFromTheAddressAskedUnlessItIsNoneOfTheMachines) {
    const std::vector<InterfaceAddress> machine = {{Loopback, true}, {Home}, {MakeAddress(192, 168, 1, 255)}};
    const std::uint32_t broadcast = MakeAddress(192, 168, 0, 255);
    EXPECT_EQ(ChooseReplySource(machine, Home, Home), Home);
    EXPECT_EQ(ChooseReplySource(machine, MakeAddress(127, 0, 0, 53), 0), MakeAddress(127, 0, 0, 53));
    // A broadcast: from the interface's own address, or the system's choice where it is unknown.
    EXPECT_EQ(ChooseReplySource(machine, broadcast, Home), Home);
    EXPECT_EQ(ChooseReplySource(machine, broadcast, 0), 0u);
    // An address of the machine that ends in 255 is an address like any other.
    EXPECT_EQ(ChooseReplySource(machine, MakeAddress(192, 168, 1, 255), 0), MakeAddress(192, 168, 1, 255));
}
