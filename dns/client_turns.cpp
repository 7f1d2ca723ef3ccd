#include "dns/client_turns.h"

#include <algorithm>

ClientTurns::ClientTurns(std::size_t threads, std::size_t mostNames)
    : threads_(threads), mostNames_(mostNames), mostPerClient_(std::max<std::size_t>(1, threads * 3 / 4)) {}

template <typename Change> void ClientTurns::Update(std::uint32_t address, Change change) {
    Client& client = clients_[address];
    if (!client.names.empty())
        ready_.erase(RankOf(address, client));
    change(client);
    if (!client.names.empty())
        ready_.insert(RankOf(address, client));
    else if (client.held == 0)
        clients_.erase(address);
}

ClientTurns::Queued ClientTurns::Queue(std::uint32_t client, std::string name) {
    const auto found = clients_.find(client);
    const std::size_t own = found == clients_.end() ? 0 : found->second.names.size();
    if (own >= MostNamesPerClient)
        return {};
    Queued queued{true, std::nullopt};
    if (waiting_ >= mostNames_) {
        // Full: the client with the most names waiting makes room, when it has more than this one would.
        const auto heaviest = std::max_element(clients_.begin(), clients_.end(), [](const auto& a, const auto& b) {
            return a.second.names.size() < b.second.names.size();
        });
        if (heaviest == clients_.end() || heaviest->second.names.size() <= own + 1)
            return {};
        Update(heaviest->first, [&](Client& loser) {
            queued.displaced = std::move(loser.names.back());
            loser.names.pop_back();
        });
        --waiting_;
    }
    Update(client, [&](Client& asker) { asker.names.push_back(std::move(name)); });
    ++waiting_;
    return queued;
}

std::optional<ClientTurns::Turn> ClientTurns::Next() {
    if (underWay_ >= threads_ || ready_.empty())
        return std::nullopt;
    const auto [held, lastStart, address] = *ready_.begin();
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

void ClientTurns::Ended(std::uint32_t address) {
    const auto found = clients_.find(address);
    if (found == clients_.end() || found->second.held == 0)
        return;
    Update(address, [](Client& client) { --client.held; });
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
    if (heaviest == counts_.end() || heaviest->second <= own + 1)
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
