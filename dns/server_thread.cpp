#include "dns/server_thread.h"

#include "common/console_backlog.h"
#include "common/ipv4.h"
#include "common/messages.h"
#include "dns/pending_queries.h"
#include "dns/query_answer.h"
#include "dns/saver.h"
#include "platform/console.h"
#include "platform/udp_socket.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace {

constexpr std::size_t BatchSize = 32;
constexpr auto FailedReceivePause = std::chrono::milliseconds(100);
// Under steady load each datagram would cost a wake-up and a system call of its own. When the next datagram came
// this soon after a batch, the thread lets the queries of the next moment gather first: as long as GatherCount of
// them take to come at the rate the last batch came, at most GatherPause. At idle, when batches come full, or when
// they come too fast for a pause to be worth a sleep, it never waits.
constexpr auto BusyGap = std::chrono::microseconds(100);
constexpr auto GatherPause = std::chrono::microseconds(100);
constexpr auto ShortestPause = std::chrono::microseconds(10);
constexpr int GatherCount = 16;
// Console lines gather across batches: a write for each batch would be tens of thousands of system calls a second
// into whatever file the console goes to. They are written once they fill ConsoleGatherSize, once the oldest has
// waited ConsoleDelay (under steady load the thread never waits), and whenever the thread may wait.
constexpr std::size_t ConsoleGatherSize = 64 * 1024;
constexpr auto ConsoleDelay = std::chrono::milliseconds(5);
// What may wait for a console that does not keep up before query lines are dropped: some 20,000 of them.
constexpr std::size_t ConsoleBacklogSize = 1024 * 1024;

// The service loop: the socket, the batches, and the helpers that the pending queries hand work to. Everything
// here belongs to the server thread.
struct Loop {
    Loop(DnsService& service, const ServiceSettings& settings, SocketHandle socket)
        : service(service), settings(settings), socket(socket),
          queries(*settings.table, this->settings.addresses, settings.terminal),
          generation(settings.resolverPool->generation), started(std::chrono::steady_clock::now()) {
        queries.isOwnLookup = settings.isOwnLookup;
    }

    DnsService& service;
    const ServiceSettings settings;
    const SocketHandle socket;
    PendingQueries queries;
    // A job per learned name, each held by a waiting query, and room for the rest.
    Saver saver{2 * MostWaitingQueries, settings.fileName, settings.loadedFile};
    const std::uint64_t generation; // of the resolver pool's results that are ours
    const std::chrono::steady_clock::time_point started;
    bool running = true; // until an empty datagram from this machine

    std::array<DatagramBuffer, BatchSize> buffers{};
    std::array<ReceivedDatagram, BatchSize> received{};
    std::array<HostName, BatchSize> names{}; // the batch's query names, read ahead of its answers
    PendingOutput out;
    bool consoleHeld = false; // lines wait in out.console, the oldest since consoleSince
    std::chrono::steady_clock::time_point consoleSince;
    std::vector<OutgoingDatagram> outgoing;
    std::vector<LookupResult> results;
    std::vector<SaverReport> reports;
    // Written here, taken by the console writer, which alone waits for the console.
    ConsoleBacklog console{ConsoleBacklogSize};
};

// The console writer thread: writes whatever the backlog hands it, for as long as it takes.
void WriteConsoleLines(ConsoleBacklog* backlog) {
    std::string text;
    while (backlog->Take(text))
        WriteConsole(text);
}

// Hands the console lines not written yet to the console writer.
void WriteHeldConsole(Loop& loop) {
    if (loop.out.console.empty())
        return;
    loop.console.Add(loop.out.console);
    loop.out.console.clear();
    loop.consoleHeld = false;
}

// Sends the replies that the pending queries produced, and writes their console lines when they are due.
void Flush(Loop& loop) {
    PendingOutput& out = loop.out;
    if (!loop.service.stopRequested) {
        loop.outgoing.clear();
        for (const PendingOutput::Reply& reply : out.replies)
            loop.outgoing.push_back({std::span<const std::uint8_t>(out.bytes.data() + reply.offset, reply.length),
                                     {reply.to.address, reply.to.port},
                                     reply.to.from,
                                     0});
        SendDatagrams(loop.socket, loop.outgoing);
        for (const OutgoingDatagram& datagram : loop.outgoing)
            if (datagram.error != 0)
                out.console += "> Error: could not send answer to " +
                               std::string(DottedAddress(datagram.to.address).data()) + ": " +
                               std::to_string(datagram.error) + "\n";
    }
    out.bytes.clear();
    out.replies.clear();
    if (out.console.empty())
        return;
    const auto now = std::chrono::steady_clock::now();
    if (!loop.consoleHeld) {
        loop.consoleHeld = true;
        loop.consoleSince = now;
    }
    if (out.console.size() >= ConsoleGatherSize || now - loop.consoleSince >= ConsoleDelay)
        WriteHeldConsole(loop);
}

// Hands on the lookups and the saver's jobs that the last step asked for. A lookup that cannot be queued fails at
// once.
void HandOn(Loop& loop) {
    PendingOutput& out = loop.out;
    for (std::size_t i = 0; i < out.lookups.size(); ++i) {
        const PendingOutput::Lookup lookup = out.lookups[i]; // refusing one may start another
        if (!QueueLookup(*loop.settings.resolverPool, lookup.lane, lookup.name, loop.settings.resolveHost))
            RefuseLookup(loop.queries, lookup.name, out);
    }
    out.lookups.clear();
    std::uint64_t refused = 0;
    for (SaverJob& job : out.saves) {
        const auto* learned = std::get_if<SaveLearnedName>(&job);
        const std::uint64_t ticket = learned != nullptr ? learned->ticket : 0;
        // The queue holds a job for every waiting query and more; refused all the same, a learned name is told
        // as a failed write (a table to free is freed here).
        if (!loop.saver.jobs.Push(std::move(job)) && ticket != 0)
            refused = ticket;
    }
    out.saves.clear();
    if (refused != 0) {
        const std::string line =
            SaveErrorLine(loop.settings.fileName.c_str(), std::make_error_code(std::errc::no_buffer_space).message());
        TakeSaverReport(loop.queries, SaveFailed{line}, out);
        TakeSaverReport(loop.queries, LearnedNamesSettled{refused}, out);
        if (loop.settings.onSaveFailed != nullptr)
            loop.settings.onSaveFailed(line);
    }
}

void TakeResults(Loop& loop) {
    loop.settings.resolverPool->results.TakeAll(loop.results);
    for (const LookupResult& result : loop.results) {
        if (result.generation != loop.generation)
            continue; // an earlier service's
        TakeLookupResult(loop.queries, result.name, result.result, result.numeric, loop.out);
        HandOn(loop);
    }
    loop.results.clear();
    loop.saver.reports.TakeAll(loop.reports);
    for (SaverReport& report : loop.reports) {
        if (const auto* failed = std::get_if<SaveFailed>(&report); failed && loop.settings.onSaveFailed != nullptr)
            loop.settings.onSaveFailed(failed->line);
        TakeSaverReport(loop.queries, std::move(report), loop.out);
        HandOn(loop);
    }
    loop.reports.clear();
}

void HandleDatagram(Loop& loop, std::size_t index) {
    const ReceivedDatagram& received = loop.received[index];
    if (received.truncated) {
        ++loop.queries.counters.oversize; // never answered from the first part of a longer datagram
        return;
    }
    if (received.size == 0) {
        // Only this machine may switch the service off, and it says who did; there only root and the service's own
        // user, or any local user could keep the network without DNS.
        if (IsLoopbackAddress(received.sender.address)) {
            const std::optional<UdpSocketOwner> owner =
                loop.settings.findSocketOwner(received.sender.address, received.sender.port);
            if (!owner || !(owner->administrator || owner->thisUser)) {
                loop.out.console += IgnoredStopLine(received.sender.address, received.sender.port, owner.has_value());
                return;
            }
            loop.running = false;
            loop.out.console += "> DNS server stopped by " +
                                std::string(DottedAddress(received.sender.address).data()) + ":" +
                                std::to_string(PortNumber(received.sender.port)) + "\n";
        }
        return;
    }
    const ReplyRoute route{received.sender.address, received.sender.port,
                           ChooseReplySource(loop.settings.machine, received.destination, received.interfaceAddress)};
    // Only the bytes received: the buffer still holds the previous, longer datagram.
    TakeQuery(loop.queries, std::span<const std::uint8_t>(loop.buffers[index].data(), received.size), route, loop.out);
    HandOn(loop);
}

// Readies the table for the batch's names before any is answered: one query at a time, each would wait on memory
// in turn when the table is far larger than the cache.
void PrefetchBatch(Loop& loop, std::size_t count) {
    std::array<std::string_view, BatchSize> names;
    std::size_t named = 0;
    for (std::size_t i = 0; i < count; ++i)
        if (const std::optional<Query> query =
                ReadQuery(std::span<const std::uint8_t>(loop.buffers[i].data(), loop.received[i].size), loop.names[i]))
            names[named++] = query->name;
    PrefetchResolutions(loop.queries.table, std::span(names.data(), named));
}

void AppendStatistics(Loop& loop) {
    const ServiceCounters& counters = loop.queries.counters;
    const auto uptime =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - loop.started).count();
    char line[512];
    std::snprintf(
        line, sizeof line,
        "> Statistics: %llu from the table, %llu learned, %llu forwarded, %llu no such name, %llu server "
        "failures, %llu lookups refused; dropped %llu malformed, %llu responses, %llu oversize; %zu "
        "entries; up %lld s\n",
        static_cast<unsigned long long>(counters.fromTable), static_cast<unsigned long long>(counters.learned),
        static_cast<unsigned long long>(counters.forwarded), static_cast<unsigned long long>(counters.noSuchName),
        static_cast<unsigned long long>(counters.serverFailures), static_cast<unsigned long long>(counters.refused),
        static_cast<unsigned long long>(counters.malformed), static_cast<unsigned long long>(counters.responses),
        static_cast<unsigned long long>(counters.oversize), ResolutionCount(loop.queries.table),
        static_cast<long long>(uptime));
    loop.out.console += line;
}

void Serve(Loop& loop) {
    const WakeHandle wakes[] = {loop.service.wake, loop.settings.resolverPool->wake};
    int failures = 0;
    bool busy = false;
    auto lastBatch = std::chrono::steady_clock::now(); // when the last batch came
    std::chrono::steady_clock::duration batchGap{};    // since the batch before it
    int batchCount = 0; // datagrams in it; signed, so that the pause may come out below zero
    while (loop.running && !loop.service.stopRequested) {
        if (busy) {
            const auto pause = batchGap * GatherCount / batchCount - (std::chrono::steady_clock::now() - lastBatch);
            if (pause >= ShortestPause)
                std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(pause, GatherPause));
        }
        const auto waitStart = std::chrono::steady_clock::now();
        ReceiveResult got = ReceiveDatagrams(loop.socket, wakes, loop.buffers, loop.received, false);
        if (got.count == 0 && got.error == 0) {
            // Nothing came: the thread waits now, and no line may wait with it.
            WriteHeldConsole(loop);
            got = ReceiveDatagrams(loop.socket, wakes, loop.buffers, loop.received, true);
        }
        const auto came = std::chrono::steady_clock::now();
        busy = got.count > 0 && got.count < BatchSize && came - waitStart < BusyGap;
        batchGap = came - lastBatch;
        batchCount = static_cast<int>(got.count);
        lastBatch = came;
        // Refused only when the saver's queue is full; the request is then dropped, as a signal sent twice.
        if (loop.service.reloadRequested.exchange(false))
            loop.saver.jobs.Push(ReadFileAnew{});
        if (got.error != 0) {
            // Retried at once the first time; a lasting error must not spin a core.
            if (++failures > 1)
                std::this_thread::sleep_for(FailedReceivePause);
            continue;
        }
        failures = 0;
        PrefetchBatch(loop, got.count);
        // In arrival order; a stop datagram ends the service before the datagrams behind it.
        for (std::size_t i = 0; i < got.count && loop.running; ++i)
            HandleDatagram(loop, i);
        TakeResults(loop);
        if (loop.service.statisticsRequested.exchange(false))
            AppendStatistics(loop);
        // Every batch may be followed by a wait: nothing is left unsent behind it.
        Flush(loop);
    }
}

void ServerThread(DnsService* service, ServiceSettings settings, SocketHandle socket) {
    // On the heap: its batch buffers are too large for a thread stack to carry comfortably.
    const auto loop = std::make_unique<Loop>(*service, settings, socket);
    std::thread consoleWriter(WriteConsoleLines, &loop->console);
    StartSaver(loop->saver, service->wake);
    Serve(*loop);
    WriteHeldConsole(*loop);
    CloseResolverPool(*settings.resolverPool);
    StopSaver(loop->saver);
    Flush(*loop);
    WriteHeldConsole(*loop);
    CloseSocket(socket);
    // The service's last lines are out before anyone is told that it ended.
    loop->console.Close();
    consoleWriter.join();
    std::fflush(stdout);
    if (!service->stopRequested && settings.onEnded != nullptr)
        settings.onEnded();
}

bool IsMachineAddress(const ServiceSettings& settings, std::uint32_t address) {
    return IsLoopbackAddress(address) ||
           std::any_of(settings.machine.begin(), settings.machine.end(),
                       [address](const InterfaceAddress& item) { return item.address == address; });
}

// Our socket shares the port with sockets bound to other addresses (a resolver's stub on 127.0.0.53), but not
// with one that holds an address we answer on, or all of them: a second copy would take every query.
ServiceSetUp CheckPortIsOurs(const ServiceSettings& settings) {
    std::vector<std::uint32_t> ours = {settings.bindAddress};
    if (settings.bindAddress == 0) {
        ours = {MakeAddress(127, 0, 0, 1)};
        for (const InterfaceAddress& item : settings.machine)
            ours.push_back(item.address);
    }
    for (const std::uint32_t address : ours)
        if (const int error = ProbeUdpPort(address, settings.port); error != 0)
            return {ServiceSetUp::Step::Bind, error};
    ServiceSetUp setUp;
    // A nameserver of this machine whose port nobody else holds will be this server.
    if (settings.bindAddress == 0)
        for (const std::uint32_t server : SystemNameServers())
            if (setUp.selfNameServer == 0 && IsMachineAddress(settings, server) &&
                ProbeUdpPort(server, settings.port) == 0)
                setUp.selfNameServer = server;
    return setUp;
}

ServiceSetUp SetUpSocket(SocketHandle socket, const ServiceSettings& settings) {
    if (const int error = SetServerSocketOptions(socket); error != 0)
        return {ServiceSetUp::Step::SetOptions, error};
    const ServiceSetUp checked = CheckPortIsOurs(settings);
    if (checked.step != ServiceSetUp::Step::Done)
        return checked;
    if (const int error = BindSocket(socket, settings.bindAddress, settings.port); error != 0)
        return {ServiceSetUp::Step::Bind, error};
    return checked;
}

} // namespace

ServiceSetUp SetUpService(DnsService& service, const ServiceSettings& settings) {
    if (service.thread.joinable() || service.socket.value >= 0)
        return {};
    const SocketResult created = CreateUdpSocket();
    if (created.error != 0)
        return {ServiceSetUp::Step::CreateSocket, created.error};
    ServiceSetUp setUp = SetUpSocket(created.handle, settings);
    // The wake-ups are no sockets of the network, but a failure to make one is a failure to set up the socket's
    // wait; it is reported as such.
    const WakeResult wake = setUp.step == ServiceSetUp::Step::Done ? CreateWake() : WakeResult{};
    if (setUp.step == ServiceSetUp::Step::Done && wake.error != 0)
        setUp = {ServiceSetUp::Step::CreateSocket, wake.error};
    if (setUp.step == ServiceSetUp::Step::Done)
        if (const int error = OpenResolverPool(*settings.resolverPool); error != 0)
            setUp = {ServiceSetUp::Step::CreateSocket, error};
    if (setUp.step != ServiceSetUp::Step::Done) {
        CloseWake(wake.handle);
        CloseSocket(created.handle);
        return setUp;
    }
    service.wake = wake.handle;
    service.socket = created.handle;
    return setUp;
}

void StartServerThread(DnsService& service, ServiceSettings settings) {
    if (service.thread.joinable() || service.socket.value < 0)
        return;
    service.stopRequested = false;
    service.thread = std::thread(ServerThread, &service, std::move(settings), service.socket);
    service.socket = {};
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
