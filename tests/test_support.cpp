#include "tests/test_support.h"

#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <random>

TemporaryDirectory::TemporaryDirectory() {
    std::random_device random;
    for (;;) {
        const auto candidate = std::filesystem::temp_directory_path() / ("dns-test-" + std::to_string(random()));
        if (std::filesystem::create_directory(candidate)) {
            path = candidate.string();
            return;
        }
    }
}

TemporaryDirectory::~TemporaryDirectory() {
    std::error_code ignored;
    std::filesystem::permissions(path, std::filesystem::perms::owner_all, ignored);
    std::filesystem::remove_all(path, ignored);
}

const Bytes ExampleFile = {
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

Bytes ReadBytes(const std::string& fileName) {
    std::ifstream in(fileName, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteBytes(const std::string& fileName, const Bytes& bytes) {
    std::ofstream out(fileName, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::string> EntryNames(const ResolutionTable& table) {
    std::vector<std::string> names;
    for (std::size_t number = 0; number < ResolutionCount(table); ++number)
        names.emplace_back(ResolutionAt(table, number).name);
    return names;
}

namespace {

// Never destroyed: a resolver thread may still be inside a slow lookup when the tests end.
struct FakeResolver {
    std::mutex mutex;
    std::condition_variable released;
    std::map<std::string, std::uint32_t> hosts;
    bool slowReleased = false;
}& Fake = *new FakeResolver;

} // namespace

HostLookup ResolveFake(const char* hostName) {
    std::unique_lock lock(Fake.mutex);
    const bool slow = std::string_view(hostName).starts_with("slow");
    if (slow)
        Fake.released.wait_for(lock, std::chrono::seconds(5), [] { return Fake.slowReleased; });
    const auto found = Fake.hosts.find(hostName);
    if (found != Fake.hosts.end())
        return {HostLookup::Outcome::Found, found->second};
    return {slow ? HostLookup::Outcome::Failed : HostLookup::Outcome::NoSuchName, 0};
}

void SetFakeHost(const std::string& name, std::uint32_t address) {
    const std::lock_guard lock(Fake.mutex);
    Fake.hosts[name] = address;
}

void ReleaseSlowLookups() {
    const std::lock_guard lock(Fake.mutex);
    Fake.slowReleased = true;
    Fake.released.notify_all();
}

void ResetFakeResolver() {
    const std::lock_guard lock(Fake.mutex);
    Fake.hosts.clear();
    Fake.slowReleased = false;
}

Bytes MakeQuery(std::uint16_t id, std::initializer_list<std::string_view> labels, std::uint16_t type) {
    Bytes query = {static_cast<std::uint8_t>(id >> 8), static_cast<std::uint8_t>(id), 1, 0, 0, 1, 0, 0, 0, 0, 0, 0};
    for (const std::string_view label : labels) {
        query.push_back(static_cast<std::uint8_t>(label.size()));
        query.insert(query.end(), label.begin(), label.end());
    }
    query.insert(query.end(), {0, static_cast<std::uint8_t>(type >> 8), static_cast<std::uint8_t>(type), 0, 1});
    return query;
}

Bytes WithOpt(Bytes message, std::uint16_t payloadSize, std::uint8_t version, bool dnssecOk, const Bytes& options) {
    ++message[11];
    message.insert(message.end(),
                   {0, 0, 41, static_cast<std::uint8_t>(payloadSize >> 8), static_cast<std::uint8_t>(payloadSize), 0,
                    version, static_cast<std::uint8_t>(dnssecOk ? 0x80 : 0), 0,
                    static_cast<std::uint8_t>(options.size() >> 8), static_cast<std::uint8_t>(options.size())});
    message.insert(message.end(), options.begin(), options.end());
    return message;
}
