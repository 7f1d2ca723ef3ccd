#include "dns/service_setup.h"

#include "common/ipv4.h"

#include <algorithm>
#include <vector>

namespace {

bool IsMachineAddress(std::span<const InterfaceAddress> machine, std::uint32_t address) {
    return IsLoopbackAddress(address) ||
           std::any_of(machine.begin(), machine.end(), [address](const auto& item) { return item.address == address; });
}

ServiceSetUp CheckPortIsOurs(std::uint32_t bindAddress, std::uint16_t port, std::span<const InterfaceAddress> machine) {
    std::vector<std::uint32_t> ours = {bindAddress};
    if (bindAddress == 0) {
        ours = {MakeAddress(127, 0, 0, 1)};
        for (const InterfaceAddress& item : machine)
            ours.push_back(item.address);
    }
    for (const std::uint32_t address : ours)
        if (const int error = ProbeUdpPort(address, port); error != 0)
            return {ServiceSetUp::Step::Bind, error};
    return {};
}

// A nameserver on an address this server answers on, whose port nobody else holds, will be this server.
bool IsThisServer(std::uint32_t bindAddress, std::uint16_t port, std::span<const InterfaceAddress> machine,
                  std::uint32_t server) {
    if (port != 53)
        return false;
    if (bindAddress != 0)
        return server == bindAddress;
    return IsMachineAddress(machine, server) && ProbeUdpPort(server, port) == 0;
}

// The addresses the service answers on: the one it is bound to, or loopback's and the machine's.
std::vector<std::uint32_t> ServedAddresses(std::uint32_t bindAddress, std::span<const InterfaceAddress> machine) {
    if (bindAddress != 0)
        return {bindAddress};
    std::vector<std::uint32_t> served = {MakeAddress(127, 0, 0, 1)};
    for (const InterfaceAddress& item : machine)
        if (std::find(served.begin(), served.end(), item.address) == served.end())
            served.push_back(item.address);
    return served;
}

// An address whose TCP port another program holds is served over UDP alone.
ServiceSetUp ListenOnServedAddresses(ServiceSocket& set, std::uint32_t bindAddress, std::uint16_t port,
                                     std::span<const InterfaceAddress> machine) {
    const StreamWatchResult watch = OpenStreamWatch();
    if (watch.error != 0)
        return {ServiceSetUp::Step::CreateSocket, watch.error};
    set.streamWatch = watch.watch;
    for (const std::uint32_t address : ServedAddresses(bindAddress, machine))
        if (const SocketResult listener = ListenOnStream(set.streamWatch, address, port); listener.error == 0)
            set.listeners.push_back(listener.handle);
    return {};
}

} // namespace

void CloseServiceSocket(ServiceSocket& set) {
    CloseSocket(set.socket);
    for (const SocketHandle& listener : set.listeners)
        CloseStream(set.streamWatch, listener);
    CloseStreamWatch(set.streamWatch);
    set.socket = {};
    set.listeners.clear();
    set.streamWatch = {};
}

ServiceSocket SetUpServiceSocket(std::uint32_t bindAddress, std::uint16_t port,
                                 std::span<const InterfaceAddress> machine) {
    const SocketResult created = CreateUdpSocket();
    if (created.error != 0)
        return {{ServiceSetUp::Step::CreateSocket, created.error}, {}, {}, {}, {}};
    ServiceSetUp setUp;
    std::vector<std::uint32_t> upstreams;
    if (const int error = SetServerSocketOptions(created.handle); error != 0)
        setUp = {ServiceSetUp::Step::SetOptions, error};
    else
        setUp = CheckPortIsOurs(bindAddress, port, machine);
    if (setUp.step == ServiceSetUp::Step::Done)
        for (const std::uint32_t server : SystemNameServers()) {
            if (!IsThisServer(bindAddress, port, machine, server))
                upstreams.push_back(server);
            else if (setUp.selfNameServer == 0 && bindAddress == 0)
                setUp.selfNameServer = server;
        }
    if (setUp.step == ServiceSetUp::Step::Done)
        if (const int error = BindSocket(created.handle, bindAddress, port); error != 0)
            setUp = {ServiceSetUp::Step::Bind, error};
    ServiceSocket set{setUp, created.handle, {}, {}, std::move(upstreams)};
    if (set.setUp.step == ServiceSetUp::Step::Done)
        if (const ServiceSetUp listened = ListenOnServedAddresses(set, bindAddress, port, machine);
            listened.step != ServiceSetUp::Step::Done)
            set.setUp = listened;
    if (set.setUp.step != ServiceSetUp::Step::Done) {
        const ServiceSetUp failed = set.setUp;
        CloseServiceSocket(set);
        return {failed, {}, {}, {}, {}};
    }
    return set;
}
