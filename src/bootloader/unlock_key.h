// UnlockKeyTable: the 512 bytes the station shares with the printers' boot
// loader. It is installation data supplied with the boot-loader definition,
// read from "UnlockKey.bin" in the boot directory; the code never invents one.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

namespace velloquin {

inline constexpr size_t kUnlockKeySize = 512;
inline constexpr char kUnlockKeyFileName[] = "UnlockKey.bin";

class UnlockKeyTable {
 public:
  explicit UnlockKeyTable(const std::array<uint8_t, kUnlockKeySize>& bytes);

  // Reads the table from a file of exactly 512 bytes. On failure returns null
  // and puts the reason (with the path and the OS error) into *error.
  static std::shared_ptr<const UnlockKeyTable> Load(const std::string& path, std::string* error);

  // The contiguous 1024-byte region the response is computed over: the CRC-16
  // table in its byte layout (entries low byte first), then the 512 key bytes.
  // Offsets relative to the first key byte run from -512 to +511.
  const uint8_t* KeyStart() const { return region_.data() + 512; }
  const std::array<uint8_t, 1024>& Region() const { return region_; }

 private:
  std::array<uint8_t, 1024> region_{};
};

}  // namespace velloquin
