#include "console/server_addresses.h"

#include "common/ipv4.h"
#include "tests/test_support.h"

#include <gmock/gmock.h>
#include <cstring>
#include <gtest/gtest.h>

using ::testing::ElementsAre;

namespace {

std::vector<std::uint32_t> Discovered;

std::size_t ListDiscovered(std::span<std::uint32_t> slots) {
    const std::size_t count = std::min(slots.size(), Discovered.size());
    std::copy_n(Discovered.begin(), count, slots.begin());
    return count;
}

AddressOption Option(const char* text) {
    AddressOption option{};
    std::strncpy(option.data(), text, option.size() - 1);
    return option;
}

// Builds the list as start-up does and returns the address line.
std::string Build(std::vector<std::uint32_t> discovered, std::vector<AddressOption> added = {},
                  std::vector<AddressOption> excluded = {}) {
    Discovered = std::move(discovered);
    testing::internal::CaptureStdout();
    BuildLocalAddressList(added, excluded, ListDiscovered);
    return testing::internal::GetCapturedStdout();
}

const std::uint32_t Loopback = MakeAddress(127, 0, 0, 1);

} // namespace

TEST(BuildLocalAddressList, FollowsTheWorkedExample) {
    ServiceStatics statics;
    const std::uint32_t home = MakeAddress(192, 168, 0, 2);
    const std::uint32_t office = MakeAddress(10, 0, 0, 5);
    EXPECT_EQ(Build({home, office}), "> IP Addresses: 127.0.0.1 192.168.0.2 10.0.0.5 ");
    EXPECT_EQ(LocalAddresses.defaultAddress, office);

    EXPECT_EQ(ChooseServerAddress(MakeAddress(192, 168, 0, 9)), home);
    EXPECT_EQ(ChooseServerAddress(MakeAddress(127, 0, 0, 1)), Loopback);
    EXPECT_EQ(ChooseServerAddress(MakeAddress(10, 1, 1, 1)), office);
    EXPECT_EQ(ChooseServerAddress(MakeAddress(172, 16, 0, 4)), office);
    // 0 is an empty slot, never an answer, even for a client whose first octet is 0.
    EXPECT_EQ(ChooseServerAddress(MakeAddress(0, 1, 2, 3)), office);
}

TEST(DiscoverLocalAddresses, PrefersALowFirstOctetOtherThanTenAsDefault) {
    ServiceStatics statics;
    Build({MakeAddress(192, 168, 0, 2), MakeAddress(100, 64, 0, 1), MakeAddress(11, 0, 0, 1)});
    EXPECT_EQ(LocalAddresses.defaultAddress, MakeAddress(100, 64, 0, 1));

    // A default set by the command line stays.
    LocalAddresses = {};
    LocalAddresses.defaultAddress = MakeAddress(192, 168, 9, 9);
    Build({MakeAddress(100, 64, 0, 1)});
    EXPECT_EQ(LocalAddresses.defaultAddress, MakeAddress(192, 168, 9, 9));

    // Nothing discovered: an empty list behind 127.0.0.1 and no default.
    LocalAddresses = {};
    EXPECT_EQ(Build({}), "> IP Addresses: 127.0.0.1 ");
    EXPECT_EQ(LocalAddresses.defaultAddress, 0u);
}

TEST(BuildLocalAddressList, AddedAddressesGoInFrontAndWinTheirFirstOctet) {
    ServiceStatics statics;
    const std::uint32_t discovered = MakeAddress(192, 168, 0, 2);
    EXPECT_EQ(Build({discovered}, {Option("192.168.5.5"), Option("10.0.0.1")}),
              "> IP Addresses: 127.0.0.1 10.0.0.1 192.168.5.5 192.168.0.2 ");
    EXPECT_EQ(ChooseServerAddress(MakeAddress(192, 168, 0, 7)), MakeAddress(192, 168, 5, 5));

    // Given and discovered: it stands twice, and one exclusion removes both.
    LocalAddresses = {};
    EXPECT_EQ(Build({discovered}, {Option("192.168.0.2")}), "> IP Addresses: 127.0.0.1 192.168.0.2 192.168.0.2 ");
    LocalAddresses = {};
    EXPECT_EQ(Build({discovered, MakeAddress(10, 0, 0, 5)}, {Option("192.168.0.2")}, {Option("192.168.0.2")}),
              "> IP Addresses: 127.0.0.1 10.0.0.5 ");
}

TEST(BuildLocalAddressList, ExclusionsLeaveTheDefaultAndCannotRemoveLoopback) {
    ServiceStatics statics;
    const std::uint32_t chosen = MakeAddress(100, 64, 0, 1);
    EXPECT_EQ(Build({chosen, MakeAddress(192, 168, 0, 2)}, {}, {Option("100.64.0.1")}),
              "> IP Addresses: 127.0.0.1 192.168.0.2 ");
    EXPECT_EQ(LocalAddresses.defaultAddress, chosen);

    LocalAddresses = {};
    EXPECT_EQ(Build({Loopback}, {}, {Option("127.0.0.1")}), "> IP Addresses: 127.0.0.1 ");

    // A text that is no address becomes 255.255.255.255 and is listed like any other.
    LocalAddresses = {};
    EXPECT_EQ(Build({}, {Option("not-an-address")}), "> IP Addresses: 127.0.0.1 255.255.255.255 ");
}

TEST(InsertLocalAddress, AFullListLosesItsLastSlot) {
    ServiceStatics statics;
    std::vector<std::uint32_t> eleven;
    for (std::uint8_t i = 1; i <= 11; ++i)
        eleven.push_back(MakeAddress(192, 168, 0, i));
    Build(eleven);
    EXPECT_EQ(LocalAddresses.addresses[0], Loopback);
    EXPECT_EQ(LocalAddresses.addresses[9], MakeAddress(192, 168, 0, 9));
    EXPECT_EQ(LocalAddresses.defaultAddress, MakeAddress(192, 168, 0, 10));

    RemoveLocalAddress(MakeAddress(192, 168, 0, 1));
    EXPECT_THAT(std::vector<std::uint32_t>(LocalAddresses.addresses.begin() + 7, LocalAddresses.addresses.end()),
                ElementsAre(MakeAddress(192, 168, 0, 8), MakeAddress(192, 168, 0, 9), 0u));
}
