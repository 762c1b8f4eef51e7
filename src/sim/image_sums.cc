#include "sim/image_sums.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "bootloader/crc16.h"

namespace velloquin::sim {

namespace {

// The CRC takes a signed 16-bit length, so a long run is fed in pieces; with
// no final XOR, feeding the result back as the seed continues the same CRC.
uint16_t Crc16Over(const uint8_t* data, size_t length) {
  constexpr size_t kPiece = 32767;
  uint16_t crc = 0;
  while (length > 0) {
    size_t piece = std::min(length, kPiece);
    crc = Crc16(crc, static_cast<int16_t>(piece), data);
    data += piece;
    length -= piece;
  }
  return crc;
}

std::string Hex(uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof(text), "%0*X", digits, value);
  return text;
}

}  // namespace

ImageSums ComputeImageSums(const std::vector<uint8_t>& image) {
  ImageSums sums;
  size_t control = std::min(image.size(), kControlBlockSize);
  sums.system_crc = Crc16Over(image.data(), image.size());
  sums.control_crc = Crc16Over(image.data(), control);
  sums.data_crc = Crc16Over(image.data() + control, image.size() - control);
  for (uint8_t byte : image) sums.total += byte;
  return sums;
}

ImageSums SpoilSums(const ImageSums& sums) {
  return ImageSums{static_cast<uint16_t>(sums.system_crc ^ 0x0101),
                   static_cast<uint16_t>(sums.control_crc ^ 0x0202),
                   static_cast<uint16_t>(sums.data_crc ^ 0x0404), sums.total ^ 0x00080800u};
}

std::string FormatSumLines(const ImageSums& sums) {
  return "System CRC: " + Hex(sums.system_crc, 4) + "\r\n" +
         "Control CRC Sum: " + Hex(sums.control_crc, 4) + "\r\n" +
         "Data CRC Sum: " + Hex(sums.data_crc, 4) + "\r\n" +
         "Total CRC Sum: " + Hex(sums.total, 8) + "\r\n";
}

std::string VerificationFileText(const std::string& image_name, size_t image_size,
                                 const ImageSums& sums) {
  // The first line must not hold any of the four keys: the station takes the
  // first occurrence of each. A name that could hold one is left out.
  std::string lower = image_name;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::string shown = lower.find("crc") == std::string::npos ? image_name + ", " : "";
  return "; " + shown + std::to_string(image_size) + " bytes\r\n" + FormatSumLines(sums);
}

}  // namespace velloquin::sim
