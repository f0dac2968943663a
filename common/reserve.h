// Sizes of reserved (physically contiguous) memory.
#pragma once

#include <cstdint>

// Reserved memory comes in whole 4096-byte pages.
constexpr uint64_t round4096(uint64_t n) { return (n + 4095u) & ~uint64_t{4095}; }
