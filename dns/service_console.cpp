#include "dns/service_console.h"

#include "platform/console.h"

#include <cstdio>

ServiceConsole::ServiceConsole()
    : writer_([this] {
          std::string text;
          while (backlog_.Take(text))
              WriteConsole(text);
      }) {}

void ServiceConsole::Take(std::string& lines, Clock::time_point now) {
    if (lines.empty())
        return;
    if (gathered_.empty())
        since_ = now;
    gathered_ += lines;
    lines.clear();
    if (gathered_.size() >= GatherSize || now - since_ >= Delay)
        HandOn();
}

void ServiceConsole::HandOn() {
    if (gathered_.empty())
        return;
    backlog_.Add(gathered_);
    gathered_.clear();
}

void ServiceConsole::Close() {
    if (!writer_.joinable())
        return;
    HandOn();
    backlog_.Close();
    writer_.join();
    std::fflush(stdout);
}
