#include "dns/server_thread.h"

#include "common/ipv4.h"
#include "common/messages.h"
#include "common/process_state.h"
#include "dns/query_answer.h"
#include "dns/resolver_pool.h"
#include "dns/saver.h"
#include "platform/console.h"
#include "platform/udp_socket.h"
#include "resolutions/resolution_file.h"
#include "resolutions/resolution_table.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <deque>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace {

// Owned by the console thread: StartServerThread and StopServerThread are its only users. The wake handle is
// written before the server thread starts and closed after it has ended; the threads only signal it.
std::thread ServerThreadHandle;
WakeHandle ServiceWake;
// Written by the console thread, read by the server thread.
std::atomic<bool> StopRequested{false};
// Written by the server thread, read by the console thread after joining it.
ServiceEnd HowServiceEnded = ServiceEnd::Stopped;

constexpr std::size_t BatchSize = 32;
// Queries waiting for lookups and saves, all together; one more ends in a server failure.
constexpr std::size_t MostWaitingQueries = 1024;
constexpr auto FailedReceivePause = std::chrono::milliseconds(100);
// Under steady load each datagram would cost a wake-up and a system call of its own. When the next datagram came
// this soon after a batch, the thread lets the queries of the next moment gather first; at idle, or when
// batches come full, it never waits.
constexpr auto BusyGap = std::chrono::microseconds(100);
constexpr auto GatherPause = std::chrono::microseconds(100);

// A query held until its lookup, and for a learned name its save, has ended.
struct WaitingQuery {
    std::vector<std::uint8_t> head; // the datagram's header and question: all its answer needs
    std::string name;
    SocketAddress client;
    std::uint32_t localAddress = 0;
    bool learn = false; // asked for the looked-up name itself, which the table lacked
};

struct PendingLookup {
    std::vector<WaitingQuery> waiting;
    std::uint32_t address = 0;
    std::uint64_t ticket = 0; // not 0 while the learned entry is being saved
};

// Everything below belongs to the server thread alone.
struct Service {
    Service(SocketHandle socket, const ServiceSettings& settings) : socket(socket), settings(settings) {}

    SocketHandle socket;
    const ServiceSettings& settings;
    // A save per learned name, each held by a waiting query, and the whole-file saves that stale files ask for.
    Saver saver{2 * MostWaitingQueries};
    std::unordered_map<std::string, PendingLookup> pending; // by the name looked up
    std::size_t waitingCount = 0;
    std::deque<std::pair<std::uint64_t, std::string>> saving; // tickets in order, with their pending name
    std::uint64_t lastTicket = 0;
    std::uint64_t wholeUpTo = 0; // the last ticket that a whole-file save already covers

    std::array<DatagramBuffer, BatchSize> buffers{};
    HostName queryName{}; // the dotted name of the datagram at hand
    std::array<ReceivedDatagram, BatchSize> received{};
    std::array<std::array<std::uint8_t, AnswerBufferSize>, BatchSize> answers{};
    std::array<OutgoingDatagram, BatchSize> outgoing{};
    std::size_t outgoingCount = 0;
    std::string console;
    std::vector<LookupResult> results;
    std::vector<SaveOutcome> outcomes;
};

void FlushOutput(Service& service) {
    if (service.outgoingCount > 0 && !StopRequested) {
        const std::span<OutgoingDatagram> sent(service.outgoing.data(), service.outgoingCount);
        SendDatagrams(service.socket, sent);
        for (const OutgoingDatagram& datagram : sent)
            if (datagram.error != 0)
                service.console += "> Error: could not send answer to " +
                                   std::string(DottedAddress(datagram.to.address).data()) + ": " +
                                   std::to_string(datagram.error) + "\n";
    }
    service.outgoingCount = 0;
    if (!service.console.empty()) {
        WriteConsole(service.console);
        service.console.clear();
    }
}

// The next answer buffer of the batch; sends the batch first when it is full.
std::span<std::uint8_t> NextAnswer(Service& service) {
    if (service.outgoingCount == BatchSize)
        FlushOutput(service);
    return service.answers[service.outgoingCount];
}

void Send(Service& service, std::size_t length, SocketAddress to, std::uint32_t from) {
    if (length == 0)
        return;
    const std::size_t slot = service.outgoingCount++;
    service.outgoing[slot] = {std::span<const std::uint8_t>(service.answers[slot].data(), length), to, from, 0};
}

void Reply(Service& service, const Query& query, SocketAddress client, std::uint32_t localAddress,
           std::optional<std::uint32_t> address) {
    AppendQueryLine(service.console, client.address, query.name, address);
    const std::span<std::uint8_t> answer = NextAnswer(service);
    Send(service, address ? WriteAnswerMessage(answer, query, *address) : WriteFailureMessage(answer, query), client,
         localAddress);
}

void ReplyToWaiting(Service& service, const WaitingQuery& waiting, std::optional<std::uint32_t> address) {
    const Query query{waiting.head, waiting.head.size() - QueryNameOffset, waiting.name};
    Reply(service, query, waiting.client, waiting.localAddress, address);
}

void Finish(Service& service, const std::string& name, std::optional<std::uint32_t> address) {
    const auto found = service.pending.find(name);
    if (found == service.pending.end())
        return;
    for (const WaitingQuery& waiting : found->second.waiting)
        ReplyToWaiting(service, waiting, address);
    service.waitingCount -= found->second.waiting.size();
    service.pending.erase(found);
}

// Joins the query to the lookup of its name, starting one when none is under way.
void AwaitLookup(Service& service, const Query& query, const ReceivedDatagram& received, std::string_view lookupName,
                 bool learn) {
    auto found = service.pending.find(std::string(lookupName));
    if (service.waitingCount >= MostWaitingQueries || (found == service.pending.end() && !QueueLookup(lookupName))) {
        Reply(service, query, received.sender, received.localAddress, std::nullopt);
        return;
    }
    if (found == service.pending.end())
        found = service.pending.emplace(std::string(lookupName), PendingLookup{}).first;
    const std::span<const std::uint8_t> head = QueryHead(query);
    found->second.waiting.push_back(
        {{head.begin(), head.end()}, std::string(query.name), received.sender, received.localAddress, learn});
    ++service.waitingCount;
}

void SubmitWholeSave(Service& service) {
    service.wholeUpTo = service.lastTicket;
    service.saver.jobs.Push({service.lastTicket, true, SerializeResolutionTable(*Resolutions), 0});
}

// An append; the saver answers stale when the file is not one it can append to, and the whole table follows.
void SubmitSave(Service& service, std::size_t number) {
    ++service.lastTicket;
    SaveJob job{service.lastTicket, false, {}, static_cast<std::uint32_t>(ResolutionCount(*Resolutions))};
    SerializeResolution(ResolutionAt(*Resolutions, number), job.bytes);
    service.saver.jobs.Push(std::move(job));
}

void HandleLookupResult(Service& service, const LookupResult& result) {
    const auto found = service.pending.find(result.name);
    if (found == service.pending.end() || found->second.ticket != 0)
        return;
    PendingLookup& lookup = found->second;
    const bool learn = std::any_of(lookup.waiting.begin(), lookup.waiting.end(),
                                   [](const WaitingQuery& waiting) { return waiting.learn; });
    // A numeric name costs the resolver nothing, and learning it would let any client grow the file without
    // bound; 0.0.0.0 would be learned as "Local".
    if (!result.address || !learn || *result.address == 0 || IsNumericAddress(result.name.c_str()) ||
        FindResolution(*Resolutions, result.name)) {
        Finish(service, result.name, result.address);
        return;
    }
    // Learned: into the table at once, so that a whole-file save holds it, but answered only once it is on disk.
    // Queries for it meanwhile join the waiting ones.
    lookup.address = *result.address;
    SubmitSave(service, AppendResolution(*Resolutions, {result.name, {}, 0, *result.address}));
    lookup.ticket = service.lastTicket;
    service.saving.emplace_back(lookup.ticket, result.name);
}

void HandleSaveOutcome(Service& service, const SaveOutcome& outcome) {
    if (outcome.stale) {
        if (outcome.ticket > service.wholeUpTo)
            SubmitWholeSave(service);
        return;
    }
    while (!service.saving.empty() && service.saving.front().first <= outcome.ticket) {
        const std::string name = std::move(service.saving.front().second);
        service.saving.pop_front();
        const auto found = service.pending.find(name);
        if (found != service.pending.end())
            Finish(service, name, found->second.address);
    }
    if (outcome.error != 0)
        service.console += SaveErrorLine(service.saver.fileName.c_str(), ErrorText(outcome.error));
}

void TakeResults(Service& service) {
    TakeLookupResults(service.results);
    for (const LookupResult& result : service.results)
        HandleLookupResult(service, result);
    service.results.clear();
    service.saver.outcomes.TakeAll(service.outcomes);
    for (const SaveOutcome& outcome : service.outcomes)
        HandleSaveOutcome(service, outcome);
    service.outcomes.clear();
}

void HandleDatagram(Service& service, std::size_t index) {
    const ReceivedDatagram& received = service.received[index];
    if (received.truncated)
        return; // never answered from the first part of a longer datagram
    if (received.size == 0) {
        // Only this machine may switch the service off.
        if (IsLoopbackAddress(received.sender.address))
            ServerRunning = false;
        return;
    }
    // Only the bytes received: the buffer still holds the previous, longer datagram.
    const std::optional<Query> query =
        ReadQuery(std::span<const std::uint8_t>(service.buffers[index].data(), received.size), service.queryName);
    if (!query)
        return;
    // A learned name being saved is answered only once it is on disk.
    if (!service.saving.empty()) {
        const auto found = service.pending.find(std::string(query->name));
        if (found != service.pending.end() && found->second.ticket != 0) {
            AwaitLookup(service, *query, received, query->name, true);
            return;
        }
    }
    const TableAnswer answer = AnswerFromTable(query->name, received.sender.address);
    if (answer.outcome == TableAnswer::Outcome::Answered)
        Reply(service, *query, received.sender, received.localAddress, answer.address);
    else
        AwaitLookup(service, *query, received, answer.lookupName, answer.outcome == TableAnswer::Outcome::Learn);
}

void ServeQueries(Service& service) {
    int failures = 0;
    bool busy = false;
    while (ServerRunning && !StopRequested) {
        if (busy)
            std::this_thread::sleep_for(GatherPause);
        const auto waitStart = std::chrono::steady_clock::now();
        const ReceiveResult got = ReceiveDatagrams(service.socket, ServiceWake, service.buffers, service.received);
        busy = got.count < BatchSize && std::chrono::steady_clock::now() - waitStart < BusyGap;
        if (got.error != 0) {
            // Retried at once the first time; a lasting error must not spin a core.
            if (++failures > 1)
                std::this_thread::sleep_for(FailedReceivePause);
            continue;
        }
        failures = 0;
        // In arrival order; a stop datagram ends the service before the datagrams behind it.
        for (std::size_t i = 0; i < got.count && ServerRunning; ++i)
            if (!service.received[i].wake)
                HandleDatagram(service, i);
        TakeResults(service);
        // Every batch may be followed by a wait: nothing is left unsent or unwritten behind it.
        FlushOutput(service);
    }
}

bool SetUpSocket(SocketHandle handle, const ServiceSettings& settings) {
    if (const int error = EnableAddressReuse(handle); error != 0) {
        std::printf("> Error: could not set socket options: %d\n", error);
        return false;
    }
    if (const int error = BindSocket(handle, settings.bindAddress, settings.port); error != 0) {
        std::printf("> Error: could not bind socket to port %u: %d\n", static_cast<unsigned>(settings.port), error);
        return false;
    }
    return true;
}

} // namespace

void ServerThread(ServiceSettings settings) {
    HowServiceEnded = ServiceEnd::SetUpFailed;
    const SocketResult created = CreateUdpSocket();
    if (created.error != 0) {
        std::printf("> Error: could not create network socket: %d\n", created.error);
    } else {
        if (SetUpSocket(created.handle, settings)) {
            HowServiceEnded = ServiceEnd::Ended;
            // On the heap: its batch buffers are too large for a thread stack to carry comfortably.
            const auto service = std::make_unique<Service>(created.handle, settings);
            StartSaver(service->saver, ResolutionFileName.data(), settings.loadedFile ? &*settings.loadedFile : nullptr,
                       ServiceWake);
            OpenResolverPool(settings.resolveHost, ServiceWake);
            ServeQueries(*service);
            CloseResolverPool();
            StopSaver(service->saver);
            FlushOutput(*service);
        }
        CloseSocket(created.handle);
    }
    std::fflush(stdout);
    if (StopRequested)
        HowServiceEnded = ServiceEnd::Stopped;
    else if (settings.onEnded != nullptr)
        settings.onEnded();
}

void StartServerThread(const ServiceSettings& settings) {
    if (ServerThreadHandle.joinable())
        return;
    ServerRunning = true;
    StopRequested = false;
    ServiceWake = CreateWakeHandle(settings.bindAddress, settings.port);
    ServerThreadHandle = std::thread(ServerThread, settings);
}

ServiceEnd StopServerThread() {
    if (!ServerThreadHandle.joinable())
        return ServiceEnd::Stopped;
    StopRequested = true;
    SignalWake(ServiceWake);
    ServerThreadHandle.join();
    CloseWakeHandle(ServiceWake);
    ServiceWake = {};
    return HowServiceEnded;
}
