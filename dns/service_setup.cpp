#include "dns/service_setup.h"

#include "common/ipv4.h"
#include "dns/served_addresses.h"

#include <algorithm>
#include <vector>

namespace {

bool IsMachineAddress(std::span<const InterfaceAddress> machine, std::uint32_t address) {
    return IsLoopbackAddress(address) ||
           std::any_of(machine.begin(), machine.end(), [address](const auto& item) { return item.address == address; });
}

// Serves each address whose port is free, and leaves those another program holds to it.
ServedAddresses ProbeServedAddresses(std::uint32_t bindAddress, std::uint16_t port,
                                     std::span<const InterfaceAddress> machine) {
    std::vector<PortProbe> probes;
    for (const std::uint32_t address : AddressesToProbe(bindAddress, machine)) {
        const int error = ProbeUdpPort(address, port);
        probes.push_back({address, error, error != 0 && IsPortHeld(error)});
    }
    return ChooseServedAddresses(probes);
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

// An address whose TCP port another program holds is served over UDP alone, and told as held: a probe of its
// datagrams cannot always tell (Wine's sockets share their port with any other that allows it).
ServiceSetUp ListenOnServedAddresses(ServiceSocket& set, std::span<const std::uint32_t> served, std::uint16_t port) {
    const StreamWatchResult watch = OpenStreamWatch();
    if (watch.error != 0)
        return {ServiceSetUp::Step::CreateSocket, watch.error};
    set.streamWatch = watch.watch;
    for (const std::uint32_t address : served) {
        const SocketResult listener = ListenOnStream(set.streamWatch, address, port);
        if (listener.error == 0)
            set.listeners.push_back({address, listener.handle});
        else if (IsPortHeld(listener.error))
            set.setUp.held.push_back(address);
    }
    return set.setUp;
}

ServiceSetUp BindDatagramSocket(SocketHandle socket, std::uint32_t bindAddress, std::uint16_t port) {
    if (const int error = SetServerSocketOptions(socket); error != 0)
        return {ServiceSetUp::Step::SetOptions, error};
    if (const int error = BindSocket(socket, bindAddress, port); error != 0)
        return {ServiceSetUp::Step::Bind, error};
    return {};
}

} // namespace

void CloseServiceSocket(ServiceSocket& set) {
    CloseSocket(set.socket);
    for (const StreamListener& listener : set.listeners)
        CloseStream(set.streamWatch, listener.handle);
    CloseStreamWatch(set.streamWatch);
    set.socket = {};
    set.listeners.clear();
    set.streamWatch = {};
}

ServiceSocket SetUpServiceSocket(std::uint32_t bindAddress, std::uint16_t port,
                                 std::span<const InterfaceAddress> machine) {
    const ServedAddresses served = ProbeServedAddresses(bindAddress, port, machine);
    if (served.error != 0)
        return {{ServiceSetUp::Step::Bind, served.error}, {}, {}, {}, {}};
    const SocketResult created = CreateUdpSocket();
    if (created.error != 0)
        return {{ServiceSetUp::Step::CreateSocket, created.error}, {}, {}, {}, {}};
    ServiceSetUp setUp;
    setUp.held = served.held;
    std::vector<std::uint32_t> upstreams;
    for (const std::uint32_t server : SystemNameServers()) {
        if (!IsThisServer(bindAddress, port, machine, server))
            upstreams.push_back(server);
        else if (setUp.selfNameServer == 0 && bindAddress == 0)
            setUp.selfNameServer = server;
    }
    if (const ServiceSetUp bound = BindDatagramSocket(created.handle, bindAddress, port);
        bound.step != ServiceSetUp::Step::Done)
        setUp = bound;
    ServiceSocket set{setUp, created.handle, {}, {}, std::move(upstreams)};
    if (set.setUp.step == ServiceSetUp::Step::Done)
        if (const ServiceSetUp listened = ListenOnServedAddresses(set, served.served, port);
            listened.step != ServiceSetUp::Step::Done)
            set.setUp = listened;
    if (set.setUp.step != ServiceSetUp::Step::Done) {
        const ServiceSetUp failed = set.setUp;
        CloseServiceSocket(set);
        return {failed, {}, {}, {}, {}};
    }
    return set;
}
