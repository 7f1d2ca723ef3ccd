#pragma once

// Within the Windows platform files: a service's console lines, written to its log by a thread of its own, each
// line behind the local date and time, the log rolled over to FILE.1 once it would pass LogRollSize.

#include <cstdint>
#include <string>
#include <string_view>

inline constexpr std::uint64_t LogRollSize = 10 * 1024 * 1024;

// Appends the text to `out` with the stamp in front of every line that begins in it; `atLineStart` carries over
// from one piece of text to the next, since a line may come in two.
void StampLines(std::string_view text, std::string_view stamp, bool& atLineStart, std::string& out);

struct LogStart {
    void* writing = nullptr; // the pipe's writing end, the caller's to close
    int error = 0;           // the platform's code of the failure
};

// Opens the log (made when missing) and starts the thread that writes to its end whatever comes through the pipe.
LogStart StartLogWriter(const char* fileName);

// Once every writing end is closed: waits until the thread has written all of it. Nothing when none started.
void WaitForLogWriter();
