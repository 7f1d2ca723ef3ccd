#include "dns/address_follower.h"

#include <algorithm>
#include <utility>

namespace {

bool Lists(std::span<const InterfaceAddress> machine, std::uint32_t address) {
    return std::any_of(machine.begin(), machine.end(), [address](const auto& item) { return item.address == address; });
}

// The addresses of `from` that `other` lacks, each once.
std::vector<std::uint32_t> Missing(std::span<const InterfaceAddress> from, std::span<const InterfaceAddress> other) {
    std::vector<std::uint32_t> missing;
    for (const InterfaceAddress& item : from)
        if (!Lists(other, item.address) && std::find(missing.begin(), missing.end(), item.address) == missing.end())
            missing.push_back(item.address);
    return missing;
}

} // namespace

AddressFollower::AddressFollower(std::vector<InterfaceAddress> machine, const LocalAddressList& list,
                                 LocalAddressChoice choice, ListAddressesFunction listAddresses)
    : machine_(std::move(machine)), list_(list), choice_(std::move(choice)), listAddresses_(listAddresses) {}

AddressFollower::~AddressFollower() { StopWatchingAddressChanges(watch_); }

int AddressFollower::Watch(WakeHandle wake, Clock::time_point now) {
    if (watch_.value != -1 || listAddresses_ == nullptr)
        return 0;
    const AddressWatchResult watch = WatchAddressChanges(wake);
    if (watch.error != 0)
        return watch.error;
    watch_ = watch.watch;
    TakeNotice(now);
    return 0;
}

void AddressFollower::TakeNotice(Clock::time_point now) {
    // From the first notice of a burst: a steady stream of them must not put the reading off for ever.
    if (!readAt_ && listAddresses_ != nullptr)
        readAt_ = now + AddressSettleTime;
}

AddressChange AddressFollower::Follow(Clock::time_point now, std::string& console) {
    if (TakeAddressChange(watch_))
        TakeNotice(now);
    if (!readAt_ || now < *readAt_)
        return {};
    readAt_.reset();
    return ReadAnew(console);
}

AddressChange AddressFollower::ReadAnew(std::string& console) {
    std::vector<InterfaceAddress> machine = listAddresses_();
    AddressChange change{Missing(machine, machine_), Missing(machine_, machine)};
    const LocalAddressList list = BuildLocalAddressList(machine, choice_);
    if (list.addresses != list_.addresses)
        console += LocalAddressesText(list) + "\n";
    list_ = list;
    machine_ = std::move(machine);
    return change;
}

std::vector<std::uint32_t> AddressFollower::OwnAddresses() const {
    std::vector<std::uint32_t> own;
    for (const InterfaceAddress& item : machine_)
        own.push_back(item.address);
    return own;
}
