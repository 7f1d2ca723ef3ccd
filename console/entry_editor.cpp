#include "console/entry_editor.h"

#include "common/host_name.h"
#include "common/ipv4.h"
#include "common/messages.h"
#include "console/startup_report.h"
#include "platform/console.h"
#include "platform/network.h"
#include "resolutions/resolution_file_keeper.h"
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

// How long the editor gives a file that another program is still writing to settle, in steps.
constexpr auto SettlePause = std::chrono::milliseconds(250);
constexpr int SettleSteps = 12;

// One change as a read-modify-write of the file: `change` is made to the table the file holds now and returns
// the change's message, which is shown only once the change is saved; a change that cannot be saved is not made,
// and the line says why.
void ChangeAndSave(const EditorSettings& settings, ResolutionFileKeeper& keeper,
                   const std::function<std::string(ResolutionTable&)>& change) {
    const char* fileName = settings.fileName.c_str();
    std::string report;
    KeeperOutcome outcome;
    for (int step = 0;; ++step) {
        outcome = keeper.ApplyChange(
            settings.table, [&](ResolutionTable& table) { report = change(table); },
            ResolutionFileKeeper::Clock::now());
        if (outcome.result != KeeperOutcome::Result::Held || outcome.error != 0 || step == SettleSteps)
            break;
        std::this_thread::sleep_for(SettlePause);
    }
    std::string lines;
    if (!outcome.keptAs.empty())
        lines += KeptDamagedLine(fileName, outcome.keptAs);
    if (outcome.result == KeeperOutcome::Result::Done) {
        WriteConsole(report + lines);
        return;
    }
    const std::string why = outcome.error != 0 ? ErrorText(outcome.error) : "another program is still writing it";
    WriteConsole(lines + SaveErrorLine(fileName, why + "; nothing was changed"));
}

// A and F: an address entry whose address is the value (0 without one), or a forward entry to the value.
void AddEntry(const EditorSettings& settings, ResolutionFileKeeper& keeper, std::string_view line, bool forward) {
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
    ChangeAndSave(settings, keeper, [&](ResolutionTable& table) {
        const ResolutionEntry added = ResolutionAt(table, AppendResolution(table, entry));
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

bool SameEntry(const ResolutionEntry& a, const ResolutionEntry& b) {
    return a.name == b.name && a.kind == b.kind &&
           (a.kind == ForwardKind ? a.target == b.target : a.address == b.address);
}

void DeleteEntry(const EditorSettings& settings, ResolutionFileKeeper& keeper, std::string_view line) {
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
    // The entry the user saw is deleted, not another of the same name: among entries alike in every field it is
    // the same one by its place among them, also in the table the file holds by the time it is deleted.
    const ResolutionEntry shown = ResolutionAt(settings.table, static_cast<unsigned>(*number));
    const std::string name(shown.name), target(shown.target);
    const ResolutionEntry chosen{name, target, shown.kind, shown.address};
    std::size_t alikeBefore = 0;
    for (std::size_t i = 0; i < static_cast<unsigned>(*number); ++i)
        alikeBefore += SameEntry(ResolutionAt(settings.table, i), chosen) ? 1 : 0;
    std::string report = "> Entry [";
    AppendConsoleText(report, name, settings.terminal);
    report += "] [";
    report += AddressTextOf(chosen.address).data();
    report += "] deleted\n";
    ChangeAndSave(settings, keeper, [&](ResolutionTable& table) {
        std::optional<std::size_t> last;
        std::size_t alike = 0;
        for (std::size_t i = 0; i < ResolutionCount(table); ++i)
            if (SameEntry(ResolutionAt(table, i), chosen)) {
                last = i;
                if (alike++ == alikeBefore)
                    break;
            }
        if (last)
            RemoveResolution(table, *last);
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
    // Written a megabyte at a time from one buffer: a million entries are listed in a tenth of a second, with no
    // forty megabytes of text to hold and fault in first.
    constexpr std::size_t Chunk = 1024 * 1024;
    std::string list;
    list.reserve(Chunk + 1024);
    for (std::size_t number = 0; number < count; ++number) {
        const ResolutionEntry entry = ResolutionAt(table, number);
        char digits[24];
        const auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
        list.append("> > ", 4);
        list.append(digits, end);
        list.append(" : ", 3);
        AppendConsoleText(list, entry.name, terminal);
        list.append(" : ", 3);
        AppendShownValue(list, entry, terminal);
        list += '\n';
        if (list.size() >= Chunk) {
            WriteConsole(list);
            list.clear();
        }
    }
    if (!list.empty())
        WriteConsole(list);
}

void RunEntryEditor(const EditorSettings& settings) {
    CommandLine line{};
    // A person waits at the prompt: a lock held elsewhere gets a moment, not the service's half second.
    ResolutionFileKeeper keeper(settings.fileName, settings.loaded, {.lockWait = std::chrono::milliseconds(2000)});
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
            AddEntry(settings, keeper, text, false);
            break;
        case 'F':
        case 'f':
            AddEntry(settings, keeper, text, true);
            break;
        case 'D':
        case 'd':
            DeleteEntry(settings, keeper, text);
            break;
        case 'E':
        case 'e':
            return;
        default:
            WriteConsole("> Unknown command\n");
        }
    }
}
