#include "resolutions/resolution_file.h"

#include "common/host_name.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <string>
#include <string_view>

namespace {

constexpr std::size_t HeaderBytes = 4;
constexpr std::string_view TemporarySuffix = ".tmp";
constexpr std::string_view LockSuffix = ".lock";
constexpr std::string_view DamagedSuffix = ".damaged";
constexpr int MostDamagedCopies = 10;

// Reads fields from the file's bytes. A field that the bytes cover only in part gets the bytes that are there
// and zeros for the rest, as a short read into a zeroed field would: a cut-off file still loads.
struct FileReader {
    std::span<const std::uint8_t> bytes;
    std::size_t offset = 0;
    bool exact = true; // nothing was cut off or cut short so far

    std::size_t Left() const { return bytes.size() - offset; }

    std::span<const std::uint8_t> Take(std::size_t count) {
        const std::size_t taken = std::min(count, Left());
        exact = exact && taken == count;
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
    std::string_view Text() {
        const std::size_t length = LittleEndian(2);
        const auto part = Take(length);
        exact = exact && part.size() <= MaxHostNameLength;
        return std::string_view(reinterpret_cast<const char*>(part.data()), part.size()).substr(0, MaxHostNameLength);
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

void PutText(std::vector<std::uint8_t>& out, std::string_view text) {
    PutLittleEndian(out, static_cast<std::uint32_t>(text.size()), 2);
    out.insert(out.end(), text.begin(), text.end());
}

// The smallest record takes 8 bytes. A count beyond what the bytes could hold is capped there, plus one entry
// for a record that was cut off: a damaged header cannot make us allocate more than the file's size allows.
std::size_t MostEntries(std::size_t bytesAfterHeader) { return bytesAfterHeader / 8 + 1; }

} // namespace

ParsedResolutionFile ParseResolutionFile(std::span<const std::uint8_t> bytes) {
    ParsedResolutionFile parsed{std::make_unique<ResolutionTable>()};
    FileReader reader{bytes};
    const std::size_t stored = reader.LittleEndian(HeaderBytes);
    const std::size_t count = std::min(stored, MostEntries(reader.Left()));
    // Every text byte comes from the file, so its size bounds the text.
    ReserveResolutions(*parsed.table, count, reader.Left());
    const auto readEntry = [&reader] {
        ResolutionEntry entry;
        entry.kind = reader.LittleEndian(4);
        entry.name = reader.Text();
        if (entry.kind == ForwardKind)
            entry.target = reader.Text();
        else
            entry.address = reader.Address();
        return entry;
    };
    // In batches: the index is filled with its waits on memory overlapped.
    std::vector<ResolutionEntry> batch;
    batch.reserve(std::min<std::size_t>(count, 4096));
    for (std::size_t i = 0; i < count; ++i) {
        batch.push_back(readEntry());
        if (reader.exact)
            parsed.complete = i + 1;
        if (batch.size() == batch.capacity() || i + 1 == count) {
            AppendResolutions(*parsed.table, batch);
            batch.clear();
        }
    }
    parsed.exact = reader.exact && reader.Left() == 0 && count == stored;
    parsed.whole = reader.exact && count == stored;
    // A crash between an append's two writes leaves learned records behind the last counted one, the last of
    // them perhaps cut short: address records with a name. Anything else behind the table is no table of ours.
    while (parsed.whole && reader.Left() > 0) {
        const ResolutionEntry entry = readEntry();
        parsed.whole = entry.kind == 0 && (!entry.name.empty() || !reader.exact);
    }
    return parsed;
}

void SerializeResolution(const ResolutionEntry& entry, std::vector<std::uint8_t>& out) {
    PutLittleEndian(out, entry.kind, 4);
    PutText(out, entry.name);
    if (entry.kind == ForwardKind) {
        PutText(out, entry.target);
    } else {
        std::uint8_t address[4];
        std::memcpy(address, &entry.address, sizeof address);
        out.insert(out.end(), address, address + 4);
    }
}

std::vector<std::uint8_t> SerializeResolutionTable(const ResolutionTable& table) {
    std::vector<std::uint8_t> out;
    out.reserve(HeaderBytes + table.records.size());
    PutLittleEndian(out, static_cast<std::uint32_t>(ResolutionCount(table)), HeaderBytes);
    for (std::size_t number = 0; number < ResolutionCount(table); ++number)
        SerializeResolution(ResolutionAt(table, number), out);
    return out;
}

ResolutionFileLoad LoadResolutionFile(const char* fileName) {
    ResolutionFileLoad load;
    FileContents contents = ReadWholeFile(fileName);
    if (contents.error != 0 || contents.missing) {
        load.table = std::make_unique<ResolutionTable>();
        load.error = contents.error;
        load.missing = contents.missing;
        return load;
    }
    ParsedResolutionFile parsed = ParseResolutionFile(contents.bytes);
    load.table = std::move(parsed.table);
    load.exact = parsed.exact;
    load.whole = parsed.whole;
    load.complete = parsed.complete;
    load.identity = contents.identity;
    if (!parsed.whole)
        load.bytes = std::move(contents.bytes);
    return load;
}

int SaveResolutionFile(const ResolutionTable& table, const char* fileName, FileIdentity* written) {
    return SaveResolutionFile(SerializeResolutionTable(table), fileName, written);
}

int SaveResolutionFile(std::span<const std::uint8_t> bytes, const char* fileName, FileIdentity* written) {
    // A link stays a link: the file it leads to is the one replaced.
    const std::string target = FollowLinks(fileName);
    // The process id keeps two processes on the same file from writing one temporary file.
    const std::string temporary = target + "." + std::to_string(CurrentProcessId()) + std::string(TemporarySuffix);
    return ReplaceFile(target.c_str(), temporary.c_str(), bytes, written);
}

std::uint32_t StoredEntryCount(std::span<const std::uint8_t> bytes) {
    return FileReader{bytes}.LittleEndian(HeaderBytes);
}

void StoreEntryCount(std::span<std::uint8_t> bytes, std::uint32_t count) {
    for (std::size_t i = 0; i < HeaderBytes && i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(count >> (8 * i));
}

AppendResult AppendResolutionRecords(const char* fileName, FileIdentity& expected,
                                     std::span<const std::uint8_t> records, std::uint32_t count) {
    std::uint8_t header[HeaderBytes];
    StoreEntryCount(header, count);
    return AppendToFile(fileName, expected, records, header);
}

FileLockResult LockResolutionFile(const char* fileName, std::chrono::milliseconds wait) {
    return LockFile((FollowLinks(fileName) + std::string(LockSuffix)).c_str(), wait);
}

KeptFile KeepDamagedResolutionFile(const char* fileName, std::span<const std::uint8_t> bytes) {
    if (bytes.empty())
        return {};
    const std::string first = FollowLinks(fileName) + std::string(DamagedSuffix);
    const auto nameOf = [&first](int copy) { return copy == 1 ? first : first + "." + std::to_string(copy); };
    // A free name, or else the oldest copy's: the newest copies stay, and a save never waits on old ones.
    int oldest = 1;
    FileIdentity oldestSeen;
    for (int copy = 1; copy <= MostDamagedCopies; ++copy) {
        const FileStatus status = IdentifyFile(nameOf(copy).c_str());
        if (status.missing || status.error != 0) {
            oldest = copy;
            break;
        }
        if (copy == 1 || status.identity.modified < oldestSeen.modified) {
            oldest = copy;
            oldestSeen = status.identity;
        }
    }
    const std::string name = nameOf(oldest);
    NewFileResult created = WriteNewFile(name.c_str(), bytes);
    if (created.exists) {
        RemoveFile(name.c_str());
        created = WriteNewFile(name.c_str(), bytes);
    }
    return {created.error == 0 ? name : std::string(), created.error};
}

void RemoveAbandonedTemporaryFiles(const char* fileName) {
    const std::string target = FollowLinks(fileName);
    const std::size_t separator = target.find_last_of(PathSeparators);
    const std::string directory = separator == std::string::npos ? "." : target.substr(0, separator + 1);
    const std::string prefix = (separator == std::string::npos ? target : target.substr(separator + 1)) + ".";
    for (const std::string& name : ListDirectory(directory.c_str())) {
        // Ours are named FILE.PID.tmp.
        if (!name.starts_with(prefix) || !name.ends_with(TemporarySuffix))
            continue;
        const std::string_view digits =
            std::string_view(name).substr(prefix.size(), name.size() - prefix.size() - TemporarySuffix.size());
        std::uint64_t owner = 0;
        const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), owner);
        if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() || owner == 0)
            continue;
        if (owner != CurrentProcessId() && ProcessHasEnded(owner))
            RemoveFile((separator == std::string::npos ? name : directory + name).c_str());
    }
}
