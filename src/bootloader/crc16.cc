#include "bootloader/crc16.h"

namespace velloquin {
namespace {

// Built once from the reflected polynomial; the result is the standard table
// (entry 1 is 0xC0C1, entry 255 is 0x4040).
std::array<uint16_t, 256> BuildTable() {
  std::array<uint16_t, 256> table{};
  for (int i = 0; i < 256; ++i) {
    uint16_t crc = static_cast<uint16_t>(i);
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
    }
    table[i] = crc;
  }
  return table;
}

}  // namespace

const std::array<uint16_t, 256>& Crc16Table() {
  static const std::array<uint16_t, 256> table = BuildTable();
  return table;
}

uint16_t Crc16(uint16_t seed, int16_t length, const uint8_t* data) {
  const auto& table = Crc16Table();
  uint16_t crc = seed;
  for (int i = 0; i < length; ++i) {
    crc = static_cast<uint16_t>((crc >> 8) ^ table[(crc ^ data[i]) & 0xFF]);
  }
  return crc;
}

}  // namespace velloquin
