#include "dns/service_loop.h"

#include "common/ipv4.h"
#include "common/messages.h"
#include "dns/address_follower.h"
#include "dns/query_answer.h"
#include "dns/query_engine.h"
#include "dns/saver.h"
#include "dns/served_addresses.h"
#include "dns/service_console.h"
#include "dns/service_statistics.h"
#include "dns/stream_connections.h"
#include "dns/upstream_relay.h"
#include "platform/udp_socket.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <memory>
#include <span>
#include <string>
#include <system_error>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

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

// One batch of datagrams as received, and as read: each is parsed once, before any is answered.
struct Batch {
    std::array<DatagramBuffer, BatchSize> buffers{};
    std::array<ReceivedDatagram, BatchSize> received{};
    std::array<QueryNames, BatchSize> names{};
    std::array<ReadDatagramResult, BatchSize> read{};
    std::size_t count = 0;
};

EngineSettings EngineSettingsOf(const ServiceSettings& settings) {
    EngineSettings engine{ResolverThreads, MostQueuedLookups, settings.timeToLive, settings.hostName, {}, {}};
    engine.localDomains = settings.localDomains;
    for (const InterfaceAddress& item : settings.machine)
        engine.own.push_back(item.address);
    return engine;
}

// The earlier of two deadlines, either of which may be none.
std::optional<Clock::time_point> EarlierOf(std::optional<Clock::time_point> one,
                                           std::optional<Clock::time_point> other) {
    return one && (!other || *one < *other) ? one : other;
}

// The service loop: the socket, the batches, and the threads that the engine hands work to. Everything here
// belongs to the server thread.
struct Loop {
    Loop(DnsService& service, const ServiceSettings& settings, ServiceSocket& set)
        : service(service), settings(settings), socket(set.socket), streams(set.streamWatch, std::move(set.listeners)),
          engine(*settings.table, addresses.List(), settings.terminal, EngineSettingsOf(settings)),
          generation(settings.resolverPool->generation) {
        engine.SetOwnLookupCheck(settings.isOwnLookup);
    }

    DnsService& service;
    const ServiceSettings settings;
    const SocketHandle socket;
    StreamConnections streams;
    // Before the engine, which answers from its list.
    AddressFollower addresses{settings.machine, settings.addresses, settings.addressChoice, settings.listAddresses};
    QueryEngine engine;
    // A job per learned name, each held by a waiting query, and room for the rest.
    Saver saver{2 * MostWaitingQueries, settings.fileName, settings.loadedFile};
    const std::uint64_t generation; // of the resolver pool's results that are ours
    const Clock::time_point started = Clock::now();
    bool running = true; // until an empty datagram from this machine

    Batch batch;
    QueryNames streamNames; // of the query from a connection being answered
    EngineOutput out;
    std::vector<OutgoingDatagram> outgoing;
    std::vector<LookupResult> results;
    std::vector<SaverReport> reports;
    std::vector<LookupRequest> lookups;
    std::vector<SaverJob> saves;
    std::vector<RelayRequest> relays;
    std::vector<RelayResult> relayResults;
    UpstreamRelay relay;
    ServiceConsole console;
};

// Sends the replies that the engine produced, and gathers their console lines.
void SendReplies(Loop& loop) {
    EngineOutput& out = loop.out;
    if (!loop.service.stopRequested) {
        loop.outgoing.clear();
        const Clock::time_point now = Clock::now();
        for (const EngineOutput::Reply& reply : out.replies) {
            const std::span<const std::uint8_t> bytes(out.bytes.data() + reply.offset, reply.length);
            if (reply.to.stream != 0)
                loop.streams.Reply(reply.to.stream, bytes, now);
            else
                loop.outgoing.push_back({bytes, {reply.to.address, reply.to.port}, reply.to.from, 0});
        }
        SendDatagrams(loop.socket, loop.outgoing);
        for (const OutgoingDatagram& datagram : loop.outgoing)
            if (datagram.error != 0)
                out.console += "> Error: could not send answer to " +
                               std::string(DottedAddress(datagram.to.address).data()) + ": " +
                               std::to_string(datagram.error) + "\n";
    }
    out.bytes.clear();
    out.replies.clear();
    loop.console.Take(out.console, Clock::now());
}

// A learned name whose job the saver's queue refused is told as a failed write.
void RefuseLearnedNames(Loop& loop, std::uint64_t upTo) {
    const std::string line =
        SaveErrorLine(loop.settings.fileName.c_str(), std::make_error_code(std::errc::no_buffer_space).message());
    loop.engine.TakeSaverReport(SaveFailed{line}, loop.out);
    loop.engine.TakeSaverReport(LearnedNamesSettled{upTo}, loop.out);
    if (loop.settings.onSaveFailed != nullptr)
        loop.settings.onSaveFailed(line);
}

// Hands on the lookups, the queries to pass upstream and the saver's jobs that the engine asked for, until it asks
// for none: one that cannot be queued fails at once, which may start another lookup.
void HandOn(Loop& loop) {
    while (!loop.out.lookups.empty() || !loop.out.saves.empty() || !loop.out.relays.empty()) {
        std::swap(loop.lookups, loop.out.lookups);
        std::swap(loop.saves, loop.out.saves);
        std::swap(loop.relays, loop.out.relays);
        for (const LookupRequest& lookup : loop.lookups)
            if (!QueueLookup(*loop.settings.resolverPool, lookup.lane, lookup.name, loop.settings.resolveHost))
                loop.engine.FailUnqueuedLookup(lookup.name, loop.out);
        for (RelayRequest& relayed : loop.relays) {
            const std::uint64_t serial = relayed.serial;
            if (!loop.relay.Queue(std::move(relayed)))
                loop.engine.FailUnqueuedRelay(serial, loop.out);
        }
        loop.relays.clear();
        std::uint64_t refused = 0;
        for (SaverJob& job : loop.saves) {
            const auto* learned = std::get_if<SaveLearnedName>(&job);
            const std::uint64_t ticket = learned != nullptr ? learned->ticket : 0;
            // The queue holds a job for every waiting query and more; a table to free is freed here all the same.
            if (!loop.saver.jobs.Push(std::move(job)) && ticket != 0)
                refused = ticket;
        }
        loop.lookups.clear();
        loop.saves.clear();
        if (refused != 0)
            RefuseLearnedNames(loop, refused);
    }
}

void TakeResults(Loop& loop) {
    loop.settings.resolverPool->results.TakeAll(loop.results);
    for (const LookupResult& result : loop.results)
        if (result.generation == loop.generation) // else an earlier service's
            loop.engine.TakeLookupResult(result, Clock::now(), loop.out);
    loop.results.clear();
    loop.saver.reports.TakeAll(loop.reports);
    for (SaverReport& report : loop.reports) {
        if (const auto* failed = std::get_if<SaveFailed>(&report); failed && loop.settings.onSaveFailed != nullptr)
            loop.settings.onSaveFailed(failed->line);
        loop.engine.TakeSaverReport(std::move(report), loop.out);
    }
    loop.reports.clear();
    loop.relay.TakeResults(loop.relayResults);
    for (const RelayResult& result : loop.relayResults)
        loop.engine.TakeRelayResult(result, loop.out);
    loop.relayResults.clear();
    loop.engine.AnswerOverdue(Clock::now(), loop.out);
    HandOn(loop);
}

// Only this machine may switch the service off, and it says who did; there only root and the service's own
// user, or any local user could keep the network without DNS.
void TakeStop(Loop& loop, const ReceivedDatagram& received) {
    if (!IsLoopbackAddress(received.sender.address))
        return;
    const std::optional<UdpSocketOwner> owner =
        loop.settings.findSocketOwner(received.sender.address, received.sender.port);
    if (!owner || !(owner->administrator || owner->thisUser)) {
        loop.out.console += IgnoredStopLine(received.sender.address, received.sender.port, owner.has_value());
        return;
    }
    loop.running = false;
    loop.out.console += "> DNS server stopped by " + std::string(DottedAddress(received.sender.address).data()) + ":" +
                        std::to_string(PortNumber(received.sender.port)) + "\n";
}

// Reads every datagram of the batch once, then readies the table for their names before any is answered: one
// query at a time, each would wait on memory in turn when the table is far larger than the cache.
void ReadBatch(Loop& loop) {
    Batch& batch = loop.batch;
    std::array<std::string_view, BatchSize> names;
    std::size_t named = 0;
    for (std::size_t i = 0; i < batch.count; ++i) {
        batch.read[i] = ReadDatagram(std::span(batch.buffers[i].data(), batch.received[i].size), batch.names[i]);
        if (batch.read[i].kind == DatagramKind::Query)
            names[named++] = batch.read[i].query.exactName;
    }
    PrefetchResolutions(loop.engine.Table(), std::span(names.data(), named));
}

// In arrival order; a stop datagram ends the service before the datagrams behind it.
void AnswerBatch(Loop& loop) {
    ReadBatch(loop);
    const Clock::time_point now = Clock::now();
    for (std::size_t i = 0; i < loop.batch.count && loop.running; ++i) {
        const ReceivedDatagram& received = loop.batch.received[i];
        if (received.truncated) {
            ++loop.engine.Counters().oversize; // never answered from the first part of a longer datagram
        } else if (received.size == 0) {
            TakeStop(loop, received);
        } else {
            const ReplyRoute route{
                received.sender.address, received.sender.port,
                ChooseReplySource(loop.addresses.Machine(), received.destination, received.interfaceAddress)};
            loop.engine.TakeDatagram(loop.batch.read[i], route, now, loop.out);
            HandOn(loop);
        }
    }
}

// Takes the connections and the queries that came on them. A message of length 0 closes its connection; the empty
// datagram's stop is for datagrams alone.
void ServeStreams(Loop& loop) {
    const Clock::time_point now = Clock::now();
    loop.streams.CloseIdle(now);
    loop.streams.Serve(now, [&loop, now](std::span<const std::uint8_t> message, const ReplyRoute& route) {
        const ReadDatagramResult read = ReadDatagram(message, loop.streamNames);
        loop.engine.TakeDatagram(read, route, now, loop.out);
        HandOn(loop);
    });
}

// The batch is answered from the machine's addresses as they are now. Serving every address, the service listens
// for connections on one that came, unless another server holds its port there, and on one that went no more;
// the socket for datagrams receives on every address as it is.
void FollowAddresses(Loop& loop) {
    const AddressChange change = loop.addresses.Follow(Clock::now(), loop.out.console);
    if (!change.Any())
        return;
    loop.engine.SetOwnAddresses(loop.addresses.OwnAddresses());
    if (loop.settings.bindAddress != 0)
        return;
    for (const std::uint32_t address : change.gone)
        loop.streams.StopListening(address);
    for (const std::uint32_t address : change.appeared)
        if (const int error = loop.streams.Listen(address, loop.settings.port); error != 0 && IsPortHeld(error))
            loop.out.console += HeldAddressLine(address, loop.settings.port);
}

// Paces the receives: a short pause while the load is steady, so that batches fill.
struct Pacing {
    bool busy = false;
    Clock::time_point lastBatch = Clock::now(); // when the last batch came
    Clock::duration batchGap{};                 // since the batch before it
    int batchCount = 0;                         // datagrams in it; signed, so that the pause may come out below zero

    void PauseIfBusy() const {
        if (!busy)
            return;
        const auto pause = batchGap * GatherCount / batchCount - (Clock::now() - lastBatch);
        if (pause >= ShortestPause)
            std::this_thread::sleep_for(std::min<Clock::duration>(pause, GatherPause));
    }
    void Came(std::size_t count, Clock::time_point waitStart) {
        const auto came = Clock::now();
        busy = count > 0 && count < BatchSize && came - waitStart < BusyGap;
        batchGap = came - lastBatch;
        batchCount = static_cast<int>(count);
        lastBatch = came;
    }
};

// Takes the datagrams waiting; when none is, waits for one, a wake-up, or the next query's deadline.
ReceiveResult ReceiveBatch(Loop& loop) {
    const WakeHandle wakes[] = {loop.service.wake, loop.settings.resolverPool->wake, loop.streams.Wake()};
    Batch& batch = loop.batch;
    ReceiveResult got = ReceiveDatagrams(loop.socket, wakes, batch.buffers, batch.received, NoWait);
    if (got.count == 0 && got.error == 0) {
        // Nothing came: the thread waits now, and no line may wait with it.
        loop.console.HandOn();
        std::chrono::milliseconds wait = WaitForever;
        if (const auto deadline = EarlierOf(EarlierOf(loop.engine.NextDeadline(), loop.streams.NextDeadline()),
                                            loop.addresses.NextDeadline()))
            wait = std::max(std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now()) +
                                std::chrono::milliseconds(1),
                            std::chrono::milliseconds(0));
        got = ReceiveDatagrams(loop.socket, wakes, batch.buffers, batch.received, wait);
    }
    batch.count = got.count;
    return got;
}

void Serve(Loop& loop) {
    int failures = 0;
    Pacing pacing;
    while (loop.running && !loop.service.stopRequested) {
        pacing.PauseIfBusy();
        const auto waitStart = Clock::now();
        const ReceiveResult got = ReceiveBatch(loop);
        pacing.Came(got.count, waitStart);
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
        FollowAddresses(loop);
        AnswerBatch(loop);
        ServeStreams(loop);
        TakeResults(loop);
        if (loop.service.statisticsRequested.exchange(false))
            loop.out.console +=
                StatisticsLine(loop.engine.Counters(), ResolutionCount(loop.engine.Table()),
                               std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - loop.started).count());
        // Every batch may be followed by a wait: nothing is left unsent behind it.
        SendReplies(loop);
    }
}

} // namespace

void RunServiceLoop(DnsService* service, ServiceSettings settings, ServiceSocket set) {
    // On the heap: its batch buffers are too large for a thread stack to carry comfortably.
    const auto loop = std::make_unique<Loop>(*service, settings, set);
    StartSaver(loop->saver, service->wake);
    // Without the system's notices the addresses of the start stay, as before they were followed.
    [[maybe_unused]] const int watchError = loop->addresses.Watch(service->wake, Clock::now());
    std::vector<SocketAddress> upstreams;
    for (const std::uint32_t address : set.upstreams)
        upstreams.push_back({address, NetworkPort(53)});
    // Without its thread every query passed on fails at once, and the rest is served as ever.
    [[maybe_unused]] const int relayError = loop->relay.Open(std::move(upstreams), service->wake);
    Serve(*loop);
    loop->relay.Close();
    loop->console.HandOn();
    CloseResolverPool(*settings.resolverPool);
    StopSaver(loop->saver);
    SendReplies(*loop);
    loop->streams.Close();
    CloseSocket(loop->socket);
    // The service's last lines are out before anyone is told that it ended.
    loop->console.Close();
    if (!service->stopRequested && settings.onEnded != nullptr)
        settings.onEnded();
}
