#include "resolutions/resolution_table.h"

#include <algorithm>

ResolutionEntry* AppendResolution(ResolutionTable& table, std::unique_ptr<ResolutionEntry> entry) {
    ResolutionEntry* const appended = entry.get();
    table.entries.push_back(std::move(entry));
    // An earlier entry of the same name stays the one that is found.
    table.firstByName.try_emplace(HostNameText(appended->name), appended);
    return appended;
}

std::unique_ptr<ResolutionEntry> RemoveResolution(ResolutionTable& table, const ResolutionEntry* entry) {
    auto& entries = table.entries;
    const auto slot =
        std::find_if(entries.begin(), entries.end(), [entry](const auto& held) { return held.get() == entry; });
    if (slot == entries.end())
        return nullptr;

    const std::string_view name = HostNameText(entry->name);
    const auto indexed = table.firstByName.find(name);
    if (indexed != table.firstByName.end() && indexed->second == entry) {
        // The next entry of the same name, if any, is found from now on. It can only stand behind this one.
        auto node = table.firstByName.extract(indexed);
        const auto next = std::find_if(std::next(slot), entries.end(),
                                       [name](const auto& held) { return HostNameText(held->name) == name; });
        if (next != entries.end()) {
            node.key() = HostNameText((*next)->name);
            node.mapped() = next->get();
            table.firstByName.insert(std::move(node));
        }
    }

    std::unique_ptr<ResolutionEntry> removed = std::move(*slot);
    entries.erase(slot);
    return removed;
}

ResolutionEntry* FindResolution(const ResolutionTable& table, std::string_view name) {
    const auto found = table.firstByName.find(name);
    return found == table.firstByName.end() ? nullptr : found->second;
}
