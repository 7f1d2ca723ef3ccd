#include "common/console_backlog.h"

namespace {

// A query's line begins with the client's dotted address; every other line of the service with a word.
bool IsQueryLine(std::string_view line) { return line.size() > 2 && line[2] >= '0' && line[2] <= '9'; }

} // namespace

void ConsoleBacklog::AppendDropped() {
    if (dropped == 0)
        return;
    waiting += "> Query lines not shown while the console did not keep up: " + std::to_string(dropped) + "\n";
    dropped = 0;
}

void ConsoleBacklog::Add(std::string_view lines) {
    {
        const std::lock_guard lock(mutex);
        while (!lines.empty()) {
            const std::size_t end = lines.find('\n');
            const std::string_view line = lines.substr(0, end == std::string_view::npos ? lines.size() : end + 1);
            lines.remove_prefix(line.size());
            if (IsQueryLine(line) && waiting.size() + line.size() > bound) {
                ++dropped;
                continue;
            }
            AppendDropped();
            waiting += line;
        }
    }
    ready.notify_one();
}

bool ConsoleBacklog::Take(std::string& text) {
    text.clear();
    std::unique_lock lock(mutex);
    ready.wait(lock, [this] { return closed || !waiting.empty(); });
    if (closed)
        AppendDropped();
    if (waiting.empty())
        return false;
    text.swap(waiting);
    return true;
}

void ConsoleBacklog::Close() {
    {
        const std::lock_guard lock(mutex);
        closed = true;
    }
    ready.notify_all();
}
