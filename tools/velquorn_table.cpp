// velquorn-table: writes and reads resolution files for scripts (tests, benchmarks, the package's starting
// table), through the same code the server loads and saves them with, so that no script spells the format.
//
//   velquorn-table write FILE   reads entries from standard input, one a line, and replaces FILE with them
//   velquorn-table read FILE    prints "COUNT EXACT", then the entries, one a line
//
// An entry's line is "NAME ADDRESS" (dotted IPv4), "NAME Local" or "NAME -> TARGET" (a forward entry). The
// name is everything before the last field, so it may hold spaces; names and targets are cut to 255 bytes, as
// the server cuts them. EXACT is 1 when the file holds exactly what saving its table would write. Any kind
// other than forward reads as an address entry. Exit codes: 0 done, 1 failed (nothing written), 2 usage.

#include "platform/console.h"
#include "resolutions/resolution_file.h"
#include "resolutions/resolution_table.h"

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr int FailedExitCode = 1;
constexpr int UsageExitCode = 2;
constexpr std::string_view LocalWord = "Local";
constexpr std::string_view ForwardArrow = " ->";

// Our names are UTF-8 on every system; a plain string would be read in Windows' ANSI code page.
std::filesystem::path FilePath(const std::string& fileName) { return std::u8string(fileName.begin(), fileName.end()); }

// Dotted-decimal, four numbers of at most three digits each, nothing else.
std::optional<std::uint32_t> ParseAddress(std::string_view text) {
    std::uint8_t bytes[4];
    const char* next = text.data();
    const char* const end = text.data() + text.size();
    for (int i = 0; i < 4; ++i) {
        if (i > 0) {
            if (next == end || *next != '.')
                return std::nullopt;
            ++next;
        }
        unsigned value = 0;
        const auto [stop, error] = std::from_chars(next, end, value);
        if (error != std::errc() || stop - next > 3 || value > 255)
            return std::nullopt;
        bytes[i] = static_cast<std::uint8_t>(value);
        next = stop;
    }
    if (next != end)
        return std::nullopt;
    std::uint32_t address;
    std::memcpy(&address, bytes, sizeof address);
    return address;
}

// The entry views the line's bytes.
std::optional<ResolutionEntry> ParseLine(std::string_view line) {
    const std::size_t space = line.rfind(' ');
    if (space == std::string_view::npos)
        return std::nullopt;
    ResolutionEntry entry;
    entry.name = line.substr(0, space);
    const std::string_view value = line.substr(space + 1);
    if (entry.name.ends_with(ForwardArrow)) {
        entry.name.remove_suffix(ForwardArrow.size());
        entry.kind = ForwardKind;
        entry.target = value;
    } else if (value == LocalWord) {
        entry.address = 0;
    } else {
        const std::optional<std::uint32_t> address = ParseAddress(value);
        if (!address)
            return std::nullopt;
        entry.address = *address;
    }
    return entry;
}

// Beside the file and renamed over it, so that a reader never sees half a table.
int WriteTable(const std::string& fileName) {
    std::ios::sync_with_stdio(false);
    ResolutionTable table;
    std::string line;
    for (std::size_t number = 1; std::getline(std::cin, line); ++number) {
        const std::optional<ResolutionEntry> entry = ParseLine(line);
        if (!entry) {
            std::fprintf(stderr, "velquorn-table: line %zu is no entry: %s\n", number, line.c_str());
            return FailedExitCode;
        }
        AppendResolution(table, *entry);
    }
    const std::vector<std::uint8_t> bytes = SerializeResolutionTable(table);
    const std::string temporary = fileName + ".new";
    std::ofstream out(FilePath(temporary), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    std::error_code error;
    if (out.fail()) {
        std::filesystem::remove(FilePath(temporary), error);
        std::fprintf(stderr, "velquorn-table: could not write %s\n", temporary.c_str());
        return FailedExitCode;
    }
    std::filesystem::rename(FilePath(temporary), FilePath(fileName), error);
    if (error) {
        std::filesystem::remove(FilePath(temporary), error);
        std::fprintf(stderr, "velquorn-table: could not rename %s to %s\n", temporary.c_str(), fileName.c_str());
        return FailedExitCode;
    }
    return 0;
}

void AppendAddress(std::string& out, std::uint32_t address) {
    if (address == 0) {
        out += LocalWord;
        return;
    }
    std::uint8_t bytes[4];
    std::memcpy(bytes, &address, sizeof bytes);
    for (int i = 0; i < 4; ++i) {
        char digits[4];
        const auto result = std::to_chars(digits, digits + sizeof digits, bytes[i]);
        out.append(digits, result.ptr);
        if (i < 3)
            out += '.';
    }
}

int ReadTable(const std::string& fileName) {
    std::ifstream in(FilePath(fileName), std::ios::binary);
    std::vector<std::uint8_t> bytes;
    if (in) {
        in.seekg(0, std::ios::end);
        const std::streamoff size = in.tellg();
        in.seekg(0, std::ios::beg);
        if (size >= 0) {
            bytes.resize(static_cast<std::size_t>(size));
            in.read(reinterpret_cast<char*>(bytes.data()), size);
        }
    }
    if (!in) {
        std::fprintf(stderr, "velquorn-table: could not read %s\n", fileName.c_str());
        return FailedExitCode;
    }
    const ParsedResolutionFile parsed = ParseResolutionFile(bytes);
    const ResolutionTable& table = *parsed.table;
    std::string out = std::to_string(ResolutionCount(table)) + (parsed.exact ? " 1\n" : " 0\n");
    for (std::size_t number = 0; number < ResolutionCount(table); ++number) {
        const ResolutionEntry entry = ResolutionAt(table, number);
        out += entry.name;
        if (entry.kind == ForwardKind) {
            out += " -> ";
            out += entry.target;
        } else {
            out += ' ';
            AppendAddress(out, entry.address);
        }
        out += '\n';
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : FailedExitCode;
}

} // namespace

int main(int argumentCount, char** argumentBytes) {
    const std::vector<std::string> arguments = ProgramArguments(argumentCount, argumentBytes);
    const std::string_view command = arguments.size() == 3 ? std::string_view(arguments[1]) : "";
    if (command == "write")
        return WriteTable(arguments[2]);
    if (command == "read")
        return ReadTable(arguments[2]);
    std::fputs("usage: velquorn-table write FILE <ENTRIES | velquorn-table read FILE\n", stderr);
    return UsageExitCode;
}
