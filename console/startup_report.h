#pragma once

#include "dns/local_domains.h"
#include "dns/server_addresses.h"
#include "dns/server_thread.h"

#include <string>

inline constexpr const char* ConsoleTitle = "The Velquorn Software DNS Server";

// Rows that the banner takes: its own line and the empty line below it.
inline constexpr int BannerRows = 2;

// Writes the banner line and the empty line below it.
void PrintBanner();

// Writes "> IP Addresses: " and each address of the list followed by a blank, without a line end.
void PrintLocalAddresses(const LocalAddressList& list);

// Writes a line end and "> Local domains: " with the domains between blanks, without a line end; nothing when
// there are none.
void PrintLocalDomains(const LocalDomains& domains);

// The error line of a service that could not be set up on the port, or the warning line of one whose machine's
// resolver asks the server itself; empty for a set-up with nothing to report.
std::string SetUpReportText(const ServiceSetUp& setUp, unsigned port);

// Writes SetUpReportText's line.
void PrintSetUpReport(const ServiceSetUp& setUp, unsigned port);
