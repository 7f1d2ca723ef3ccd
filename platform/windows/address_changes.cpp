#include "platform/address_changes.h"

#include <winsock2.h>

// These need winsock2.h before them, and the address change functions ws2tcpip.h's types before iphlpapi.h.
#include <ws2tcpip.h>

#include <iphlpapi.h>

#include <atomic>
#include <memory>

namespace {

// What the system's callbacks reach: they run on threads of the system's own.
struct Watch {
    HANDLE addresses = nullptr;
    HANDLE interfaces = nullptr; // an interface going up or down leaves its addresses, which are then not listed
    WakeHandle wake;
    std::atomic<bool> changed{false}; // set by the callbacks, taken by the woken thread
};

void Changed(void* context) {
    auto* const watch = static_cast<Watch*>(context);
    watch->changed = true;
    SignalWake(watch->wake);
}

void CALLBACK AddressChanged(void* context, MIB_UNICASTIPADDRESS_ROW*, MIB_NOTIFICATION_TYPE) { Changed(context); }
void CALLBACK InterfaceChanged(void* context, MIB_IPINTERFACE_ROW*, MIB_NOTIFICATION_TYPE) { Changed(context); }

// Each returns once no callback of its runs, nor will.
void Cancel(const Watch& watch) {
    if (watch.addresses != nullptr)
        CancelMibChangeNotify2(watch.addresses);
    if (watch.interfaces != nullptr)
        CancelMibChangeNotify2(watch.interfaces);
}

} // namespace

AddressWatchResult WatchAddressChanges(WakeHandle wake) {
    auto watch = std::make_unique<Watch>();
    watch->wake = wake;
    DWORD error = NotifyUnicastIpAddressChange(AF_INET, AddressChanged, watch.get(), FALSE, &watch->addresses);
    if (error == NO_ERROR)
        error = NotifyIpInterfaceChange(AF_INET, InterfaceChanged, watch.get(), FALSE, &watch->interfaces);
    if (error != NO_ERROR) {
        Cancel(*watch);
        return {{}, static_cast<int>(error)};
    }
    return {{reinterpret_cast<std::intptr_t>(watch.release())}, 0};
}

bool TakeAddressChange(AddressWatch watch) {
    if (watch.value == -1)
        return false;
    // Read before it is taken: asked at every batch, it is seldom set.
    std::atomic<bool>& changed = reinterpret_cast<Watch*>(watch.value)->changed;
    return changed.load(std::memory_order_relaxed) && changed.exchange(false);
}

void StopWatchingAddressChanges(AddressWatch watch) {
    if (watch.value == -1)
        return;
    const std::unique_ptr<Watch> state(reinterpret_cast<Watch*>(watch.value));
    Cancel(*state);
}
