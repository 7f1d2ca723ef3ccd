#pragma once

#include "dns/server_addresses.h"
#include "platform/address_changes.h"
#include "platform/network.h"
#include "platform/wake.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// How long after the system tells of a change the addresses are read: the rest of a burst (an interface coming up
// with its addresses, a VPN's several) is read with it, and a flapping link costs a read at most this often.
inline constexpr auto AddressSettleTime = std::chrono::milliseconds(500);

// What one reading changed among the machine's addresses, for the sockets that serve them.
struct AddressChange {
    std::vector<std::uint32_t> appeared;
    std::vector<std::uint32_t> gone;

    bool Any() const { return !appeared.empty() || !gone.empty(); }
};

// The machine's addresses and the server's own list as the service answers from them, kept up to date while it
// runs: a moment after the system tells of a change, they are read anew. Everything here belongs to the server
// thread.
class AddressFollower {
public:
    using Clock = std::chrono::steady_clock;
    using ListAddressesFunction = std::vector<InterfaceAddress> (*)();

    // The addresses as the start found them, the list built from them, how the command line shapes it, and where
    // they are read anew.
    AddressFollower(std::vector<InterfaceAddress> machine, const LocalAddressList& list, LocalAddressChoice choice,
                    ListAddressesFunction listAddresses = ListInterfaceAddresses);
    ~AddressFollower();
    AddressFollower(const AddressFollower&) = delete;
    AddressFollower& operator=(const AddressFollower&) = delete;

    // Starts listening to the system, which signals the wake-up (it must outlive the follower) at each notice, and
    // reads the addresses once more a moment after `now`, for changes since the start read them. 0, or the
    // platform's code of the failure, after which the addresses stay as they are; so they do without a function to
    // list them.
    int Watch(WakeHandle wake, Clock::time_point now);

    // The system told of a change: the addresses are read at the next Follow from AddressSettleTime on.
    void TakeNotice(Clock::time_point now);
    // When Follow will next have a reading to do; none while nothing was told.
    std::optional<Clock::time_point> NextDeadline() const { return readAt_; }
    // Takes the system's notice, and when the moment after one has passed reads the addresses anew: the list and
    // the machine's addresses are replaced, and a list that changed gets its line, as at the start, in `console`.
    AddressChange Follow(Clock::time_point now, std::string& console);

    // What Local entries are answered from; the same object for the follower's life.
    const LocalAddressList& List() const { return list_; }
    // The machine's own addresses, to reply from.
    std::span<const InterfaceAddress> Machine() const { return machine_; }
    std::vector<std::uint32_t> OwnAddresses() const;

private:
    AddressChange ReadAnew(std::string& console);

    std::vector<InterfaceAddress> machine_;
    LocalAddressList list_;
    const LocalAddressChoice choice_;
    const ListAddressesFunction listAddresses_;
    std::optional<Clock::time_point> readAt_;
    AddressWatch watch_;
};
