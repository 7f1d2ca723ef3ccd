#pragma once

#include "common/console_backlog.h"

#include <chrono>
#include <string>
#include <thread>

// The service's console lines, gathered and handed to a writer thread of their own, which alone waits for the
// console. A write for each batch of queries would be tens of thousands of system calls a second into whatever
// file the console goes to: lines are handed on once they fill GatherSize, once the oldest has waited Delay (under
// steady load the answering thread never waits), and whenever the answering thread may wait.
class ServiceConsole {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t GatherSize = 64 * 1024;
    static constexpr auto Delay = std::chrono::milliseconds(5);
    // What may wait for a console that does not keep up before query lines are dropped: some 20,000 of them.
    static constexpr std::size_t BacklogSize = 1024 * 1024;

    ServiceConsole();
    ServiceConsole(const ServiceConsole&) = delete;
    ServiceConsole& operator=(const ServiceConsole&) = delete;
    ~ServiceConsole() { Close(); }

    // Takes whole lines (and empties `lines`); hands on what is gathered when it is due.
    void Take(std::string& lines, Clock::time_point now);
    // Hands on every line gathered: the answering thread may wait now.
    void HandOn();
    // Hands on the rest and waits until the writer has written it all.
    void Close();

private:
    std::string gathered_;
    Clock::time_point since_; // when the oldest gathered line came
    ConsoleBacklog backlog_{BacklogSize};
    std::thread writer_;
};
