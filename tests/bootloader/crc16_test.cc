#include "bootloader/crc16.h"

#include <gtest/gtest.h>

#include <string>

namespace velloquin {
namespace {

const uint8_t* Digits() { return reinterpret_cast<const uint8_t*>("123456789"); }

TEST(Crc16, PublishedCheckValue) { EXPECT_EQ(Crc16(0, 9, Digits()), 0xBB3D); }

TEST(Crc16, TableIsTheStandardArcTable) {
  const auto& table = Crc16Table();
  EXPECT_EQ(table[0], 0x0000);
  EXPECT_EQ(table[1], 0xC0C1);
  EXPECT_EQ(table[2], 0xC181);
  EXPECT_EQ(table[128], 0xA001);
  EXPECT_EQ(table[192], 0x5000);
  EXPECT_EQ(table[255], 0x4040);
}

TEST(Crc16, ZeroOrNegativeLengthReturnsTheSeedAndReadsNothing) {
  // A null pointer proves that no byte is read.
  for (int16_t length : {int16_t{0}, int16_t{-1}, int16_t{-128}, int16_t{-32768}}) {
    EXPECT_EQ(Crc16(0x1234, length, nullptr), 0x1234) << length;
  }
}

TEST(Crc16, SeedIsTheCallersAndRunsChain) {
  // Splitting the data and feeding the first CRC in as the seed gives the
  // same result as one run: no final XOR, no hidden state.
  uint16_t first = Crc16(0, 4, Digits());
  EXPECT_EQ(Crc16(first, 5, Digits() + 4), 0xBB3D);
  EXPECT_NE(Crc16(0xFFFF, 9, Digits()), 0xBB3D);
}

}  // namespace
}  // namespace velloquin
