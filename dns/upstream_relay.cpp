#include "dns/upstream_relay.h"

#include "dns/query_answer.h"
#include "dns/tcp_exchange.h"
#include "platform/connected_socket.h"
#include "platform/random.h"
#include "resolutions/resolution_table.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

namespace {

using Clock = std::chrono::steady_clock;
using MessageId = std::array<std::uint8_t, 2>;

// The longest UDP datagram over IPv4: an answer may be as long as the client's EDNS buffer size lets it be.
constexpr std::size_t LargestDatagram = 65535;
// Datagrams taken from one socket a round, so that a server sending without end cannot hold up the others.
constexpr std::size_t MostReceivesPerRound = 8;
// After a failed wait: a lasting failure must not spin a core.
constexpr std::chrono::milliseconds FailedWaitPause{10};
// The header's TC bit, in its third byte (RFC 1035 §4.1.1).
constexpr std::uint8_t TruncatedFlag = 0x02;
// The attempt index that stands for a query's TCP exchange in the wait's list.
constexpr std::size_t OverTcp = SIZE_MAX;

// One server asked: the socket connected to it, and the ID the query went to it with.
struct Attempt {
    SocketHandle socket; // closed once its server refused
    MessageId id{};
    SocketAddress server;
};

// A query in flight on the relay's thread.
struct Relayed {
    RelayRequest request; // its query holds the ID of the latest attempt, or of the TCP exchange
    MessageId clientId{};
    std::size_t questionEnd = 0; // the header and the question, read once
    // The servers asked, in order; a server passed over may still answer, so their sockets stay open.
    std::vector<Attempt> attempts;
    std::size_t asked = 0; // servers tried, also those that could not be asked
    Clock::time_point nextServerAt;
    Clock::time_point giveUpAt;
    // Once a server's answer came truncated: the same question asked of it over TCP, with an ID of its own, and
    // that answer as the client would get it, handed back should the exchange fail.
    TcpExchange tcp;
    MessageId tcpId{};
    std::vector<std::uint8_t> truncated;
    bool done = false;
};

// What the relay's thread owns and reaches.
struct RelayWork {
    std::span<const SocketAddress> servers;
    RelayTimes times;
    WakeHandle relayWake;
    WakeHandle answerWake;
    BoundedQueue<RelayResult>& results;
    std::vector<Relayed> relayed;
    std::vector<SocketWait> sockets;                         // the open ones, for the wait
    std::vector<std::pair<std::size_t, std::size_t>> owners; // the query and attempt (or OverTcp) of each
    std::vector<std::size_t> ready;
    std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(LargestDatagram);
};

std::string_view Text(std::span<const std::uint8_t> bytes, std::size_t from, std::size_t to) {
    return {reinterpret_cast<const char*>(bytes.data()) + from, to - from};
}

// Whether the datagram answers the query as it was sent: a response with the attempt's ID and one question, the
// one asked, its name in any letter case (RFC 1035 §2.3.3). Anything else may be forged and is dropped (RFC 5452
// §9.1); the connected socket has matched the server's address and port already.
bool AnswersQuery(std::span<const std::uint8_t> answer, MessageId id, const Relayed& relayed) {
    const std::span<const std::uint8_t> query = relayed.request.query;
    const std::size_t questionEnd = relayed.questionEnd;
    if (answer.size() < questionEnd)
        return false;
    const std::size_t nameEnd = questionEnd - 4; // the type and class follow the name
    // Length bytes are below every letter: folding the name in wire form folds its letters alone.
    return answer[0] == id[0] && answer[1] == id[1] && (answer[2] & 0x80) != 0 && answer[4] == 0 && answer[5] == 1 &&
           Text(answer, nameEnd, questionEnd) == Text(query, nameEnd, questionEnd) &&
           LowerCaseName(Text(answer, QueryNameOffset, nameEnd)) ==
               LowerCaseName(Text(query, QueryNameOffset, nameEnd));
}

// The answer as the client gets it: its own ID, and its question as it wrote it, which the server may have echoed
// in other letter case (a resolver that varies the case checks it); every other byte as it came.
std::vector<std::uint8_t> ClientAnswer(std::span<const std::uint8_t> answer, const Relayed& relayed) {
    std::vector<std::uint8_t> out(answer.begin(), answer.end());
    std::copy(relayed.clientId.begin(), relayed.clientId.end(), out.begin());
    const std::vector<std::uint8_t>& query = relayed.request.query;
    std::copy(query.begin() + QueryNameOffset, query.begin() + static_cast<std::ptrdiff_t>(relayed.questionEnd),
              out.begin() + QueryNameOffset);
    return out;
}

// Ends the query: its answer, or an empty one for a failure, to the answering thread.
void Finish(RelayWork& work, Relayed& relayed, std::vector<std::uint8_t> answer) {
    for (Attempt& attempt : relayed.attempts) {
        CloseSocket(attempt.socket);
        attempt.socket = {};
    }
    relayed.tcp.Close();
    relayed.done = true;
    if (work.results.Push({relayed.request.route, relayed.request.serial, std::move(answer)}))
        SignalWake(work.answerWake);
}

bool HasOpenAttempt(const Relayed& relayed) {
    return std::any_of(relayed.attempts.begin(), relayed.attempts.end(),
                       [](const Attempt& attempt) { return attempt.socket.value >= 0; });
}

// Asks the next server that can be asked. With none left the query waits for those asked, or fails when none of
// them can answer any more.
void AskNextServer(RelayWork& work, Relayed& relayed, Clock::time_point now) {
    if (relayed.tcp.UnderWay())
        return; // a server has the answer, which is on its way over TCP
    while (relayed.asked < work.servers.size()) {
        const SocketAddress server = work.servers[relayed.asked++];
        // An ID nobody can foretell, from a socket of its own on a random port (RFC 5452 §9.2).
        Attempt attempt;
        if (!FillRandom(attempt.id))
            continue;
        const SocketResult created = CreateConnectedUdpSocket(server, work.relayWake);
        if (created.error != 0)
            continue;
        std::copy(attempt.id.begin(), attempt.id.end(), relayed.request.query.begin());
        if (SendConnected(created.handle, relayed.request.query) != 0) {
            CloseSocket(created.handle);
            continue;
        }
        attempt.socket = created.handle;
        attempt.server = server;
        relayed.attempts.push_back(attempt);
        relayed.nextServerAt = std::min(now + work.times.nextServer, relayed.giveUpAt);
        return;
    }
    relayed.nextServerAt = relayed.giveUpAt;
    if (!HasOpenAttempt(relayed))
        Finish(work, relayed, {});
}

void Start(RelayWork& work, RelayRequest request, Clock::time_point now) {
    QueryNames names;
    const ReadDatagramResult read = ReadDatagram(request.query, names);
    Relayed& relayed = work.relayed.emplace_back();
    relayed.giveUpAt = now + work.times.giveUp;
    if (read.kind == DatagramKind::Query) {
        relayed.questionEnd = QueryNameOffset + read.query.questionLength;
        relayed.clientId = {request.query[0], request.query[1]};
    }
    relayed.request = std::move(request);
    if (relayed.questionEnd == 0)
        Finish(work, relayed, {}); // no query the relay can match an answer to
    else
        AskNextServer(work, relayed, now);
}

// Asks the next server for each query whose servers have been silent too long, and fails those past their time.
void AdvanceDue(RelayWork& work, Clock::time_point now) {
    for (Relayed& relayed : work.relayed) {
        if (relayed.done)
            continue;
        if (now >= relayed.giveUpAt)
            Finish(work, relayed, {});
        else if (now >= relayed.nextServerAt)
            AskNextServer(work, relayed, now);
    }
}

// The open sockets, and how long the wait may last: until the next server is due somewhere.
std::chrono::milliseconds PrepareWait(RelayWork& work, Clock::time_point now) {
    work.sockets.clear();
    work.owners.clear();
    std::optional<Clock::time_point> next;
    for (std::size_t i = 0; i < work.relayed.size(); ++i) {
        const Relayed& relayed = work.relayed[i];
        for (std::size_t j = 0; j < relayed.attempts.size(); ++j) {
            if (relayed.attempts[j].socket.value < 0)
                continue;
            work.sockets.push_back({relayed.attempts[j].socket});
            work.owners.emplace_back(i, j);
        }
        if (relayed.tcp.UnderWay()) {
            work.sockets.push_back(relayed.tcp.Wait());
            work.owners.emplace_back(i, OverTcp);
        }
        next = std::min(next.value_or(relayed.nextServerAt), relayed.nextServerAt);
    }
    if (!next)
        return WaitForever;
    // Rounded up, so that the wait never ends just before the time and spins.
    return std::max(std::chrono::ceil<std::chrono::milliseconds>(*next - now), std::chrono::milliseconds(0));
}

// Asks the server whose answer came truncated again over TCP (RFC 7766 §5, RFC 1035 §4.2.2), without asking
// others. Beyond MostTcpExchanges, or when the connection cannot begin, the truncated answer ends the query: it
// tells the client to ask over TCP itself (RFC 2181 §9).
void AskOverTcp(RelayWork& work, Relayed& relayed, SocketAddress server, std::span<const std::uint8_t> answer) {
    if (relayed.tcp.UnderWay())
        return; // one exchange a query: the first truncated answer's
    std::vector<std::uint8_t> truncated = ClientAnswer(answer, relayed);
    const auto underWay = std::count_if(work.relayed.begin(), work.relayed.end(),
                                        [](const Relayed& other) { return other.tcp.UnderWay(); });
    if (static_cast<std::size_t>(underWay) >= MostTcpExchanges || !FillRandom(relayed.tcpId)) {
        Finish(work, relayed, std::move(truncated));
        return;
    }
    std::copy(relayed.tcpId.begin(), relayed.tcpId.end(), relayed.request.query.begin());
    if (relayed.tcp.Start(server, relayed.request.query, work.relayWake) != 0) {
        Finish(work, relayed, std::move(truncated));
        return;
    }
    relayed.truncated = std::move(truncated);
    relayed.nextServerAt = relayed.giveUpAt;
}

// Moves the TCP exchange on: a whole answer that matches the query ends it, as over UDP; a failure, or an answer
// that does not match, hands back the truncated one.
void AdvanceTcp(RelayWork& work, Relayed& relayed) {
    const TcpExchange::Progress progress = relayed.tcp.Advance();
    if (progress == TcpExchange::Progress::Waiting)
        return;
    if (progress == TcpExchange::Progress::Answered && AnswersQuery(relayed.tcp.Answer(), relayed.tcpId, relayed))
        Finish(work, relayed, ClientAnswer(relayed.tcp.Answer(), relayed));
    else
        Finish(work, relayed, std::move(relayed.truncated));
}

// Takes what a server sent: its answer ends the query, or, truncated, is asked again over TCP. A failure (nobody
// listens on the server's port) closes the attempt and asks the next server at once.
void ReceiveAnswers(RelayWork& work, Relayed& relayed, std::size_t attemptIndex, Clock::time_point now) {
    for (std::size_t i = 0; i < MostReceivesPerRound && !relayed.done; ++i) {
        Attempt& attempt = relayed.attempts[attemptIndex];
        const ConnectedReceive got = ReceiveConnected(attempt.socket, work.buffer);
        if (got.error != 0) {
            CloseSocket(attempt.socket);
            attempt.socket = {};
            AskNextServer(work, relayed, now);
            return;
        }
        if (!got.received)
            return;
        const std::span<const std::uint8_t> answer(work.buffer.data(), got.size);
        if (got.truncated || !AnswersQuery(answer, attempt.id, relayed))
            continue;
        if ((answer[2] & TruncatedFlag) != 0)
            AskOverTcp(work, relayed, attempt.server, answer);
        else
            Finish(work, relayed, ClientAnswer(answer, relayed));
    }
}

} // namespace

void UpstreamRelay::Run() {
    RelayWork work{servers_, times_, relayWake_, answerWake_, results_, {}, {}, {}, {}};
    std::vector<RelayRequest> incoming;
    while (!closing_) {
        Clock::time_point now = Clock::now();
        requests_.TakeAll(incoming);
        for (RelayRequest& request : incoming)
            Start(work, std::move(request), now);
        incoming.clear();
        AdvanceDue(work, now);
        std::erase_if(work.relayed, [](const Relayed& relayed) { return relayed.done; });
        const std::chrono::milliseconds wait = PrepareWait(work, now);
        if (WaitForSockets(work.sockets, relayWake_, wait, work.ready) != 0)
            std::this_thread::sleep_for(FailedWaitPause);
        now = Clock::now();
        for (const std::size_t index : work.ready) {
            const auto [query, attempt] = work.owners[index];
            Relayed& relayed = work.relayed[query];
            if (relayed.done)
                continue;
            if (attempt == OverTcp)
                AdvanceTcp(work, relayed);
            else if (relayed.attempts[attempt].socket.value >= 0)
                ReceiveAnswers(work, relayed, attempt, now);
        }
    }
    for (Relayed& relayed : work.relayed)
        for (const Attempt& attempt : relayed.attempts)
            CloseSocket(attempt.socket);
}

int UpstreamRelay::Open(std::vector<SocketAddress> servers, WakeHandle wake, RelayTimes times) {
    if (thread_.joinable())
        return 0;
    const WakeResult created = CreateWake();
    if (created.error != 0)
        return created.error;
    servers_ = std::move(servers);
    times_ = times;
    answerWake_ = wake;
    relayWake_ = created.handle;
    thread_ = std::thread(&UpstreamRelay::Run, this);
    return 0;
}

bool UpstreamRelay::Queue(RelayRequest request) {
    if (!thread_.joinable() || inFlight_ >= MostRelayedQueries || !requests_.Push(std::move(request)))
        return false;
    ++inFlight_;
    SignalWake(relayWake_);
    return true;
}

void UpstreamRelay::TakeResults(std::vector<RelayResult>& out) {
    const std::size_t before = out.size();
    results_.TakeAll(out);
    inFlight_ -= out.size() - before;
}

void UpstreamRelay::Close() {
    if (!thread_.joinable())
        return;
    closing_ = true;
    SignalWake(relayWake_);
    thread_.join();
    closing_ = false;
    CloseWake(relayWake_);
    relayWake_ = {};
    std::vector<RelayRequest> dropped;
    requests_.TakeAll(dropped);
    std::vector<RelayResult> unanswered;
    results_.TakeAll(unanswered);
    inFlight_ = 0;
}
