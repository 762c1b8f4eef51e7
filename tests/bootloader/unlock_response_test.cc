#include <gtest/gtest.h>

#include <vector>

#include "bootloader/unlock.h"

namespace velloquin {
namespace {

// A test key (not a real printer's): any 512 bytes serve for the arithmetic.
std::array<uint8_t, kUnlockKeySize> TestKey() {
  std::array<uint8_t, kUnlockKeySize> key{};
  for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(i * 37 + 11);
  return key;
}

// Bit by bit, without the table, so the expectation does not share code with
// what it checks.
uint16_t BitwiseCrc(uint16_t crc, const std::vector<uint8_t>& data) {
  for (uint8_t b : data) {
    crc ^= b;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
  }
  return crc;
}

// The bytes of the region at signed offsets [from, from + length) of the key:
// negative offsets are the CRC table entries 192..255, low byte first.
std::vector<uint8_t> RegionBytes(const std::array<uint8_t, kUnlockKeySize>& key, int from,
                                 int length) {
  std::vector<uint8_t> out;
  for (int offset = from; offset < from + length; ++offset) {
    if (offset >= 0) {
      out.push_back(key[offset]);
    } else {
      int index = 512 + offset;  // byte index inside the CRC table
      uint16_t entry = BitwiseCrc(0, {static_cast<uint8_t>(index / 2)});
      out.push_back(index % 2 == 0 ? entry & 0xFF : entry >> 8);
    }
  }
  return out;
}

UnlockResponse Expected(const Challenge& c, const std::array<uint8_t, kUnlockKeySize>& key) {
  uint16_t seed = static_cast<uint16_t>(256 * c[1] + static_cast<int8_t>(c[0]));
  int s2 = static_cast<int8_t>(c[2]);
  int s3 = static_cast<int8_t>(c[3]);
  uint16_t low = s2 > 0 ? BitwiseCrc(seed, RegionBytes(key, s3, s2)) : seed;
  uint16_t high = s3 > 0 ? BitwiseCrc(seed, RegionBytes(key, s2, s3)) : seed;
  UnlockResponse r{uint8_t(low & 0xFF), uint8_t(low >> 8), uint8_t(high & 0xFF),
                   uint8_t(high >> 8)};
  for (auto& b : r) {
    if (b == 0x11) b = 0x12;
    if (b == 0x13) b = 0x14;
  }
  return r;
}

struct FixedCase {
  const char* name;
  Challenge challenge;
  UnlockResponse response;
};

TEST(ComputeUnlockResponse, FixedVectors) {
  UnlockKeyTable table(TestKey());
  const FixedCase cases[] = {
      {"all zero: seed 0, both lengths 0", {0x00, 0x00, 0x00, 0x00}, {0x00, 0x00, 0x00, 0x00}},
      {"c0 80 borrows from the high byte", {0x80, 0x00, 0x00, 0x00}, {0x80, 0xFF, 0x80, 0xFF}},
      {"XON and XOFF replaced", {0x11, 0x13, 0x00, 0x00}, {0x12, 0x14, 0x12, 0x14}},
      {"negative lengths keep the seed", {0x34, 0x12, 0x80, 0xFF}, {0x34, 0x12, 0x34, 0x12}},
  };
  for (const FixedCase& c : cases) {
    EXPECT_EQ(ComputeUnlockResponse(c.challenge, table), c.response) << c.name;
  }
}

TEST(ComputeUnlockResponse, SignedOffsetsAndLengthsOverTheWholeRegion) {
  auto key = TestKey();
  UnlockKeyTable table(key);
  const Challenge cases[] = {
      {0x01, 0x02, 0x05, 0x80},  // first run starts 128 bytes before the key, in the CRC table
      {0x01, 0x02, 0x7F, 0x81},  // 127 bytes from -127: across the table tail into the key
      {0x01, 0x02, 0x80, 0x05},  // third byte >= 80: first CRC is the seed; second run at -128
      {0xF0, 0x7F, 0x7F, 0x7F},  // the farthest reach: offsets 127..253
      {0x7F, 0xFF, 0x10, 0xF0},  // second run length negative
      {0x20, 0x20, 0x20, 0x20},  // a challenge completed with filler bytes
  };
  for (const Challenge& c : cases) {
    EXPECT_EQ(ComputeUnlockResponse(c, table), Expected(c, key))
        << std::hex << int(c[0]) << " " << int(c[1]) << " " << int(c[2]) << " " << int(c[3]);
  }
}

TEST(ComputeUnlockResponse, ThirdByteAt80OrMoreMakesFirstCrcTheSeed) {
  UnlockKeyTable table(TestKey());
  UnlockResponse r = ComputeUnlockResponse({0x34, 0x12, 0x90, 0x05}, table);
  EXPECT_EQ(r[0], 0x34);
  EXPECT_EQ(r[1], 0x12);
}

TEST(ComputeUnlockResponse, KeyBytesBeyondOffset253AreNeverRead) {
  auto key = TestKey();
  auto changed = key;
  for (size_t i = 254; i < changed.size(); ++i) changed[i] ^= 0xA5;
  UnlockKeyTable a(key), b(changed);
  // Sweep all signed offset/length pairs: no result depends on bytes past 253.
  for (int c2 = 0; c2 < 256; c2 += 3) {
    for (int c3 = 0; c3 < 256; c3 += 5) {
      Challenge c{0x5A, 0xC3, uint8_t(c2), uint8_t(c3)};
      ASSERT_EQ(ComputeUnlockResponse(c, a), ComputeUnlockResponse(c, b)) << c2 << " " << c3;
    }
  }
}

TEST(ComputeUnlockResponse, NeverEmitsXonOrXoff) {
  UnlockKeyTable table(TestKey());
  for (int c0 = 0; c0 < 256; ++c0) {
    for (int c2 : {0x00, 0x03, 0x40, 0x7F}) {
      UnlockResponse r = ComputeUnlockResponse({uint8_t(c0), 0x13, uint8_t(c2), 0x11}, table);
      for (uint8_t b : r) ASSERT_TRUE(b != 0x11 && b != 0x13) << c0 << " " << c2;
    }
  }
}

}  // namespace
}  // namespace velloquin
