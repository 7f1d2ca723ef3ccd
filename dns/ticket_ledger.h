#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

// Learned names on their way to the file, each with its ticket, in the order they were learned. The saver settles
// them by ticket, in that order: a name's clients are answered once it is on disk, or kept for a later write.
class TicketLedger {
public:
    // The ticket of the name's write.
    std::uint64_t Issue(std::string name);

    // The names up to the ticket, in ticket order; they are off the ledger now.
    std::vector<std::string> Settle(std::uint64_t upTo);

    // The names not settled yet, in ticket order.
    const std::deque<std::pair<std::uint64_t, std::string>>& Unsettled() const { return unsettled_; }

private:
    std::deque<std::pair<std::uint64_t, std::string>> unsettled_;
    std::uint64_t last_ = 0;
};
