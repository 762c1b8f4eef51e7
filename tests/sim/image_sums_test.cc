#include "sim/image_sums.h"

#include <gtest/gtest.h>

#include "bootloader/verification_file.h"
#include "sim/sim_station.h"

namespace velloquin::sim {
namespace {

// Bit by bit, for comparison with the table-driven CRC fed in pieces.
uint16_t ReferenceCrc(const std::vector<uint8_t>& data, size_t from, size_t to) {
  uint16_t crc = 0;
  for (size_t i = from; i < to; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
  }
  return crc;
}

TEST(ImageSums, TheSumRule) {
  struct Case {
    size_t size;
  } cases[] = {{0}, {9}, {256}, {257}, {40000}, {100000}};
  for (const Case& c : cases) {
    std::vector<uint8_t> image = testing::TestImage(c.size);
    ImageSums sums = ComputeImageSums(image);
    size_t control = std::min<size_t>(c.size, 256);
    EXPECT_EQ(sums.system_crc, ReferenceCrc(image, 0, c.size)) << c.size;
    EXPECT_EQ(sums.control_crc, ReferenceCrc(image, 0, control)) << c.size;
    EXPECT_EQ(sums.data_crc, ReferenceCrc(image, control, c.size)) << c.size;
    uint32_t total = 0;
    for (uint8_t byte : image) total += byte;
    EXPECT_EQ(sums.total, total) << c.size;
  }
  std::vector<uint8_t> digits{'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(ComputeImageSums(digits).system_crc, 0xBB3D);
}

TEST(ImageSums, VerificationTextIsReadBackByTheStationsRules) {
  ImageSums sums{0x1A2B, 0x00FF, 0xFFFF, 0x7FFFFFFE};
  std::string text = VerificationFileText("firmware.bot", 1234, sums);
  EXPECT_EQ(text,
            "; firmware.bot, 1234 bytes\r\n"
            "System CRC: 1A2B\r\nControl CRC Sum: 00FF\r\nData CRC Sum: FFFF\r\n"
            "Total CRC Sum: 7FFFFFFE\r\n");
  std::string lower = LowerAscii(VerificationTextFromBytes(text));
  int32_t value = 0;
  ASSERT_TRUE(FindSum(lower, "control crc sum", &value));
  EXPECT_EQ(value, 0xFF);
  // A name that could hold a key is left out of the first line.
  EXPECT_EQ(VerificationFileText("system crc.bot", 1, sums).find("system crc.bot"),
            std::string::npos);
}

TEST(ImageSums, SpoiledSumsDifferInEveryKey) {
  ImageSums right = ComputeImageSums(testing::TestImage(5000));
  ImageSums wrong = SpoilSums(right);
  EXPECT_NE(wrong.system_crc, right.system_crc);
  EXPECT_NE(wrong.control_crc, right.control_crc);
  EXPECT_NE(wrong.data_crc, right.data_crc);
  EXPECT_NE(wrong.total, right.total);
}

}  // namespace
}  // namespace velloquin::sim
