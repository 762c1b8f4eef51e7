// CRC-16 of the ARC kind (reflected polynomial 0xA001), seeded by the caller,
// with no final XOR. Used on the wire only inside the unlock response.
#pragma once

#include <array>
#include <cstdint>

namespace velloquin {

// The standard 256-entry CRC-16/ARC table.
const std::array<uint16_t, 256>& Crc16Table();

// A length of zero or less returns the seed and reads no data.
uint16_t Crc16(uint16_t seed, int16_t length, const uint8_t* data);

}  // namespace velloquin
