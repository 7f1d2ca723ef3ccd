#pragma once

#include "common/process_state.h"
#include "console/server_addresses.h"
#include "resolutions/resolution_table.h"

#include <array>
#include <atomic>
#include <map>
#include <optional>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// A fresh directory per test, removed with everything in it at the end.
struct TemporaryDirectory {
    std::string path;
    TemporaryDirectory();
    ~TemporaryDirectory();
    std::string File(std::string_view name) const { return path + "/" + std::string(name); }
};

// printer at 192.168.1.20, files forwarded to nas, gateway answered with the server's own address: 54 bytes.
extern const std::vector<std::uint8_t> ExampleFile;

std::vector<std::uint8_t> ReadBytes(const std::string& fileName);
void WriteBytes(const std::string& fileName, const std::vector<std::uint8_t>& bytes);

std::unique_ptr<ResolutionEntry> MakeAddressEntry(std::string_view name, std::uint32_t address, std::uint32_t kind = 0);
std::unique_ptr<ResolutionEntry> MakeForwardEntry(std::string_view name, std::string_view target);

// Names of the entries in table order.
std::vector<std::string> EntryNames(const ResolutionTable& table);

// Stands in for the system resolver: answers from FakeHosts and counts the questions.
std::optional<std::uint32_t> ResolveFake(const char* hostName);
extern std::map<std::string, std::uint32_t> FakeHosts;
extern std::atomic<int> FakeLookups;

// Saves the process-wide statics that the answer path reads and restores them at the end of the test; gives the
// test an empty table, a resolution file in a fresh directory and an empty fake resolver.
struct ServiceStatics {
    TemporaryDirectory directory;
    std::unique_ptr<ResolutionTable> table = std::make_unique<ResolutionTable>();
    std::array<char, 260> savedFileName = ResolutionFileName;
    ResolutionTable* savedResolutions = Resolutions;
    LocalAddressList savedAddresses = LocalAddresses;

    ServiceStatics();
    ~ServiceStatics();
    std::string FileName() const { return ResolutionFileName.data(); }
    // Points ResolutionFileName at a file in the test's directory and returns its path.
    std::string SetFileName(std::string_view name);
};

// A query datagram: the ID, flags 0x0100 (recursion desired), one question with the labels, type and class IN.
std::vector<std::uint8_t> MakeQuery(std::uint16_t id, std::initializer_list<std::string_view> labels,
                                    std::uint16_t type = 1);
