#include "resolutions/resolution_file.h"

#include "platform/files.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// Reads fields from the file's bytes. A field that the bytes cover only in part gets the bytes that are there
// and zeros for the rest, as a short read into a zeroed field would: a cut-off file still loads.
struct FileReader {
    std::span<const std::uint8_t> bytes;
    std::size_t offset = 0;

    std::size_t Left() const { return bytes.size() - offset; }

    std::span<const std::uint8_t> Take(std::size_t count) {
        const std::size_t taken = std::min(count, Left());
        const auto part = bytes.subspan(offset, taken);
        offset += taken;
        return part;
    }

    std::uint32_t LittleEndian(std::size_t size) {
        std::uint32_t value = 0;
        const auto part = Take(size);
        for (std::size_t i = 0; i < part.size(); ++i)
            value |= static_cast<std::uint32_t>(part[i]) << (8 * i);
        return value;
    }

    // Keeps at most 255 bytes of a stored text and skips the rest, so the records behind it stay aligned.
    void Text(HostName& field) {
        const std::size_t length = LittleEndian(2);
        const auto part = Take(length);
        CopyHostName(field, {reinterpret_cast<const char*>(part.data()), part.size()});
    }

    // The address is kept as stored: the first byte of the file is the first byte in memory.
    std::uint32_t Address() {
        std::uint8_t stored[4] = {};
        const auto part = Take(4);
        std::copy(part.begin(), part.end(), stored);
        std::uint32_t address;
        std::memcpy(&address, stored, sizeof address);
        return address;
    }
};

void PutLittleEndian(std::vector<std::uint8_t>& out, std::uint32_t value, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i)
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

void PutText(std::vector<std::uint8_t>& out, const HostName& field) {
    const std::string_view text = HostNameText(field);
    PutLittleEndian(out, static_cast<std::uint32_t>(text.size()), 2);
    out.insert(out.end(), text.begin(), text.end());
}

// The smallest record takes 8 bytes. A count beyond what the bytes could hold is capped there, plus one entry
// for a record that was cut off: a damaged header cannot make us allocate more than the file's size allows.
std::size_t MostEntries(std::size_t bytesAfterHeader) { return bytesAfterHeader / 8 + 1; }

} // namespace

std::unique_ptr<ResolutionTable> ParseResolutionFile(std::span<const std::uint8_t> bytes) {
    auto table = std::make_unique<ResolutionTable>();
    FileReader reader{bytes};
    const std::size_t stored = reader.LittleEndian(4);
    const std::size_t count = std::min(stored, MostEntries(reader.Left()));
    table->entries.reserve(count);
    table->firstByName.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        auto entry = std::make_unique<ResolutionEntry>();
        entry->kind = reader.LittleEndian(4);
        reader.Text(entry->name);
        if (entry->kind == ForwardKind)
            reader.Text(entry->target);
        else
            entry->address = reader.Address();
        AppendResolution(*table, std::move(entry));
    }
    return table;
}

std::vector<std::uint8_t> SerializeResolutionTable(const ResolutionTable& table) {
    std::vector<std::uint8_t> out;
    out.reserve(4 + table.entries.size() * 24);
    PutLittleEndian(out, static_cast<std::uint32_t>(table.entries.size()), 4);
    for (const auto& entry : table.entries) {
        PutLittleEndian(out, entry->kind, 4);
        PutText(out, entry->name);
        if (entry->kind == ForwardKind) {
            PutText(out, entry->target);
        } else {
            std::uint8_t address[4];
            std::memcpy(address, &entry->address, sizeof address);
            out.insert(out.end(), address, address + 4);
        }
    }
    return out;
}

ResolutionFileLoad LoadResolutionFile(const char* fileName) {
    const FileContents contents = ReadWholeFile(fileName);
    if (contents.error == ENOENT)
        return {std::make_unique<ResolutionTable>(), 0};
    if (contents.error != 0)
        return {std::make_unique<ResolutionTable>(), contents.error};
    return {ParseResolutionFile(contents.bytes), 0};
}

int SaveResolutionFile(const ResolutionTable& table, const char* fileName) {
    return ReplaceFile(fileName, SerializeResolutionTable(table));
}
