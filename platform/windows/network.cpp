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

std::vector<InterfaceAddress> ListInterfaceAddresses() {
    std::vector<InterfaceAddress> addresses;
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
        return addresses;
    for (auto* adapter = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); adapter != nullptr;
         adapter = adapter->Next) {
        if (adapter->OperStatus != IfOperStatusUp)
            continue;
        for (auto* unicast = adapter->FirstUnicastAddress; unicast != nullptr; unicast = unicast->Next) {
            if (unicast->Address.lpSockaddr == nullptr || unicast->Address.lpSockaddr->sa_family != AF_INET)
                continue;
            sockaddr_in address{};
            std::memcpy(&address, unicast->Address.lpSockaddr, sizeof address);
            addresses.push_back({address.sin_addr.s_addr, adapter->IfType == IF_TYPE_SOFTWARE_LOOPBACK});
        }
    }
    return addresses;
}

std::vector<std::uint32_t> SystemNameServers() {
    std::vector<std::uint32_t> servers;
    ULONG size = 0;
    GetNetworkParams(nullptr, &size);
    std::vector<unsigned char> buffer(size + 1024);
    size = static_cast<ULONG>(buffer.size());
    auto* parameters = reinterpret_cast<FIXED_INFO*>(buffer.data());
    if (GetNetworkParams(parameters, &size) != NO_ERROR)
        return servers;
    for (const IP_ADDR_STRING* server = &parameters->DnsServerList; server != nullptr; server = server->Next) {
        in_addr address{};
        if (inet_pton(AF_INET, server->IpAddress.String, &address) == 1)
            servers.push_back(address.s_addr);
    }
    return servers;
}
