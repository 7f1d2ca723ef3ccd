#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Starts and stops the network library; both do nothing on POSIX systems.
void StartNetwork();
void StopNetwork();

// Dotted-decimal text to an address in network byte order, as inet_addr reads it: text that is not an address
// gives 255.255.255.255.
std::uint32_t ParseAddress(const char* text);

// Whether the resolver reads the name as an address by itself, without asking anyone ("10.0.0.1", "1",
// "0x7f.1").
bool IsNumericAddress(const char* hostName);

// What the system resolver says of a host name: its first IPv4 address, that the name does not exist, that it
// exists without an IPv4 address, or nothing it could tell, such as a time-out.
struct HostLookup {
    enum class Outcome { Found, NoSuchName, NoData, Failed } outcome = Outcome::Failed;
    std::uint32_t address = 0; // network byte order; Found only
};
HostLookup ResolveHost(const char* hostName);
using ResolveHostFunction = HostLookup (*)(const char* hostName);

// The IPv4 nameservers that the system resolver asks, in its order.
std::vector<std::uint32_t> SystemNameServers();

// The search domains of the system resolver, as its settings spell them: the last `search` or `domain` line of
// /etc/resolv.conf; the connection-specific DNS suffixes of the adapters that are up on Windows.
std::vector<std::string> SystemSearchDomains();

struct InterfaceAddress {
    std::uint32_t address = 0; // network byte order
    bool loopback = false;
};

// The IPv4 addresses of the interfaces that are up, in the order the system lists them.
std::vector<InterfaceAddress> ListInterfaceAddresses();
