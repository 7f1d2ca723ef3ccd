#include "dns/served_addresses.h"

#include "common/ipv4.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

const std::uint32_t Loopback = MakeAddress(127, 0, 0, 1), Home = MakeAddress(192, 168, 0, 2),
                    Other = MakeAddress(192, 0, 2, 53);
constexpr int InUse = 98, Denied = 13, Gone = 99;

} // namespace

TEST(ChooseServedAddresses, ServesEveryFreeAddressAndLeavesTheHeldOnesToTheirServer) {
    const std::vector<InterfaceAddress> machine = {{Loopback, true}, {Home}, {Other}, {Home}};
    EXPECT_THAT(AddressesToProbe(0, machine), ElementsAre(Loopback, Home, Other));
    EXPECT_THAT(AddressesToProbe(Home, machine), ElementsAre(Home));

    const PortProbe shared[] = {{Loopback}, {Home}, {Other, InUse, true}};
    const ServedAddresses beside = ChooseServedAddresses(shared);
    EXPECT_THAT(beside.served, ElementsAre(Loopback, Home));
    EXPECT_THAT(beside.held, ElementsAre(Other));
    EXPECT_EQ(beside.error, 0);
    EXPECT_EQ(HeldAddressLine(Other, 53),
              "> Warning: 192.0.2.53 port 53 is held by another program; its queries are left to it\n");

    // An address that went between the listing and its probe is passed over without a line.
    const PortProbe went[] = {{Loopback}, {Home, Gone, false}};
    const ServedAddresses rest = ChooseServedAddresses(went);
    EXPECT_THAT(rest.served, ElementsAre(Loopback));
    EXPECT_THAT(rest.held, IsEmpty());
    EXPECT_EQ(rest.error, 0);
}

TEST(ChooseServedAddresses, FailsWithTheFirstErrorWhenNothingCanBeServed) {
    // A second copy, or a server on every address: the error line alone, no warning for each address.
    const PortProbe secondCopy[] = {{Loopback, InUse, true}, {Home, InUse, true}};
    const ServedAddresses refused = ChooseServedAddresses(secondCopy);
    EXPECT_THAT(refused.served, IsEmpty());
    EXPECT_THAT(refused.held, IsEmpty());
    EXPECT_EQ(refused.error, InUse);
    // No right to bind the port.
    const PortProbe denied[] = {{Loopback, Denied, false}, {Home, Denied, false}};
    EXPECT_EQ(ChooseServedAddresses(denied).error, Denied);
}
