// The simulated printer's sum rule: the four sums its boot loader reports for
// the main program it holds, and the verification text that matches them.
//
//   System CRC      CRC-16/ARC, seed 0, over the whole image
//   Control CRC Sum CRC-16/ARC, seed 0, over the image's first 256 bytes (its
//                   control block; the whole image when it is shorter)
//   Data CRC Sum    CRC-16/ARC, seed 0, over the image after its first 256
//                   bytes (seed 0 when there is nothing after them)
//   Total CRC Sum   the sum of all bytes of the image, modulo 2^32
//
// The CRCs are written as four hexadecimal digits, the total as eight, upper
// case, each after its key, a colon and a blank, one per line with CR LF, so
// that the station's number rule reads the same values from both texts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velloquin::sim {

inline constexpr size_t kControlBlockSize = 256;

struct ImageSums {
  uint16_t system_crc = 0;
  uint16_t control_crc = 0;
  uint16_t data_crc = 0;
  uint32_t total = 0;
  bool operator==(const ImageSums&) const = default;
};

ImageSums ComputeImageSums(const std::vector<uint8_t>& image);

// The sums a printer with the "wrong sums" fault reports instead: every one
// of them differs from the right value.
ImageSums SpoilSums(const ImageSums& sums);

// "System CRC: 1A2B\r\nControl CRC Sum: ...\r\nData CRC Sum: ...\r\n
// Total CRC Sum: 0001F3A0\r\n"
std::string FormatSumLines(const ImageSums& sums);

// The whole verification file for an image, with a first line naming it.
std::string VerificationFileText(const std::string& image_name, size_t image_size,
                                 const ImageSums& sums);

}  // namespace velloquin::sim
