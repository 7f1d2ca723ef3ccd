#include "platform/network.h"

#include "platform/windows/text.h"

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

namespace {

// The adapters as GetAdaptersAddresses lists them with the flags, the first of them at the start; empty when it
// fails.
std::vector<unsigned char> AdapterList(ULONG flags) {
    ULONG size = 16 * 1024;
    std::vector<unsigned char> buffer;
    ULONG result = ERROR_BUFFER_OVERFLOW;
    // The list may grow between the two calls; a few tries settle it.
    for (int attempt = 0; attempt < 4 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
        buffer.resize(size);
        result = GetAdaptersAddresses(AF_INET, flags, nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()),
                                      &size);
    }
    if (result != NO_ERROR)
        buffer.clear();
    return buffer;
}

const IP_ADAPTER_ADDRESSES* FirstAdapter(const std::vector<unsigned char>& list) {
    return list.empty() ? nullptr : reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(list.data());
}

} // namespace

std::vector<InterfaceAddress> ListInterfaceAddresses() {
    std::vector<InterfaceAddress> addresses;
    const std::vector<unsigned char> list =
        AdapterList(GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER);
    for (const auto* adapter = FirstAdapter(list); adapter != nullptr; adapter = adapter->Next) {
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

std::vector<std::string> SystemSearchDomains() {
    std::vector<std::string> domains;
    const std::vector<unsigned char> list =
        AdapterList(GAA_FLAG_SKIP_UNICAST | GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER);
    for (const auto* adapter = FirstAdapter(list); adapter != nullptr; adapter = adapter->Next)
        if (adapter->OperStatus == IfOperStatusUp && adapter->DnsSuffix != nullptr && adapter->DnsSuffix[0] != L'\0')
            domains.push_back(Utf8Text(adapter->DnsSuffix));
    return domains;
}
