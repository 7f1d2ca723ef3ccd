#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

inline constexpr std::uint32_t ForwardKind = 1;

// One resolution. A forward entry (kind 1) answers with what the system resolver gives for its target; every
// other kind is an address entry, answered with its address, where 0 stands for the server's own address. The
// texts view bytes owned elsewhere: the caller's when an entry goes in, the table's when one comes out (valid
// until the table next changes).
struct ResolutionEntry {
    std::string_view name;
    std::string_view target;
    std::uint32_t kind = 0;
    std::uint32_t address = 0;
};

// A name learned from the resolver, as it goes into the table and the file: an address entry of its own.
struct LearnedName {
    std::string name;
    std::uint32_t address = 0;
};

// The entries in table order, compact: a million entries take tens of megabytes, not the 512 bytes each that
// two fixed name fields would. Change it only through AppendResolution and RemoveResolution, which keep the
// name index in step.
struct ResolutionTable {
    // Each entry one record, back to back: its kind and its address (four bytes each, the address unused for a
    // forward entry), the lengths of its name and its target (a byte each), then the name and the target. A find
    // reads an index slot and one record: two waits on memory where a name kept apart from its entry makes three.
    std::vector<char> records;
    std::vector<std::uint32_t> entries; // where each entry's record starts, in table order
    // Open addressing with linear probing, a power of two at most half full: for each name, 1 + where the record
    // of the first entry in table order with that name starts; 0 marks an empty slot.
    std::vector<std::uint32_t> index;
};

inline std::size_t ResolutionCount(const ResolutionTable& table) { return table.entries.size(); }

// The entry with the number, which must be below the count.
ResolutionEntry ResolutionAt(const ResolutionTable& table, std::size_t number);

// Makes room for the entries and text bytes to come, so that a load allocates once.
void ReserveResolutions(ResolutionTable& table, std::size_t entries, std::size_t textBytes);

// Copies the entry last into the table, names cut to 255 bytes. Returns its number.
std::size_t AppendResolution(ResolutionTable& table, const ResolutionEntry& entry);

// The same for many entries, in their order: the name index is filled with its waits on memory overlapped, several
// times faster in a table far larger than the cache.
void AppendResolutions(ResolutionTable& table, std::span<const ResolutionEntry> entries);

// Takes the entry with the number out; those behind it move up by one. False when there is no such entry.
bool RemoveResolution(ResolutionTable& table, std::size_t number);

// The first entry in table order whose name equals the given name, ASCII letters in either case.
std::optional<ResolutionEntry> FindResolution(const ResolutionTable& table, std::string_view name);

// The name as finds compare it: ASCII capitals made small, every other byte as it is.
std::string LowerCaseName(std::string_view name);

// Reads nothing into the result: brings into the cache what finding the names will read. In a table far larger
// than the cache each find waits for memory three times in turn (the index slot, the entry, its name); asked for a
// batch of names stage by stage, those waits overlap, and the finds that follow find it all at hand.
void PrefetchResolutions(const ResolutionTable& table, std::span<const std::string_view> names);
