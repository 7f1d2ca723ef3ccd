#include "tests/test_support.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

TemporaryDirectory::TemporaryDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "dns-test-XXXXXX").string();
    path = mkdtemp(pattern.data());
}

TemporaryDirectory::~TemporaryDirectory() {
    std::error_code ignored;
    std::filesystem::permissions(path, std::filesystem::perms::owner_all, ignored);
    std::filesystem::remove_all(path, ignored);
}

const std::vector<std::uint8_t> ExampleFile = {
    0x03, 0x00, 0x00, 0x00,                // entry count 3
    0x00, 0x00, 0x00, 0x00,                // kind 0
    0x07, 0x00,                            // name length 7
    'p',  'r',  'i',  'n',  't', 'e', 'r', // name
    0xC0, 0xA8, 0x01, 0x14,                // address 192.168.1.20
    0x01, 0x00, 0x00, 0x00,                // kind 1
    0x05, 0x00,                            // name length 5
    'f',  'i',  'l',  'e',  's',           // name
    0x03, 0x00,                            // target length 3
    'n',  'a',  's',                       // target
    0x00, 0x00, 0x00, 0x00,                // kind 0
    0x07, 0x00,                            // name length 7
    'g',  'a',  't',  'e',  'w', 'a', 'y', // name
    0x00, 0x00, 0x00, 0x00,                // address 0: Local
};

std::vector<std::uint8_t> ReadBytes(const std::string& fileName) {
    std::ifstream in(fileName, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteBytes(const std::string& fileName, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(fileName, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::unique_ptr<ResolutionEntry> MakeAddressEntry(std::string_view name, std::uint32_t address, std::uint32_t kind) {
    auto entry = std::make_unique<ResolutionEntry>();
    CopyHostName(entry->name, name);
    entry->kind = kind;
    entry->address = address;
    return entry;
}

std::unique_ptr<ResolutionEntry> MakeForwardEntry(std::string_view name, std::string_view target) {
    auto entry = std::make_unique<ResolutionEntry>();
    CopyHostName(entry->name, name);
    CopyHostName(entry->target, target);
    entry->kind = ForwardKind;
    return entry;
}

std::vector<std::string> EntryNames(const ResolutionTable& table) {
    std::vector<std::string> names;
    for (const auto& entry : table.entries)
        names.emplace_back(HostNameText(entry->name));
    return names;
}

std::map<std::string, std::uint32_t> FakeHosts;
std::atomic<int> FakeLookups{0};

std::optional<std::uint32_t> ResolveFake(const char* hostName) {
    ++FakeLookups;
    const auto found = FakeHosts.find(hostName);
    if (found == FakeHosts.end())
        return std::nullopt;
    return found->second;
}

ServiceStatics::ServiceStatics() {
    Resolutions = table.get();
    SetFileName("default.drf");
    LocalAddresses = {};
    FakeHosts.clear();
    FakeLookups = 0;
}

std::string ServiceStatics::SetFileName(std::string_view name) {
    const std::string file = directory.File(name);
    ResolutionFileName.fill(0);
    file.copy(ResolutionFileName.data(), ResolutionFileName.size() - 1);
    return file;
}

ServiceStatics::~ServiceStatics() {
    ResolutionFileName = savedFileName;
    Resolutions = savedResolutions;
    LocalAddresses = savedAddresses;
}

std::vector<std::uint8_t> MakeQuery(std::uint16_t id, std::initializer_list<std::string_view> labels,
                                    std::uint16_t type) {
    std::vector<std::uint8_t> query = {static_cast<std::uint8_t>(id >> 8),
                                       static_cast<std::uint8_t>(id),
                                       0x01,
                                       0x00,
                                       0x00,
                                       0x01,
                                       0x00,
                                       0x00,
                                       0x00,
                                       0x00,
                                       0x00,
                                       0x00};
    for (const std::string_view label : labels) {
        query.push_back(static_cast<std::uint8_t>(label.size()));
        query.insert(query.end(), label.begin(), label.end());
    }
    query.insert(query.end(),
                 {0x00, static_cast<std::uint8_t>(type >> 8), static_cast<std::uint8_t>(type), 0x00, 0x01});
    return query;
}
