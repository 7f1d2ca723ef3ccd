#include "dns/ticket_ledger.h"

std::uint64_t TicketLedger::Issue(std::string name) {
    unsettled_.emplace_back(++last_, std::move(name));
    return last_;
}

std::vector<std::string> TicketLedger::Settle(std::uint64_t upTo) {
    std::vector<std::string> settled;
    while (!unsettled_.empty() && unsettled_.front().first <= upTo) {
        settled.push_back(std::move(unsettled_.front().second));
        unsettled_.pop_front();
    }
    return settled;
}
