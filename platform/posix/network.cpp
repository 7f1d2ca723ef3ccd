#include "platform/network.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

void StartNetwork() {}
void StopNetwork() {}

std::uint32_t ParseAddress(const char* text) { return inet_addr(text); }

bool IsNumericAddress(const char* hostName) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* found = nullptr;
    if (getaddrinfo(hostName, nullptr, &hints, &found) != 0)
        return false;
    freeaddrinfo(found);
    return true;
}

HostLookup ResolveHost(const char* hostName) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    const int result = getaddrinfo(hostName, nullptr, &hints, &found);
    if (result != 0 || found == nullptr) {
        // The name does not exist, or has no IPv4 address; anything else (a time-out, a failing upstream) says
        // nothing of the name.
        const bool noSuchName = result == EAI_NONAME || result == EAI_NODATA;
        return {noSuchName ? HostLookup::Outcome::NoSuchName : HostLookup::Outcome::Failed, 0};
    }
    HostLookup lookup;
    if (found->ai_family == AF_INET && found->ai_addrlen >= sizeof(sockaddr_in)) {
        sockaddr_in first{};
        std::memcpy(&first, found->ai_addr, sizeof first);
        lookup = {HostLookup::Outcome::Found, first.sin_addr.s_addr};
    }
    freeaddrinfo(found);
    return lookup;
}

std::vector<InterfaceAddress> ListInterfaceAddresses() {
    std::vector<InterfaceAddress> addresses;
    ifaddrs* interfaces = nullptr;
    if (getifaddrs(&interfaces) != 0)
        return addresses;
    for (const ifaddrs* item = interfaces; item != nullptr; item = item->ifa_next) {
        if (item->ifa_addr == nullptr || item->ifa_addr->sa_family != AF_INET || (item->ifa_flags & IFF_UP) == 0)
            continue;
        sockaddr_in address{};
        std::memcpy(&address, item->ifa_addr, sizeof address);
        addresses.push_back({address.sin_addr.s_addr, (item->ifa_flags & IFF_LOOPBACK) != 0});
    }
    freeifaddrs(interfaces);
    return addresses;
}

std::vector<std::uint32_t> SystemNameServers() {
    std::vector<std::uint32_t> servers;
    std::FILE* configuration = std::fopen("/etc/resolv.conf", "re");
    if (configuration == nullptr)
        return servers;
    char line[512];
    while (std::fgets(line, sizeof line, configuration) != nullptr) {
        char text[64];
        in_addr address{};
        if (std::sscanf(line, " nameserver %63s", text) == 1 && inet_pton(AF_INET, text, &address) == 1)
            servers.push_back(address.s_addr);
    }
    std::fclose(configuration);
    return servers;
}
