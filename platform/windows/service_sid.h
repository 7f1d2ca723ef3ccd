#pragma once

// Within the Windows platform files: a service's own security identifier, as the system derives it from the
// service's name (S-1-5-80 and the SHA-1 of the name in capitals); the account NT SERVICE\NAME is that identifier.

#include <string>
#include <string_view>

// The identifier as text; empty when the hash cannot be made.
std::string ServiceSidText(std::string_view serviceName);
