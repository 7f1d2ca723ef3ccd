#include "dns/client_turns.h"

#include <algorithm>
#include <tuple>

ClientTurns::ClientTurns(std::size_t threads, std::size_t mostNames, std::chrono::milliseconds slowest)
    : threads_(threads), mostNames_(mostNames), mostPerClient_(std::max<std::size_t>(1, threads * 3 / 4)),
      slowest_(slowest) {}

template <typename Change> void ClientTurns::Update(std::uint32_t address, Change change) {
    if (clients_.size() >= MostRemembered && !clients_.contains(address))
        ForgetIdle();
    Client& client = clients_.try_emplace(address, Unknown()).first->second;
    if (!client.names.empty())
        ready_.erase(RankOf(address, client));
    change(client);
    if (!client.names.empty())
        ready_.insert(RankOf(address, client));
}

void ClientTurns::ForgetIdle() {
    std::erase_if(clients_, [](const auto& item) { return item.second.names.empty() && item.second.held == 0; });
}

// Whether the first is placed after the second when every place is taken: holding more threads, then with slower
// lookups, then with more names waiting.
bool ClientTurns::PlacedAfter(const Client& first, const Client& second) {
    return std::tuple(first.held, first.cost, first.names.size()) >
           std::tuple(second.held, second.cost, second.names.size());
}

ClientTurns::Queued ClientTurns::Queue(std::uint32_t client, std::string name) {
    const auto found = clients_.find(client);
    const Client asker = found == clients_.end() ? Unknown() : found->second;
    if (asker.names.size() >= MostNamesPerClient)
        return {};
    Queued queued{true, std::nullopt};
    if (waiting_ >= mostNames_) {
        // Full: the client placed last makes room, when it is placed after this one.
        const auto last = std::max_element(clients_.begin(), clients_.end(), [](const auto& a, const auto& b) {
            return b.second.names.size() > 0 && (a.second.names.empty() || PlacedAfter(b.second, a.second));
        });
        if (last == clients_.end() || last->first == client || last->second.names.empty() ||
            !PlacedAfter(last->second, asker))
            return {};
        Update(last->first, [&](Client& loser) {
            queued.displaced = std::move(loser.names.back());
            loser.names.pop_back();
        });
        --waiting_;
    }
    Update(client, [&](Client& asking) { asking.names.push_back(std::move(name)); });
    ++waiting_;
    return queued;
}

std::optional<ClientTurns::Turn> ClientTurns::Next() {
    if (underWay_ >= threads_ || ready_.empty())
        return std::nullopt;
    const auto [held, used, lastStart, address] = *ready_.begin();
    if (held >= mostPerClient_)
        return std::nullopt; // the best placed holds its most: so does everyone with a name waiting
    Turn turn{address, {}};
    Update(address, [&](Client& client) {
        turn.name = std::move(client.names.front());
        client.names.pop_front();
        ++client.held;
        client.lastStart = ++starts_;
    });
    --waiting_;
    ++underWay_;
    return turn;
}

void ClientTurns::Ended(std::uint32_t address, std::chrono::milliseconds took) {
    const auto found = clients_.find(address);
    if (found == clients_.end() || found->second.held == 0)
        return;
    Update(address, [took](Client& client) {
        --client.held;
        client.cost = (3 * client.cost + took) / 4;
    });
    --underWay_;
}

ClientWaits::Admission ClientWaits::Admit(std::uint32_t client) const {
    const auto found = counts_.find(client);
    const std::size_t own = found == counts_.end() ? 0 : found->second;
    if (own >= MostPerClient)
        return {};
    if (total_ < most_)
        return {true, std::nullopt};
    const auto heaviest = std::max_element(counts_.begin(), counts_.end(),
                                           [](const auto& a, const auto& b) { return a.second < b.second; });
    if (heaviest == counts_.end() || heaviest->second <= own)
        return {};
    return {true, heaviest->first};
}

void ClientWaits::Add(std::uint32_t client) {
    ++counts_[client];
    ++total_;
}

void ClientWaits::Remove(std::uint32_t client) {
    const auto found = counts_.find(client);
    if (found == counts_.end())
        return;
    if (--found->second == 0)
        counts_.erase(found);
    --total_;
}
