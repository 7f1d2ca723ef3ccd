#include "dns/server_addresses.h"

#include "common/ipv4.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

std::vector<std::uint32_t> Discovered;

std::size_t ListDiscovered(std::span<std::uint32_t> slots) {
    const std::size_t count = std::min(slots.size(), Discovered.size());
    std::copy_n(Discovered.begin(), count, slots.begin());
    return count;
}

// Builds a fresh list as start-up does, with the default the command line set, and returns the address line.
std::string Build(std::vector<std::uint32_t> discovered, std::vector<const char*> added = {},
                  std::vector<const char*> excluded = {}, std::uint32_t defaultAddress = 0) {
    const auto options = [](const std::vector<const char*>& texts) {
        std::vector<AddressOption> options(texts.size());
        for (std::size_t i = 0; i < texts.size(); ++i)
            std::strncpy(options[i].data(), texts[i], options[i].size() - 1);
        return options;
    };
    Discovered = std::move(discovered);
    LocalAddresses = {};
    LocalAddresses.defaultAddress = defaultAddress;
    testing::internal::CaptureStdout();
    BuildLocalAddressList(options(added), options(excluded), ListDiscovered);
    return testing::internal::GetCapturedStdout();
}

const std::uint32_t Home = MakeAddress(192, 168, 0, 2), Office = MakeAddress(10, 0, 0, 5),
                    Carrier = MakeAddress(100, 64, 0, 1);

} // namespace

TEST(BuildLocalAddressList, ListsTheMachinesAddressesAndChoosesOneByTheClientsFirstOctet) {
    ServiceStatics statics;
    EXPECT_EQ(Build({Home, Office}), "> IP Addresses: 127.0.0.1 192.168.0.2 10.0.0.5 ");
    EXPECT_EQ(ChooseServerAddress(MakeAddress(192, 168, 0, 9)), Home);
    EXPECT_EQ(ChooseServerAddress(MakeAddress(127, 0, 0, 1)), MakeAddress(127, 0, 0, 1));
    // The default: the first address below 128.0.0.0 outside 10/8, else the last; an empty slot never answers.
    EXPECT_EQ(ChooseServerAddress(MakeAddress(172, 16, 0, 4)), Office);
    EXPECT_EQ(ChooseServerAddress(MakeAddress(0, 1, 2, 3)), Office);
    Build({Home, Carrier, MakeAddress(11, 0, 0, 1)});
    EXPECT_EQ(LocalAddresses.defaultAddress, Carrier);
    Build({Carrier}, {}, {}, Home); // set by the command line: kept
    EXPECT_EQ(LocalAddresses.defaultAddress, Home);
    // A full list loses its last slot.
    std::vector<std::uint32_t> eleven;
    for (std::uint8_t i = 1; i <= 11; ++i)
        eleven.push_back(MakeAddress(192, 168, 0, i));
    EXPECT_EQ(Build(eleven), "> IP Addresses: 127.0.0.1 192.168.0.1 192.168.0.2 192.168.0.3 192.168.0.4 "
                             "192.168.0.5 192.168.0.6 192.168.0.7 192.168.0.8 192.168.0.9 ");
}

TEST(BuildLocalAddressList, AddsInFrontAndExcludesEveryCopy) {
    ServiceStatics statics;
    EXPECT_EQ(Build({Home}, {"192.168.5.5", "10.0.0.1"}),
              "> IP Addresses: 127.0.0.1 10.0.0.1 192.168.5.5 192.168.0.2 ");
    EXPECT_EQ(ChooseServerAddress(MakeAddress(192, 168, 0, 7)), MakeAddress(192, 168, 5, 5));
    EXPECT_EQ(Build({Home, Office}, {"192.168.0.2"}, {"192.168.0.2"}), "> IP Addresses: 127.0.0.1 10.0.0.5 ");
    // The excluded default stays the default; 127.0.0.1 cannot be excluded; a text that is no address is one.
    EXPECT_EQ(Build({Carrier, Home}, {}, {"100.64.0.1"}), "> IP Addresses: 127.0.0.1 192.168.0.2 ");
    EXPECT_EQ(LocalAddresses.defaultAddress, Carrier);
    EXPECT_EQ(Build({MakeAddress(127, 0, 0, 1)}, {}, {"127.0.0.1"}), "> IP Addresses: 127.0.0.1 ");
    EXPECT_EQ(Build({}, {"not-an-address"}), "> IP Addresses: 127.0.0.1 255.255.255.255 ");
}
