#include "platform/windows/service_status.h"

#include <windows.h>

namespace {

// Long enough for a start-up that loads a large table; a stop reports progress every StopTickMilliseconds.
constexpr DWORD PendingWaitHint = 10000;

DWORD SystemState(ServiceState state) {
    switch (state) {
    case ServiceState::StartPending:
        return SERVICE_START_PENDING;
    case ServiceState::Running:
        return SERVICE_RUNNING;
    case ServiceState::StopPending:
        return SERVICE_STOP_PENDING;
    case ServiceState::Stopped:
        break;
    }
    return SERVICE_STOPPED;
}

} // namespace

std::optional<ServiceStatusReport> NextServiceStatus(ServiceStatusTrack& track, ServiceState state, int exitCode) {
    if (track.reported && state < track.last)
        return std::nullopt;
    if (track.reported && track.last == ServiceState::Stopped)
        return std::nullopt;
    const bool pending = state == ServiceState::StartPending || state == ServiceState::StopPending;
    track.checkPoint = pending ? track.checkPoint + 1 : 0;
    track.last = state;
    track.reported = true;
    ServiceStatusReport report;
    report.state = SystemState(state);
    // Control codes 128 to 255 are taken in every state without being named here.
    report.controlsAccepted =
        state == ServiceState::Running
            ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PRESHUTDOWN | SERVICE_ACCEPT_PARAMCHANGE
            : 0;
    report.win32ExitCode = exitCode == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
    report.serviceExitCode = static_cast<std::uint32_t>(exitCode);
    report.checkPoint = track.checkPoint;
    report.waitHint = pending ? PendingWaitHint : 0;
    return report;
}
