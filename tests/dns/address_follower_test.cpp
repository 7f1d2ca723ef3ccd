#include "dns/address_follower.h"

#include "common/ipv4.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

using Clock = AddressFollower::Clock;

const std::uint32_t Loopback = MakeAddress(127, 0, 0, 1), Home = MakeAddress(192, 168, 0, 2),
                    Office = MakeAddress(10, 0, 0, 5), Elsewhere = MakeAddress(172, 16, 0, 4);

// What the system lists when the follower reads.
std::vector<InterfaceAddress> Listed;
std::vector<InterfaceAddress> ListFake() { return Listed; }

// A machine started before its network came up: loopback alone.
AddressFollower StartedOnLoopback(LocalAddressChoice choice = {}) {
    Listed = {{Loopback, true}};
    return AddressFollower(Listed, BuildLocalAddressList(Listed, choice), choice, ListFake);
}

} // namespace

TEST(AddressFollower, ReadsABurstOnceAMomentAfterItsFirstNotice) {
    AddressFollower follower = StartedOnLoopback();
    const LocalAddressList& list = follower.List();
    std::string console;
    const Clock::time_point start = Clock::now();
    EXPECT_FALSE(follower.Follow(start + std::chrono::hours(1), console).Any()); // nothing told, nothing read
    EXPECT_EQ(ChooseServerAddress(list, Elsewhere), Loopback);

    follower.TakeNotice(start);
    Listed = {{Loopback, true}, {Home}};
    follower.TakeNotice(start + AddressSettleTime / 2);
    EXPECT_EQ(follower.NextDeadline(), start + AddressSettleTime);
    EXPECT_FALSE(follower.Follow(start + AddressSettleTime / 2, console).Any());
    Listed.push_back({Office});
    const AddressChange came = follower.Follow(start + AddressSettleTime, console);
    EXPECT_THAT(came.appeared, ElementsAre(Home, Office));
    EXPECT_THAT(came.gone, IsEmpty());
    EXPECT_EQ(console, "> IP Addresses: 127.0.0.1 192.168.0.2 10.0.0.5 \n");
    EXPECT_EQ(follower.NextDeadline(), std::nullopt);
    // The engine's reference sees it: a client on another network no longer gets this machine's loopback.
    EXPECT_EQ(ChooseServerAddress(list, Elsewhere), Office);
    EXPECT_THAT(follower.OwnAddresses(), ElementsAre(Loopback, Home, Office));

    console.clear();
    Listed = {{Loopback, true}, {Home}};
    follower.TakeNotice(start + AddressSettleTime);
    const AddressChange went = follower.Follow(start + 2 * AddressSettleTime, console);
    EXPECT_THAT(went.appeared, IsEmpty());
    EXPECT_THAT(went.gone, ElementsAre(Office));
    EXPECT_EQ(console, "> IP Addresses: 127.0.0.1 192.168.0.2 \n");
    EXPECT_EQ(ChooseServerAddress(list, Elsewhere), Home);
}

TEST(AddressFollower, KeepsTheCommandLinesChoiceAndTellsOnlyAChangedList) {
    AddressFollower follower = StartedOnLoopback({{MakeAddress(192, 168, 5, 5)}, {Office}, 0});
    std::string console;
    const Clock::time_point start = Clock::now();
    Listed = {{Loopback, true}, {Home}, {Office}};
    follower.TakeNotice(start);
    follower.Follow(start + AddressSettleTime, console);
    EXPECT_EQ(console, "> IP Addresses: 127.0.0.1 192.168.5.5 192.168.0.2 \n");

    // An excluded address that goes changes the sockets' addresses, not the list: no line.
    console.clear();
    Listed = {{Loopback, true}, {Home}};
    follower.TakeNotice(start);
    EXPECT_THAT(follower.Follow(start + AddressSettleTime, console).gone, ElementsAre(Office));
    EXPECT_EQ(console, "");
    EXPECT_EQ(follower.Machine().size(), 2u);

    // Without a way to list the addresses nothing is read, nor waited for.
    AddressFollower fixed(Listed, follower.List(), {}, nullptr);
    EXPECT_EQ(fixed.Watch(WakeHandle{}, start), 0);
    fixed.TakeNotice(start);
    EXPECT_EQ(fixed.NextDeadline(), std::nullopt);
}
