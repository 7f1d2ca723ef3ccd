#include "dns/server_thread.h"

#include "dns/service_loop.h"

#include <thread>
#include <utility>

ServiceSetUp SetUpService(DnsService& service, const ServiceSettings& settings) {
    if (service.thread.joinable() || service.set.socket.value >= 0)
        return {};
    ServiceSocket set = SetUpServiceSocket(settings.bindAddress, settings.port, settings.machine);
    // The wake-ups are no sockets of the network, but a failure to make one is a failure to set up the socket's
    // wait; it is reported as such.
    const WakeResult wake = set.setUp.step == ServiceSetUp::Step::Done ? CreateWake() : WakeResult{};
    if (set.setUp.step == ServiceSetUp::Step::Done && wake.error != 0)
        set.setUp = {ServiceSetUp::Step::CreateSocket, wake.error};
    if (set.setUp.step == ServiceSetUp::Step::Done)
        if (const int error = OpenResolverPool(*settings.resolverPool); error != 0)
            set.setUp = {ServiceSetUp::Step::CreateSocket, error};
    if (set.setUp.step != ServiceSetUp::Step::Done) {
        CloseWake(wake.handle);
        CloseServiceSocket(set);
        return set.setUp;
    }
    service.wake = wake.handle;
    service.set = std::move(set);
    return service.set.setUp;
}

void StartServerThread(DnsService& service, ServiceSettings settings) {
    if (service.thread.joinable() || service.set.socket.value < 0)
        return;
    service.stopRequested = false;
    service.thread = std::thread(RunServiceLoop, &service, std::move(settings), std::move(service.set));
    service.set = {};
}

void RequestStatistics(DnsService& service) {
    if (!service.thread.joinable())
        return;
    service.statisticsRequested = true;
    SignalWake(service.wake);
}

void RequestReload(DnsService& service) {
    if (!service.thread.joinable())
        return;
    service.reloadRequested = true;
    SignalWake(service.wake);
}

void StopServerThread(DnsService& service) {
    if (!service.thread.joinable())
        return;
    service.stopRequested = true;
    SignalWake(service.wake);
    service.thread.join();
    CloseWake(service.wake);
    service.wake = {};
}
