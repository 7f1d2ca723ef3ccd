#include "platform/address_changes.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <memory>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

// The kernel's routing socket, subscribed to its IPv4 address and interface messages, read on a thread of its own
// that only signals: the answering thread never reads the socket, so a burst cannot slow it.
struct Watch {
    int netlink = -1;
    int stop = -1; // an eventfd that ends the thread's wait
    WakeHandle wake;
    std::atomic<bool> changed{false}; // set by the watch's thread, taken by the woken one
    std::thread thread;

    ~Watch() {
        if (netlink >= 0)
            close(netlink);
        if (stop >= 0)
            close(stop);
    }
};

// Reads every message waiting; what they say does not matter, only that they came. A lost message (the socket's
// buffer ran over, ENOBUFS) is a change too.
void DrainMessages(int netlink) {
    std::array<char, 16384> buffer;
    for (;;) {
        const ssize_t got = recv(netlink, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (got < 0 && errno != ENOBUFS && errno != EINTR)
            return;
    }
}

void WatchMessages(Watch* watch) {
    for (;;) {
        pollfd waits[2] = {{watch->netlink, POLLIN, 0}, {watch->stop, POLLIN, 0}};
        if (poll(waits, 2, -1) < 0) {
            // Never in practice; a lasting failure must not spin a core.
            if (errno != EINTR)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        if (waits[1].revents != 0)
            return;
        if (waits[0].revents != 0) {
            DrainMessages(watch->netlink);
            watch->changed = true;
            SignalWake(watch->wake);
        }
    }
}

int OpenRoutingSocket(int& netlink) {
    netlink = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (netlink < 0)
        return errno;
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_IPV4_IFADDR | RTMGRP_LINK;
    return bind(netlink, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0 ? 0 : errno;
}

} // namespace

AddressWatchResult WatchAddressChanges(WakeHandle wake) {
    auto watch = std::make_unique<Watch>();
    watch->wake = wake;
    if (const int error = OpenRoutingSocket(watch->netlink); error != 0)
        return {{}, error};
    watch->stop = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (watch->stop < 0)
        return {{}, errno};
    watch->thread = std::thread(WatchMessages, watch.get());
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
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(state->stop, &one, sizeof one);
    state->thread.join();
}
