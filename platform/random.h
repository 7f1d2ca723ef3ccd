#pragma once

#include <cstdint>
#include <span>

// Fills the bytes from the system's source of secure random numbers, whose next value nobody can tell from the
// ones before. False when the system gave none; the bytes are then of no use.
[[nodiscard]] bool FillRandom(std::span<std::uint8_t> bytes);
