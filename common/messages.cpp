#include "common/messages.h"

#include "common/ipv4.h"

std::string SaveErrorLine(const char* fileName, std::string_view why) {
    return "> Error: could not save resolutions to " + std::string(fileName) + ": " + std::string(why) + "\n";
}

std::string KeptDamagedLine(const char* fileName, std::string_view keptAs) {
    return "> Warning: " + std::string(fileName) + " was not a whole table of resolutions; kept it as " +
           std::string(keptAs) + "\n";
}

std::string SavedAgainLine(const char* fileName) {
    return "> Resolutions saved to " + std::string(fileName) + " again; nothing learned was lost\n";
}

std::string ReloadErrorLine(const char* fileName, std::string_view why) {
    return "> Error: could not reload resolutions from " + std::string(fileName) + ": " + std::string(why) +
           "; still answering from the table before\n";
}

std::string IgnoredStopLine(std::uint32_t address, std::uint16_t port, bool ownerFound) {
    return "> " + std::string(DottedAddress(address).data()) + ":" + std::to_string(PortNumber(port)) +
           (ownerFound ? ": empty datagram ignored; only root or this service's user may stop the service\n"
                       : ": empty datagram ignored; its socket was closed before the service could tell whose it "
                         "was\n");
}
