#include "platform/service_manager.h"

// A POSIX service manager (systemd) runs the program as it is and stops it with a signal: nothing to do here.
bool RunAsService(ServiceWork, int, char**, int&) { return false; }

void ReportServiceRunning() {}

void ReportServiceEvent(ServiceEvent, std::string_view) {}
