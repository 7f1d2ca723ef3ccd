#include "resolutions/resolution_table.h"

#include "common/host_name.h"

#include <algorithm>
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

std::string_view NameOf(const ResolutionTable& table, const ResolutionTable::StoredEntry& stored) {
    return {table.text.data() + stored.nameOffset, stored.nameLength};
}

// The slot that holds the name, or the empty slot where it would go.
std::size_t SlotFor(const ResolutionTable& table, std::string_view name) {
    const std::size_t mask = table.index.size() - 1;
    for (std::size_t slot = HashName(name) & mask;; slot = (slot + 1) & mask) {
        const std::uint32_t held = table.index[slot];
        if (held == 0 || SameName(NameOf(table, table.entries[held - 1]), name))
            return slot;
    }
}

// Keeps the first entry of a name: a later one of the same name is never indexed.
void IndexEntry(ResolutionTable& table, std::size_t number) {
    const std::size_t slot = SlotFor(table, NameOf(table, table.entries[number]));
    if (table.index[slot] == 0)
        table.index[slot] = static_cast<std::uint32_t>(number + 1);
}

void RebuildIndex(ResolutionTable& table, std::size_t entries) {
    std::size_t size = 16;
    while (size < 2 * entries)
        size *= 2;
    table.index.assign(size, 0);
    for (std::size_t number = 0; number < table.entries.size(); ++number)
        IndexEntry(table, number);
}

std::uint32_t StoreText(ResolutionTable& table, std::string_view text) {
    const auto offset = static_cast<std::uint32_t>(table.text.size());
    table.text.insert(table.text.end(), text.begin(), text.end());
    return offset;
}

} // namespace

ResolutionEntry ResolutionAt(const ResolutionTable& table, std::size_t number) {
    const ResolutionTable::StoredEntry& stored = table.entries[number];
    ResolutionEntry entry{NameOf(table, stored), {}, stored.kind, 0};
    if (stored.kind == ForwardKind)
        entry.target = {table.text.data() + stored.value, stored.targetLength};
    else
        entry.address = stored.value;
    return entry;
}

void ReserveResolutions(ResolutionTable& table, std::size_t entries, std::size_t textBytes) {
    table.entries.reserve(table.entries.size() + entries);
    table.text.reserve(table.text.size() + textBytes);
    if (table.index.size() < 2 * (table.entries.size() + entries))
        RebuildIndex(table, table.entries.size() + entries);
}

std::size_t AppendResolution(ResolutionTable& table, const ResolutionEntry& entry) {
    const std::string_view name = entry.name.substr(0, MaxHostNameLength);
    ResolutionTable::StoredEntry stored;
    stored.kind = entry.kind;
    stored.nameLength = static_cast<std::uint8_t>(name.size());
    stored.nameOffset = StoreText(table, name);
    if (entry.kind == ForwardKind) {
        const std::string_view target = entry.target.substr(0, MaxHostNameLength);
        stored.targetLength = static_cast<std::uint8_t>(target.size());
        stored.value = StoreText(table, target);
    } else {
        stored.value = entry.address;
    }
    const std::size_t number = table.entries.size();
    table.entries.push_back(stored);
    if (table.index.size() < 2 * table.entries.size())
        RebuildIndex(table, table.entries.size());
    else
        IndexEntry(table, number);
    return number;
}

bool RemoveResolution(ResolutionTable& table, std::size_t number) {
    if (number >= table.entries.size())
        return false;
    // The entry's text stays behind unused; removal is the editor's, and rare. Every number behind it changes,
    // so the index is built anew.
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
    return ResolutionAt(table, held - 1);
}
