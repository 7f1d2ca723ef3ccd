#include "dns/negative_answers.h"

void NegativeAnswers::Remember(const std::string& name, Clock::time_point until) {
    while (until_.size() >= MostNames && !order_.empty()) {
        const auto found = until_.find(order_.front().second);
        if (found != until_.end() && found->second == order_.front().first)
            until_.erase(found);
        order_.pop_front();
    }
    until_[name] = until;
    order_.emplace_back(until, name);
}

bool NegativeAnswers::Knows(const std::string& name, Clock::time_point now) {
    // Those past their time go first, so that the order stays as small as what is remembered.
    while (!order_.empty() && order_.front().first <= now) {
        const auto found = until_.find(order_.front().second);
        if (found != until_.end() && found->second == order_.front().first)
            until_.erase(found);
        order_.pop_front();
    }
    const auto found = until_.find(name);
    return found != until_.end() && found->second > now;
}

void NegativeAnswers::Clear() {
    until_.clear();
    order_.clear();
}
