#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

// Console lines on their way from the answering thread to a writer thread that may fall behind: a console held by
// a selection or the Pause key, a terminal stopped with Ctrl+S, a slow disk under the log. The answering thread
// never waits. Once `bound` bytes wait, further query lines ("> CLIENT: ...") are dropped and counted; every other
// line (errors, warnings, statistics, reloads, the stop) is kept whatever waits, and the count is told in one line
// before the next line that finds room. The mutex guards nothing outside the backlog.
class ConsoleBacklog {
public:
    explicit ConsoleBacklog(std::size_t bound) : bound(bound) {}

    // Adds whole lines, each ending in '\n'; from the answering thread.
    void Add(std::string_view lines);

    // Waits for lines and moves them all into `text` (emptied first). False once closed with nothing left.
    bool Take(std::string& text);

    // Ends the backlog: Take hands on what is left, then returns false.
    void Close();

private:
    void AppendDropped();

    std::mutex mutex;
    std::condition_variable ready;
    std::string waiting;
    std::uint64_t dropped = 0;
    bool closed = false;
    const std::size_t bound;
};
