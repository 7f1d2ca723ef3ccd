#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <unordered_map>

// The resolver's threads for names the table lacks, shared among the clients that ask for them. A client's names
// wait in its own line; whenever a thread is free, the client holding the fewest threads goes next, and among
// those the one whose last lookup started longest ago, so a client that has just come is served before one that
// has kept the threads busy. No client holds more than MostThreadsPerClient, so others always find a thread free
// soon, however slow one client's names are to look up.
class ClientTurns {
public:
    static constexpr std::size_t MostNamesPerClient = 16;

    // `threads`: how many lookups may be under way at once; `mostNames`: how many names may wait in all.
    ClientTurns(std::size_t threads, std::size_t mostNames);

    struct Queued {
        bool queued = false;
        // The name that gave its place to this one: the newest of the client with the most names waiting, when
        // every place was taken and that client has more than this one.
        std::optional<std::string> displaced;
    };
    Queued Queue(std::uint32_t client, std::string name);

    struct Turn {
        std::uint32_t client = 0;
        std::string name;
    };
    // The next name to look up, now that its thread counts as held; none while no thread is free for anyone.
    std::optional<Turn> Next();

    // A lookup that Next handed out has come back: its thread is free.
    void Ended(std::uint32_t client);

    std::size_t UnderWay() const { return underWay_; }
    std::size_t MostThreadsPerClient() const { return mostPerClient_; }

private:
    struct Client {
        std::deque<std::string> names;
        std::size_t held = 0;
        std::uint64_t lastStart = 0; // 0: none started yet
    };
    using Rank = std::tuple<std::size_t, std::uint64_t, std::uint32_t>; // held, last start, client

    static Rank RankOf(std::uint32_t address, const Client& client) { return {client.held, client.lastStart, address}; }
    // Takes the client out of the ready order while `change` runs, and back in if it still has names.
    template <typename Change> void Update(std::uint32_t address, Change change);

    const std::size_t threads_;
    const std::size_t mostNames_;
    const std::size_t mostPerClient_;
    std::unordered_map<std::uint32_t, Client> clients_; // those with names waiting or threads held
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
