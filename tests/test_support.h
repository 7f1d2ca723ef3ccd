#pragma once

#include "resolutions/resolution_table.h"

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

std::vector<std::uint8_t> ReadBytes(const std::string& fileName);
void WriteBytes(const std::string& fileName, const std::vector<std::uint8_t>& bytes);

std::unique_ptr<ResolutionEntry> MakeAddressEntry(std::string_view name, std::uint32_t address, std::uint32_t kind = 0);
std::unique_ptr<ResolutionEntry> MakeForwardEntry(std::string_view name, std::string_view target);

// Names of the entries in table order.
std::vector<std::string> EntryNames(const ResolutionTable& table);
