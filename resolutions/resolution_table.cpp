#include "resolutions/resolution_table.h"

#include "common/host_name.h"
#include "platform/prefetch.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

constexpr std::uint64_t EachByte(std::uint8_t value) { return 0x0101010101010101ull * value; }

// The eight bytes with ASCII capitals made small, all at once; other bytes, those of 0x80 and above too, stay.
std::uint64_t LowerCase(std::uint64_t chunk) {
    const std::uint64_t low = chunk & EachByte(0x7F);
    const std::uint64_t fromA = low + EachByte(0x80 - 'A'); // high bit set where the byte is 'A' or above
    const std::uint64_t pastZ = low + EachByte(0x7F - 'Z'); // high bit set where it is above 'Z'
    const std::uint64_t capitals = (fromA ^ pastZ) & ~chunk & EachByte(0x80);
    return chunk | (capitals >> 2);
}

// Up to eight bytes of the name from `offset`, zero-filled, in small letters.
std::uint64_t ChunkAt(std::string_view name, std::size_t offset) {
    std::uint64_t chunk = 0;
    std::memcpy(&chunk, name.data() + offset, std::min<std::size_t>(8, name.size() - offset));
    return LowerCase(chunk);
}

// DNS names compare without regard to ASCII letter case, so the hash and the comparison ignore it too.
std::uint64_t HashName(std::string_view name) {
    std::uint64_t hash = name.size() * 0x9E3779B97F4A7C15ull;
    std::size_t i = 0;
    for (; i + 8 <= name.size(); i += 8) {
        hash = (hash ^ ChunkAt(name, i)) * 0xBF58476D1CE4E5B9ull;
        hash ^= hash >> 31;
    }
    if (i < name.size())
        hash ^= ChunkAt(name, i);
    hash *= 0x94D049BB133111EBull;
    return hash ^ (hash >> 29);
}

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); i += 8)
        if (ChunkAt(a, i) != ChunkAt(b, i))
            return false;
    return true;
}

constexpr std::size_t RecordHeader = 10; // kind, address, name length, target length

std::uint32_t WordAt(const char* bytes) {
    std::uint32_t word;
    std::memcpy(&word, bytes, sizeof word);
    return word;
}

std::string_view NameAt(const ResolutionTable& table, std::uint32_t record) {
    const char* bytes = table.records.data() + record;
    return {bytes + RecordHeader, static_cast<std::uint8_t>(bytes[8])};
}

ResolutionEntry EntryAt(const ResolutionTable& table, std::uint32_t record) {
    const char* bytes = table.records.data() + record;
    ResolutionEntry entry{NameAt(table, record), {}, WordAt(bytes), 0};
    if (entry.kind == ForwardKind)
        entry.target = {entry.name.data() + entry.name.size(), static_cast<std::uint8_t>(bytes[9])};
    else
        entry.address = WordAt(bytes + 4);
    return entry;
}

// The slot that holds the name, or the empty slot where it would go, from the name's hash.
std::size_t SlotFor(const ResolutionTable& table, std::string_view name, std::uint64_t hash) {
    const std::size_t mask = table.index.size() - 1;
    for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
        const std::uint32_t held = table.index[slot];
        if (held == 0 || SameName(NameAt(table, held - 1), name))
            return slot;
    }
}

std::size_t SlotFor(const ResolutionTable& table, std::string_view name) {
    return SlotFor(table, name, HashName(name));
}

// Indexes the entries with the numbers from `first` on, in table order, keeping the first entry of a name. One by
// one, each would wait for memory twice in a table far larger than the cache (its slot, and the record a taken
// slot points at); here the slot of the entry Ahead places on and the record behind the slot of the entry Ahead / 2
// places on are fetched while the entry at hand is placed, so that the waits overlap.
void IndexEntries(ResolutionTable& table, std::size_t first) {
    constexpr std::size_t Ahead = 16;
    const std::size_t mask = table.index.size() - 1;
    const std::size_t end = table.entries.size();
    std::array<std::uint64_t, 2 * Ahead> hashes{}; // those of the entries from i - Ahead to i
    for (std::size_t i = first; i < end + Ahead; ++i) {
        if (i < end) {
            hashes[i % hashes.size()] = HashName(NameAt(table, table.entries[i]));
            Prefetch(&table.index[hashes[i % hashes.size()] & mask]);
        }
        if (const std::size_t middle = i - Ahead / 2; i >= first + Ahead / 2 && middle < end)
            if (const std::uint32_t held = table.index[hashes[middle % hashes.size()] & mask]; held != 0)
                Prefetch(table.records.data() + held - 1 + RecordHeader);
        if (i < first + Ahead)
            continue;
        const std::size_t number = i - Ahead;
        const std::uint32_t record = table.entries[number];
        const std::size_t slot = SlotFor(table, NameAt(table, record), hashes[number % hashes.size()]);
        if (table.index[slot] == 0)
            table.index[slot] = record + 1;
    }
}

void RebuildIndex(ResolutionTable& table, std::size_t entries) {
    std::size_t size = 16;
    while (size < 2 * entries)
        size *= 2;
    table.index.assign(size, 0);
    IndexEntries(table, 0);
}

void AppendBytes(std::vector<char>& records, const void* bytes, std::size_t size) {
    records.insert(records.end(), static_cast<const char*>(bytes), static_cast<const char*>(bytes) + size);
}

} // namespace

ResolutionEntry ResolutionAt(const ResolutionTable& table, std::size_t number) {
    return EntryAt(table, table.entries[number]);
}

void ReserveResolutions(ResolutionTable& table, std::size_t entries, std::size_t textBytes) {
    table.entries.reserve(table.entries.size() + entries);
    table.records.reserve(table.records.size() + entries * RecordHeader + textBytes);
    if (table.index.size() < 2 * (table.entries.size() + entries))
        RebuildIndex(table, table.entries.size() + entries);
}

namespace {

// The entry's record behind the last, not indexed yet.
void AppendRecord(ResolutionTable& table, const ResolutionEntry& entry) {
    const std::string_view name = entry.name.substr(0, MaxHostNameLength);
    const std::string_view target =
        entry.kind == ForwardKind ? entry.target.substr(0, MaxHostNameLength) : std::string_view();
    const std::uint32_t address = entry.kind == ForwardKind ? 0 : entry.address;
    const char lengths[2] = {static_cast<char>(name.size()), static_cast<char>(target.size())};
    table.entries.push_back(static_cast<std::uint32_t>(table.records.size()));
    AppendBytes(table.records, &entry.kind, 4);
    AppendBytes(table.records, &address, 4);
    AppendBytes(table.records, lengths, 2);
    AppendBytes(table.records, name.data(), name.size());
    AppendBytes(table.records, target.data(), target.size());
}

// Indexes the entries appended from `first` on, or builds the index anew when it would be over half full.
void IndexAppended(ResolutionTable& table, std::size_t first) {
    if (table.index.size() < 2 * table.entries.size())
        RebuildIndex(table, table.entries.size());
    else
        IndexEntries(table, first);
}

} // namespace

std::size_t AppendResolution(ResolutionTable& table, const ResolutionEntry& entry) {
    const std::size_t number = table.entries.size();
    AppendRecord(table, entry);
    IndexAppended(table, number);
    return number;
}

void AppendResolutions(ResolutionTable& table, std::span<const ResolutionEntry> entries) {
    const std::size_t first = table.entries.size();
    for (const ResolutionEntry& entry : entries)
        AppendRecord(table, entry);
    IndexAppended(table, first);
}

bool RemoveResolution(ResolutionTable& table, std::size_t number) {
    if (number >= table.entries.size())
        return false;
    // The entry's record stays behind unused; removal is the editor's, and rare. The first entry of its name may
    // now be a later one, so the index is built anew.
    table.entries.erase(table.entries.begin() + static_cast<std::ptrdiff_t>(number));
    RebuildIndex(table, table.entries.size());
    return true;
}

std::optional<ResolutionEntry> FindResolution(const ResolutionTable& table, std::string_view name) {
    if (table.index.empty())
        return std::nullopt;
    const std::uint32_t held = table.index[SlotFor(table, name)];
    if (held == 0)
        return std::nullopt;
    return EntryAt(table, held - 1);
}

void PrefetchResolutions(const ResolutionTable& table, std::span<const std::string_view> names) {
    if (table.index.empty())
        return;
    const std::size_t mask = table.index.size() - 1;
    constexpr std::size_t Stage = 32;
    std::array<std::uint32_t, Stage> slots;
    for (std::size_t first = 0; first < names.size(); first += Stage) {
        const std::size_t count = std::min(Stage, names.size() - first);
        for (std::size_t i = 0; i < count; ++i) {
            slots[i] = static_cast<std::uint32_t>(HashName(names[first + i]) & mask);
            Prefetch(&table.index[slots[i]]);
        }
        // Only the first slot probed: at most half full, the index mostly holds a name in its first. A record
        // may cross into a second cache line; the name that matches ends where the asked name would.
        for (std::size_t i = 0; i < count; ++i)
            if (const std::uint32_t held = table.index[slots[i]]; held != 0) {
                const std::size_t record = held - 1;
                Prefetch(table.records.data() + record);
                Prefetch(table.records.data() +
                         std::min(record + RecordHeader + names[first + i].size(), table.records.size() - 1));
            }
    }
}

std::string LowerCaseName(std::string_view name) {
    std::string lower(name);
    for (std::size_t i = 0; i < lower.size(); i += 8) {
        const std::uint64_t chunk = ChunkAt(name, i);
        std::memcpy(lower.data() + i, &chunk, std::min<std::size_t>(8, lower.size() - i));
    }
    return lower;
}
