#include "console/entry_editor.h"

#include "common/host_name.h"
#include "common/messages.h"
#include "common/process_state.h"
#include "console/banner.h"
#include "platform/console.h"
#include "platform/network.h"
#include "resolutions/resolution_file.h"
#include "resolutions/resolution_table.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <memory>
#include <thread>

namespace {

using CommandLine = std::array<char, 256>;

enum class LineRead { Line, TooLong, End };

// Reads one line without its newline. A line longer than the buffer is consumed whole and refused.
LineRead ReadCommandLine(std::FILE* input, CommandLine& line) {
    if (std::fgets(line.data(), static_cast<int>(line.size()), input) == nullptr)
        return LineRead::End;
    const std::size_t length = std::strlen(line.data());
    if (length > 0 && line[length - 1] == '\n') {
        line[length - 1] = '\0';
        return LineRead::Line;
    }
    int next = std::getc(input);
    if (next == '\n' || next == EOF)
        return LineRead::Line; // exactly as long as the buffer allows, or the last line of the input
    while (next != '\n' && next != EOF)
        next = std::getc(input);
    return LineRead::TooLong;
}

// The name and the value of an A or F line, split at spaces only; empty when missing. The value is the whole
// rest of the line, spaces included.
struct CommandFields {
    std::string_view name;
    std::string_view value;
};

CommandFields SplitCommandLine(std::string_view line) {
    std::size_t i = line.find(' ');
    if (i == std::string_view::npos)
        return {};
    const auto skipSpaces = [&] {
        while (i < line.size() && line[i] == ' ')
            ++i;
    };
    skipSpaces();
    const std::size_t nameStart = i;
    i = std::min(line.find(' ', nameStart), line.size());
    CommandFields fields{line.substr(nameStart, i - nameStart), {}};
    skipSpaces();
    fields.value = line.substr(i);
    return fields;
}

AddressText AddressTextOf(std::uint32_t address) {
    if (address == 0)
        return {"Local"};
    return DottedAddress(address);
}

// What the list shows after an entry's name: the target of a forward entry, else its address text.
HostName ShownValue(const ResolutionEntry& entry) {
    if (entry.kind == ForwardKind)
        return entry.target;
    HostName shown{};
    CopyHostName(shown, AddressTextOf(entry.address).data());
    return shown;
}

void SaveChange() {
    if (const int error = SaveResolutionFile(*Resolutions, ResolutionFileName.data()); error != 0)
        PrintSaveError(ResolutionFileName.data(), error);
}

// A and F: an address entry whose address is the value (0 without one), or a forward entry to the value.
void AddEntry(std::string_view line, bool forward) {
    const CommandFields fields = SplitCommandLine(line);
    if (fields.name.empty() || (forward && fields.value.empty())) {
        std::puts("> Data missing from command");
        return;
    }
    auto entry = std::make_unique<ResolutionEntry>();
    CopyHostName(entry->name, fields.name);
    if (forward) {
        entry->kind = ForwardKind;
        CopyHostName(entry->target, fields.value);
    } else if (!fields.value.empty()) {
        // The value runs to the end of the line, so it is zero-terminated where it stands.
        entry->address = ParseAddress(fields.value.data());
    }
    const ResolutionEntry* added = AppendResolution(*Resolutions, std::move(entry));
    std::printf("> Entry [%s -> %s] added\n", added->name.data(), ShownValue(*added).data());
    SaveChange();
}

void DeleteEntry(std::string_view line) {
    const std::optional<int> number = ReadEntryNumber(line);
    if (!number) {
        std::puts("> Entry number error");
        return;
    }
    // Negative numbers are huge as unsigned values, so they do not exist either.
    if (static_cast<unsigned>(*number) >= Resolutions->entries.size()) {
        std::printf("> Entry %d does not exist\n", *number);
        return;
    }
    const ResolutionEntry* entry = Resolutions->entries[static_cast<unsigned>(*number)].get();
    std::printf("> Entry [%s] [%s] deleted\n", entry->name.data(), AddressTextOf(entry->address).data());
    const std::unique_ptr<ResolutionEntry> removed = RemoveResolution(*Resolutions, entry);
    SaveChange();
}

void DrawScreen() {
    if (StandardOutputIsTerminal()) {
        // Cursor positions cannot be trusted once the screen has scrolled: draw the whole screen anew.
        ClearConsole();
        PrintBanner();
        MoveConsoleCursor(ConsoleHomePosition.column, ConsoleHomePosition.row);
    }
    std::puts("> Entry Editor\n");
    PrintEntryList();
    std::fputs("\n> ", stdout);
    std::fflush(stdout);
}

} // namespace

std::optional<int> ReadEntryNumber(std::string_view line) {
    if (line.size() < 3)
        return std::nullopt;
    std::size_t i = 2;
    while (i < line.size() && std::strchr(" \t\n\v\f\r", line[i]) != nullptr)
        ++i;
    bool negative = false;
    if (i < line.size() && (line[i] == '+' || line[i] == '-'))
        negative = line[i++] == '-';
    if (i >= line.size() || line[i] < '0' || line[i] > '9')
        return std::nullopt;
    long long value = 0;
    for (; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i)
        value = std::min(value * 10 + (line[i] - '0'), static_cast<long long>(INT_MAX) + 1);
    value = negative ? -value : value;
    return static_cast<int>(std::clamp<long long>(value, INT_MIN, INT_MAX));
}

void PrintEntryList() {
    const auto& entries = Resolutions->entries;
    if (entries.empty()) {
        std::puts("> > No entries");
        return;
    }
    for (std::size_t number = 0; number < entries.size(); ++number) {
        const ResolutionEntry& entry = *entries[number];
        std::printf("> > %zu : %s : %s\n", number, entry.name.data(), ShownValue(entry).data());
    }
}

void RunEntryEditor(const EditorSettings& settings) {
    CommandLine line{};
    for (;;) {
        std::this_thread::sleep_for(settings.pause);
        DrawScreen();
        const LineRead read = ReadCommandLine(settings.input, line);
        if (read == LineRead::End)
            return;
        const std::string_view text = read == LineRead::Line ? std::string_view(line.data()) : std::string_view();
        switch (text.empty() ? '\0' : text[0]) {
        case 'A':
        case 'a':
            AddEntry(text, false);
            break;
        case 'F':
        case 'f':
            AddEntry(text, true);
            break;
        case 'D':
        case 'd':
            DeleteEntry(text);
            break;
        case 'E':
        case 'e':
            return;
        default:
            std::puts("> Unknown command");
        }
        std::fflush(stdout);
    }
}
