#include "platform/network.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>

void StartNetwork() {}
void StopNetwork() {}

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

// As the resolver reads the file (resolv.conf(5)): `search` and `domain` each replace what the lines before them
// said; a `domain` line names one domain.
std::vector<std::string> SystemSearchDomains() {
    std::vector<std::string> domains;
    std::ifstream configuration("/etc/resolv.conf");
    for (std::string line; std::getline(configuration, line);) {
        std::istringstream words(line);
        std::string keyword, domain;
        words >> keyword;
        if (keyword != "search" && keyword != "domain")
            continue;
        domains.clear();
        while (words >> domain) {
            domains.push_back(domain);
            if (keyword == "domain")
                break;
        }
    }
    return domains;
}
