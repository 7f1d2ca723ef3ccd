#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <unordered_map>

// The resolver's threads for names the table lacks, shared among the clients that ask for them. A client's names
// wait in its own line; whenever a thread is free, the client holding the fewest threads goes next, among those
// the one whose lookups have lately been quickest (a client not yet known counts as slow as a lookup may be), and
// then the one whose last lookup started longest ago. So a client whose names are found at once goes before those
// whose names nobody answers, however many of them there are. No client holds more than three quarters of the
// threads, so others find one free soon however slow one client's names are. When every place in the lines is
// taken, the newest name of the client placed last makes room for a client placed before it.
class ClientTurns {
public:
    static constexpr std::size_t MostNamesPerClient = 16;

    // `threads`: how many lookups may be under way at once; `mostNames`: how many names may wait in all;
    // `slowest`: the longest a lookup holds its thread.
    ClientTurns(std::size_t threads, std::size_t mostNames, std::chrono::milliseconds slowest);

    struct Queued {
        bool queued = false;
        std::optional<std::string> displaced; // the name that gave its place to this one
    };
    Queued Queue(std::uint32_t client, std::string name);

    struct Turn {
        std::uint32_t client = 0;
        std::string name;
    };
    // The next name to look up, now that its thread counts as held; none while no thread is free for anyone.
    std::optional<Turn> Next();

    // A lookup that Next handed out has come back after holding its thread so long: the thread is free.
    void Ended(std::uint32_t client, std::chrono::milliseconds took);

    std::size_t UnderWay() const { return underWay_; }
    std::size_t MostThreadsPerClient() const { return mostPerClient_; }

private:
    struct Client {
        std::deque<std::string> names;
        std::size_t held = 0;
        std::chrono::milliseconds cost{0}; // how long its lookups held their threads, the latest weighing most
        std::uint64_t lastStart = 0;       // 0: none started yet
    };
    // Held, cost, last start, client: the best placed first.
    using Rank = std::tuple<std::size_t, std::chrono::milliseconds::rep, std::uint64_t, std::uint32_t>;

    static Rank RankOf(std::uint32_t address, const Client& client) {
        return {client.held, client.cost.count(), client.lastStart, address};
    }
    // Clients known; beyond it those with nothing waiting or held are forgotten.
    static constexpr std::size_t MostRemembered = 4096;

    // Takes the client out of the ready order while `change` runs, and back in if it still has names.
    template <typename Change> void Update(std::uint32_t address, Change change);
    void ForgetIdle();
    Client Unknown() const {
        Client client;
        client.cost = slowest_;
        return client;
    }
    static bool PlacedAfter(const Client& first, const Client& second);

    const std::size_t threads_;
    const std::size_t mostNames_;
    const std::size_t mostPerClient_;
    const std::chrono::milliseconds slowest_;
    std::unordered_map<std::uint32_t, Client> clients_; // those known
    std::set<Rank> ready_;                              // those with names waiting, best first
    std::size_t waiting_ = 0;
    std::size_t underWay_ = 0;
    std::uint64_t starts_ = 0;
};

// The queries that wait for an answer, counted by client, joins of a lookup already under way too: no client
// keeps more than MostPerClient waiting, and when every place is taken, a newcomer's query takes the place of the
// oldest of the client with the most.
class ClientWaits {
public:
    static constexpr std::size_t MostPerClient = 64;

    explicit ClientWaits(std::size_t most) : most_(most) {}

    struct Admission {
        bool admitted = false;
        std::optional<std::uint32_t> evict; // admitted once a query of this client has been taken away
    };
    Admission Admit(std::uint32_t client) const;

    void Add(std::uint32_t client);
    void Remove(std::uint32_t client);
    std::size_t Total() const { return total_; }

private:
    const std::size_t most_;
    std::unordered_map<std::uint32_t, std::size_t> counts_;
    std::size_t total_ = 0;
};
