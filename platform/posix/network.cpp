#include "platform/network.h"

#include <cstring>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

void StartNetwork() {}
void StopNetwork() {}

std::size_t ListLocalAddresses(std::span<std::uint32_t> addresses) {
    ifaddrs* interfaces = nullptr;
    if (getifaddrs(&interfaces) != 0)
        return 0;
    std::size_t filled = 0;
    std::optional<std::uint32_t> loopback;
    for (const ifaddrs* item = interfaces; item != nullptr && filled < addresses.size(); item = item->ifa_next) {
        if (item->ifa_addr == nullptr || item->ifa_addr->sa_family != AF_INET || (item->ifa_flags & IFF_UP) == 0)
            continue;
        sockaddr_in address{};
        std::memcpy(&address, item->ifa_addr, sizeof address);
        if ((item->ifa_flags & IFF_LOOPBACK) != 0) {
            if (!loopback)
                loopback = address.sin_addr.s_addr;
            continue;
        }
        addresses[filled++] = address.sin_addr.s_addr;
    }
    freeifaddrs(interfaces);
    if (filled == 0 && loopback && !addresses.empty())
        addresses[filled++] = *loopback;
    return filled;
}
