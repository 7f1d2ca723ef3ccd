#pragma once

#include "common/bounded_queue.h"
#include "dns/thread_messages.h"
#include "platform/udp_socket.h"
#include "platform/wake.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <thread>
#include <vector>

// Queries passed on at once, from all clients together: waiting, asked, or answered and not yet taken.
inline constexpr std::size_t MostRelayedQueries = 256;

// Queries asked again over TCP at once, from all clients together: beyond them a truncated answer is handed back
// as it came, and its client asks over TCP itself.
inline constexpr std::size_t MostTcpExchanges = 32;

// A server that has not answered in this time is joined by the next; a query no server has answered in time is
// given up: before the engine's own bound of 3 s, so that the client hears of the failure, and well before its
// resolver gives up at 5 s.
struct RelayTimes {
    std::chrono::milliseconds nextServer{1000};
    std::chrono::milliseconds giveUp{2500};
};

// Passes queries on to the machine's DNS servers, on a thread of its own, so that the answering thread never waits
// for them, and hands back only answers that match what was asked, whole: one that comes back truncated is asked
// again over TCP. The answering thread alone calls it.
class UpstreamRelay {
public:
    UpstreamRelay() = default;
    UpstreamRelay(const UpstreamRelay&) = delete;
    UpstreamRelay& operator=(const UpstreamRelay&) = delete;
    ~UpstreamRelay() { Close(); }

    // Starts the thread, unless it runs. The servers are asked in their order; with none, every query fails at
    // once. Every result signals `wake`, which must stay open until the close. Returns 0, or the platform's code of
    // the failure to make the relay's own wake-up.
    [[nodiscard]] int Open(std::vector<SocketAddress> servers, WakeHandle wake, RelayTimes times = {});

    // Takes a query to pass on. False when MostRelayedQueries are in flight or the relay is not open: the query is
    // then the caller's to fail.
    [[nodiscard]] bool Queue(RelayRequest request);

    // Moves the results that came into `out`.
    void TakeResults(std::vector<RelayResult>& out);

    // Ends the thread and closes its sockets; queries in flight get no result. It may be opened again.
    void Close();

private:
    void Run(); // the relay's thread

    BoundedQueue<RelayRequest> requests_{MostRelayedQueries};
    // Never full: no more results can wait than queries are in flight.
    BoundedQueue<RelayResult> results_{MostRelayedQueries};
    std::size_t inFlight_ = 0;           // written by the answering thread alone, in Queue and TakeResults
    std::vector<SocketAddress> servers_; // written by Open, before the thread starts
    RelayTimes times_;                   // likewise
    WakeHandle answerWake_;              // likewise
    WakeHandle relayWake_;               // likewise; ends the relay thread's wait: a request, the close, an answer
    std::atomic<bool> closing_{false};   // written by Close, while the thread runs
    std::thread thread_;
};
