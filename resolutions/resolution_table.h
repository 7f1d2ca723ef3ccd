#pragma once

#include "common/host_name.h"

#include <cstdint>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <vector>

inline constexpr std::uint32_t ForwardKind = 1;

// One resolution. A forward entry (kind 1) answers with what the system resolver gives for its target; every
// other kind is an address entry, answered with its address, where 0 stands for the server's own address.
struct ResolutionEntry {
    HostName name{};
    HostName target{};
    std::uint32_t kind = 0;
    std::uint32_t address = 0;
};

// The entries in table order. Change it only through AppendResolution and RemoveResolution, which keep the
// name index in step. Entries are held by pointer, so an entry never moves once appended.
struct ResolutionTable {
    std::vector<std::unique_ptr<ResolutionEntry>> entries;
    // For each name, the first entry in table order with that name. Keys view that entry's own name field.
    std::unordered_map<std::string_view, ResolutionEntry*> firstByName;
};

// The one table of the process. Set by start-up before the service or the editor runs; from then on used by
// the one thread that runs either of them.
inline ResolutionTable* Resolutions = nullptr;

// Puts the entry last; the table owns it from then on. Returns the entry, which stays where it is.
ResolutionEntry* AppendResolution(ResolutionTable& table, std::unique_ptr<ResolutionEntry> entry);

// Takes the entry out by identity and hands it back to the caller; the others keep their order. Returns null
// when the entry is not in the table.
std::unique_ptr<ResolutionEntry> RemoveResolution(ResolutionTable& table, const ResolutionEntry* entry);

// The first entry in table order whose name equals the given name byte for byte, or null.
ResolutionEntry* FindResolution(const ResolutionTable& table, std::string_view name);
