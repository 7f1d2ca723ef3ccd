#include "dns/query_line_limit.h"

#include "common/ipv4.h"

#include <algorithm>

namespace {

// "8,412": thousands separated by commas.
std::string GroupedNumber(std::uint32_t number) {
    std::string digits = std::to_string(number);
    for (std::size_t at = digits.size(); at > 3; at -= 3)
        digits.insert(at - 3, 1, ',');
    return digits;
}

} // namespace

void QueryLineLimit::Tell(std::size_t place, std::string& console) {
    Client& client = clients_[place];
    console += "> ";
    console += DottedAddress(client.address).data();
    console += ": " + GroupedNumber(client.notShown) + " more queries not shown\n";
    client.notShown = 0;
}

bool QueryLineLimit::Admit(std::uint32_t address, Clock::time_point now, std::string& console) {
    AppendDue(now, console);
    // Fibonacci hashing: the top bits of the product depend on every bit of the address.
    static_assert(Sets == 1024);
    const std::size_t set = static_cast<std::size_t>((address * 0x9E3779B1u) >> 22) * Ways;
    std::size_t place = set;
    for (std::size_t way = set; way < set + Ways; ++way) {
        const Client& candidate = clients_[way];
        if (candidate.used && candidate.address == address) {
            place = way;
            break;
        }
        if (!candidate.used || (clients_[place].used && candidate.began < clients_[place].began))
            place = way;
    }
    Client& client = clients_[place];
    if (!client.used || client.address != address || now - client.began >= Second) {
        if (client.notShown != 0) { // a client whose place is taken before its second is over
            Tell(place, console);
            held_.erase(std::find(held_.begin(), held_.end(), place));
        }
        client = {address, true, 0, 0, now};
    }
    if (client.shown < MostLinesPerSecond) {
        ++client.shown;
        return true;
    }
    if (client.notShown++ == 0) {
        if (held_.empty() || client.began + Second < nextDue_)
            nextDue_ = client.began + Second;
        held_.push_back(place);
    }
    return false;
}

void QueryLineLimit::AppendDue(Clock::time_point now, std::string& console) {
    if (held_.empty() || now < nextDue_)
        return;
    std::optional<Clock::time_point> next;
    std::erase_if(held_, [&](std::size_t place) {
        const Clock::time_point due = clients_[place].began + Second;
        if (due <= now) {
            Tell(place, console);
            return true;
        }
        next = std::min(next.value_or(due), due);
        return false;
    });
    nextDue_ = next.value_or(Clock::time_point());
}

std::optional<QueryLineLimit::Clock::time_point> QueryLineLimit::NextDue() const {
    if (held_.empty())
        return std::nullopt;
    return nextDue_;
}
