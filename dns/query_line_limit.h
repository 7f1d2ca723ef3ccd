#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Holds each client to MostLinesPerSecond query lines a second; the rest are counted and told in one line per
// client once its second is over, "> 192.0.2.7: 8,412 more queries not shown". One looping client (a TV asking
// one name 29,000 times) would otherwise fill the journal and keep journald busy. Clients are remembered in a
// fixed number of places, so that a flood from many sources takes no more memory: one that finds no place takes
// that of the client whose second began first, whose count is told at once.
class QueryLineLimit {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::uint32_t MostLinesPerSecond = 20;
    static constexpr auto Second = std::chrono::seconds(1);
    // 4,096 clients at once, four to a set of places, so that two clients whose addresses share a set do not take
    // each other's place at every query.
    static constexpr std::size_t Sets = 1024;
    static constexpr std::size_t Ways = 4;

    QueryLineLimit() : clients_(Sets * Ways) {}

    // Whether the client's query line may be written. One that may not is counted for the client's next
    // "more queries not shown" line. Lines that are due by now are appended to `console` first.
    bool Admit(std::uint32_t client, Clock::time_point now, std::string& console);

    // Appends the "more queries not shown" line of each client whose second is over, in the order they began to
    // be held back.
    void AppendDue(Clock::time_point now, std::string& console);

    // When AppendDue next has a line to write; none while no client's line is held back.
    std::optional<Clock::time_point> NextDue() const;

private:
    struct Client {
        std::uint32_t address = 0; // network byte order
        bool used = false;
        std::uint32_t shown = 0;    // lines written in its second
        std::uint32_t notShown = 0; // queries since without a line
        Clock::time_point began;    // its second's
    };

    void Tell(std::size_t place, std::string& console);

    std::vector<Client> clients_;   // Sets places of Ways each
    std::vector<std::size_t> held_; // places of clients with queries not shown, in the order the first came
    Clock::time_point nextDue_;     // of the first of them to be told; held_ empty: none
};
