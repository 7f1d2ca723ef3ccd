#include "console/startup_report.h"

#include "common/ipv4.h"
#include "dns/served_addresses.h"

#include <cstdio>

void PrintBanner() { std::puts("> The Velquorn Software DNS Server\n"); }

void PrintLocalAddresses(const LocalAddressList& list) { std::fputs(LocalAddressesText(list).c_str(), stdout); }

void PrintLocalDomains(const LocalDomains& domains) {
    const char* before = "\n> Local domains: ";
    for (const std::string& domain : domains.Names()) {
        std::printf("%s%s", before, domain.c_str());
        before = " ";
    }
}

std::string SetUpReportText(const ServiceSetUp& setUp, unsigned port) {
    char line[256] = "";
    std::string held;
    switch (setUp.step) {
    case ServiceSetUp::Step::Done:
        for (const std::uint32_t address : setUp.held)
            held += HeldAddressLine(address, port);
        if (setUp.selfNameServer != 0)
            std::snprintf(line, sizeof line,
                          "> Warning: this machine's resolver asks this server (%s): names the table lacks cannot be "
                          "learned, nor forward entries answered; point it at the network's resolver\n",
                          DottedAddress(setUp.selfNameServer).data());
        break;
    case ServiceSetUp::Step::CreateSocket:
        std::snprintf(line, sizeof line, "> Error: could not create network socket: %d\n", setUp.error);
        break;
    case ServiceSetUp::Step::SetOptions:
        std::snprintf(line, sizeof line, "> Error: could not set socket options: %d\n", setUp.error);
        break;
    case ServiceSetUp::Step::Bind:
        std::snprintf(line, sizeof line, "> Error: could not bind socket to port %u: %d\n", port, setUp.error);
        break;
    }
    return held + line;
}

void PrintSetUpReport(const ServiceSetUp& setUp, unsigned port) {
    std::fputs(SetUpReportText(setUp, port).c_str(), stdout);
    std::fflush(stdout);
}
