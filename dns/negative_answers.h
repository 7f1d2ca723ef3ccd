#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <string>
#include <unordered_map>
#include <utility>

// Names the resolver said do not exist, each for as long as the answer says so to clients: a repeat, such as each
// client's search-list candidate asked again, is answered at once instead of costing a lookup (RFC 2308 §5). At
// most MostNames; the oldest gives way.
class NegativeAnswers {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t MostNames = 4096;

    // The name in lower case.
    void Remember(const std::string& name, Clock::time_point until);
    bool Knows(const std::string& name, Clock::time_point now);
    // Forgets everything: the table changed, and may hold some of the names now.
    void Clear();

private:
    std::unordered_map<std::string, Clock::time_point> until_;
    std::deque<std::pair<Clock::time_point, std::string>> order_; // as remembered; a name again has two
};
