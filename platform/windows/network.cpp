#include "platform/network.h"

#include <winsock2.h>

// These need winsock2.h before them.
#include <iphlpapi.h>
#include <ws2tcpip.h>

#include <cstring>
#include <vector>

void StartNetwork() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
}

void StopNetwork() { WSACleanup(); }

std::size_t ListLocalAddresses(std::span<std::uint32_t> addresses) {
    ULONG size = 16 * 1024;
    std::vector<unsigned char> buffer;
    ULONG result = ERROR_BUFFER_OVERFLOW;
    // The list may grow between the two calls; a few tries settle it.
    for (int attempt = 0; attempt < 4 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
        buffer.resize(size);
        result =
            GetAdaptersAddresses(AF_INET, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER,
                                 nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
    }
    if (result != NO_ERROR)
        return 0;
    std::size_t filled = 0;
    std::optional<std::uint32_t> loopback;
    for (auto* adapter = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); adapter != nullptr;
         adapter = adapter->Next) {
        if (adapter->OperStatus != IfOperStatusUp)
            continue;
        for (auto* unicast = adapter->FirstUnicastAddress; unicast != nullptr; unicast = unicast->Next) {
            if (unicast->Address.lpSockaddr == nullptr || unicast->Address.lpSockaddr->sa_family != AF_INET)
                continue;
            sockaddr_in address{};
            std::memcpy(&address, unicast->Address.lpSockaddr, sizeof address);
            if (adapter->IfType == IF_TYPE_SOFTWARE_LOOPBACK) {
                if (!loopback)
                    loopback = address.sin_addr.s_addr;
            } else if (filled < addresses.size()) {
                addresses[filled++] = address.sin_addr.s_addr;
            }
        }
    }
    if (filled == 0 && loopback && !addresses.empty())
        addresses[filled++] = *loopback;
    return filled;
}
