#pragma once

// Within the Windows platform files: what the service tells the service manager, decided apart from the calls
// that tell it, so that the decision is tested without one.

#include <cstdint>
#include <optional>

enum class ServiceState { StartPending, Running, StopPending, Stopped };

// The fields of a SERVICE_STATUS, in the system's values.
struct ServiceStatusReport {
    std::uint32_t state = 0;
    std::uint32_t controlsAccepted = 0;
    std::uint32_t win32ExitCode = 0;
    std::uint32_t serviceExitCode = 0;
    std::uint32_t checkPoint = 0;
    std::uint32_t waitHint = 0;
};

// How often a stop under way is reported, each time with the next checkpoint: the service manager gives up on a
// pending state whose checkpoint stands still beyond its wait hint, and a stop may wait 10 s for a save.
inline constexpr std::uint32_t StopTickMilliseconds = 1000;

// The reports of one run of the service, in the order they are made.
struct ServiceStatusTrack {
    ServiceState last = ServiceState::StartPending;
    std::uint32_t checkPoint = 0;
    bool reported = false;
};

// The report for entering (or staying in) the state: a pending state's checkpoint advances with every report.
// None when it would take the service back (running again once stopping, anything once stopped). An exit code
// other than 0 is the service's own error, so that recovery actions apply to it.
std::optional<ServiceStatusReport> NextServiceStatus(ServiceStatusTrack& track, ServiceState state, int exitCode = 0);
