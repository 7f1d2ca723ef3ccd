#pragma once

#include "dns/stream_connections.h"
#include "platform/network.h"
#include "platform/stream_socket.h"
#include "platform/udp_socket.h"

#include <cstdint>
#include <span>
#include <vector>

// Which step of setting up the service failed, with the platform's code of the failure.
struct ServiceSetUp {
    enum class Step { Done, CreateSocket, SetOptions, Bind } step = Step::Done;
    int error = 0;
    // A nameserver of the machine's resolver that is this server itself, 0 when none is: its lookups would come
    // back to it, so names cannot be learned or forwarded.
    std::uint32_t selfNameServer = 0;
    // Addresses of the machine whose port another server holds (a virtual machines' bridge, a hotspot): their
    // queries are left to it, each told with a warning line.
    std::vector<std::uint32_t> held = {};
};

struct ServiceSocket {
    ServiceSetUp setUp;
    SocketHandle socket; // bound, when the set-up is done; nothing is kept when a step failed
    // TCP: the watch of the listening sockets and their connections, and the listening sockets, one on each
    // address the service answers on (a wildcard socket could not listen beside a resolver's stub, which listens
    // on 127.0.0.53).
    StreamWatch streamWatch;
    std::vector<StreamListener> listeners;
    // The machine's DNS servers that are not this server, in the resolver's order: where other types of names the
    // table lacks are asked. A server on an address of this machine stays when another program holds its port
    // (a resolver's stub such as systemd-resolved's on 127.0.0.53): only then can it not be this server.
    std::vector<std::uint32_t> upstreams;
};

// Creates the service's UDP socket and binds it to the address (0: every address) and port (host byte order):
// datagrams wait in it from then on; the TCP listening sockets are set up beside it. It shares the port with
// sockets bound to other addresses (a resolver's stub on 127.0.0.53, another server on one address of the machine,
// whose queries are left to it), but not with one that holds every address it would answer on (a second copy, a
// server bound to every address): that is a failed bind, with the bind's error. `machine`: the machine's own
// addresses.
ServiceSocket SetUpServiceSocket(std::uint32_t bindAddress, std::uint16_t port,
                                 std::span<const InterfaceAddress> machine);

// Closes what a set-up left open.
void CloseServiceSocket(ServiceSocket& set);
