#include "console/entry_editor.h"

#include "common/host_name.h"
#include "common/ipv4.h"
#include "common/messages.h"
#include "console/startup_report.h"
#include "platform/console.h"
#include "platform/network.h"
#include "resolutions/resolution_file.h"
#include "resolutions/resolution_table.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <climits>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace {

using CommandLine = std::array<char, 256>;

enum class LineRead { Line, Refused, End };

// Reads one line without its newline, whatever bytes it holds. A line longer than the buffer, or one holding a
// NUL byte, is consumed whole and refused.
LineRead ReadCommandLine(std::FILE* input, CommandLine& line) {
    std::size_t length = 0;
    bool any = false;
    bool refused = false;
    for (int next = std::getc(input); next != EOF; next = std::getc(input)) {
        any = true;
        if (next == '\n')
            break;
        refused = refused || next == '\0' || length == line.size() - 1;
        if (length < line.size() - 1)
            line[length++] = static_cast<char>(next);
    }
    line[length] = '\0';
    if (!any)
        return LineRead::End;
    return refused ? LineRead::Refused : LineRead::Line;
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
void AppendShownValue(std::string& out, const ResolutionEntry& entry, bool terminal) {
    if (entry.kind == ForwardKind)
        AppendConsoleText(out, entry.target, terminal);
    else
        out += AddressTextOf(entry.address).data();
}

// Under the file's lock, before a change: a file that someone else changed since the editor last read or wrote
// it is read, and its table replaces the editor's, so that their change and ours both stay; a file that holds no
// whole table is kept beside it. False, with the line that says why, when the change must not be saved.
bool TakeChangedFile(const EditorSettings& settings, FileIdentity& known, std::string& lines) {
    const char* fileName = settings.fileName.c_str();
    const FileStatus status = IdentifyFile(fileName);
    if (status.error != 0) {
        lines += SaveErrorLine(fileName, ErrorText(status.error));
        return false;
    }
    if (status.missing || status.identity == known)
        return true;
    ResolutionFileLoad load = LoadResolutionFile(fileName);
    if (load.error != 0) {
        lines += SaveErrorLine(fileName, ErrorText(load.error));
        return false;
    }
    if (load.whole) {
        settings.table = std::move(*load.table);
        known = load.identity;
        return true;
    }
    if (load.missing)
        return true;
    const KeptFile kept = KeepDamagedResolutionFile(fileName, load.bytes);
    if (kept.error != 0) {
        lines += SaveErrorLine(fileName, ErrorText(kept.error));
        return false;
    }
    if (!kept.name.empty())
        lines += KeptDamagedLine(fileName, kept.name);
    return true;
}

// One change as a read-modify-write of the file, under its lock: `change` is made to the table the file holds
// and returns the change's message; the lines it printed are written once the lock is released. A change that
// cannot be saved is made to the editor's table all the same, and the next one saves it.
void ChangeAndSave(const EditorSettings& settings, FileIdentity& known, const std::function<std::string()>& change) {
    const char* fileName = settings.fileName.c_str();
    const FileLockResult lock = LockResolutionFile(fileName);
    std::string lines;
    if (lock.error != 0)
        lines = SaveErrorLine(fileName, ErrorText(lock.error));
    const bool save = lock.error == 0 && TakeChangedFile(settings, known, lines);
    std::string report = change();
    if (save) {
        FileIdentity written;
        if (const int error = SaveResolutionFile(settings.table, fileName, &written); error != 0)
            lines += SaveErrorLine(fileName, ErrorText(error));
        else
            known = written;
    }
    UnlockFile(lock.lock);
    WriteConsole(report + lines);
}

// A and F: an address entry whose address is the value (0 without one), or a forward entry to the value.
void AddEntry(const EditorSettings& settings, FileIdentity& known, std::string_view line, bool forward) {
    const CommandFields fields = SplitCommandLine(line);
    if (fields.name.empty() || (forward && fields.value.empty())) {
        WriteConsole("> Data missing from command\n");
        return;
    }
    ResolutionEntry entry{fields.name, {}, 0, 0};
    if (forward) {
        entry.kind = ForwardKind;
        entry.target = fields.value;
    } else if (!fields.value.empty()) {
        entry.address = ParseAddress(std::string(fields.value).c_str());
    }
    ChangeAndSave(settings, known, [&] {
        const ResolutionEntry added = ResolutionAt(settings.table, AppendResolution(settings.table, entry));
        std::string report = "> Entry [";
        AppendConsoleText(report, added.name, settings.terminal);
        report += " -> ";
        AppendShownValue(report, added, settings.terminal);
        report += "] added\n";
        return report;
    });
}

// The number of a D command, read as "%d" reads it from the line's third character on; numbers beyond the
// range of int are clamped to it.
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

void DeleteEntry(const EditorSettings& settings, FileIdentity& known, std::string_view line) {
    const std::optional<int> number = ReadEntryNumber(line);
    if (!number) {
        WriteConsole("> Entry number error\n");
        return;
    }
    // Negative numbers are huge as unsigned values, so they do not exist either.
    if (static_cast<unsigned>(*number) >= ResolutionCount(settings.table)) {
        WriteConsole("> Entry " + std::to_string(*number) + " does not exist\n");
        return;
    }
    // The number is the one the user saw; the table may be the file's by the time it is deleted, so the entry
    // is found again by what it is.
    const ResolutionEntry shown = ResolutionAt(settings.table, static_cast<unsigned>(*number));
    const std::string name(shown.name), target(shown.target);
    const std::uint32_t kind = shown.kind, address = shown.address;
    std::string report = "> Entry [";
    AppendConsoleText(report, name, settings.terminal);
    report += "] [";
    report += AddressTextOf(address).data();
    report += "] deleted\n";
    ChangeAndSave(settings, known, [&] {
        for (std::size_t i = 0; i < ResolutionCount(settings.table); ++i) {
            const ResolutionEntry entry = ResolutionAt(settings.table, i);
            if (entry.name == name && entry.kind == kind &&
                (kind == ForwardKind ? entry.target == target : entry.address == address)) {
                RemoveResolution(settings.table, i);
                break;
            }
        }
        return report;
    });
}

void DrawScreen(const EditorSettings& settings) {
    if (settings.terminal) {
        // Cursor positions cannot be trusted once the screen has scrolled: draw the whole screen anew.
        ClearConsole();
        PrintBanner();
        MoveConsoleCursor(0, settings.homeRow);
    }
    WriteConsole("> Entry Editor\n\n");
    PrintEntryList(settings.table, settings.terminal);
    WriteConsole("\n> ");
}

} // namespace

void PrintEntryList(const ResolutionTable& table, bool terminal) {
    const std::size_t count = ResolutionCount(table);
    if (count == 0) {
        WriteConsole("> > No entries\n");
        return;
    }
    // One write for the whole list: a million entries are listed in well under a second.
    std::string list;
    list.reserve(count * 40);
    for (std::size_t number = 0; number < count; ++number) {
        const ResolutionEntry entry = ResolutionAt(table, number);
        char digits[24];
        const auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
        list += "> > ";
        list.append(digits, end);
        list += " : ";
        AppendConsoleText(list, entry.name, terminal);
        list += " : ";
        AppendShownValue(list, entry, terminal);
        list += '\n';
    }
    WriteConsole(list);
}

void RunEntryEditor(const EditorSettings& settings) {
    CommandLine line{};
    FileIdentity known = settings.loaded;
    for (;;) {
        std::this_thread::sleep_for(settings.pause);
        DrawScreen(settings);
        const LineRead read = ReadCommandLine(settings.input, line);
        if (read == LineRead::End)
            return;
        const std::string_view text = read == LineRead::Line ? std::string_view(line.data()) : std::string_view();
        switch (text.empty() ? '\0' : text[0]) {
        case 'A':
        case 'a':
            AddEntry(settings, known, text, false);
            break;
        case 'F':
        case 'f':
            AddEntry(settings, known, text, true);
            break;
        case 'D':
        case 'd':
            DeleteEntry(settings, known, text);
            break;
        case 'E':
        case 'e':
            return;
        default:
            WriteConsole("> Unknown command\n");
        }
    }
}
