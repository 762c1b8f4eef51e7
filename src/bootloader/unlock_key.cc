#include "bootloader/unlock_key.h"

#include <cstring>

#include "bootloader/crc16.h"
#include "bootloader/local_file.h"

namespace velloquin {

UnlockKeyTable::UnlockKeyTable(const std::array<uint8_t, kUnlockKeySize>& bytes) {
  // The CRC-16 table first, each entry low byte first, so that negative
  // offsets from the key reach into its tail; then the key itself.
  const auto& crc_table = Crc16Table();
  for (size_t i = 0; i < crc_table.size(); ++i) {
    region_[2 * i] = static_cast<uint8_t>(crc_table[i] & 0xFF);
    region_[2 * i + 1] = static_cast<uint8_t>(crc_table[i] >> 8);
  }
  std::memcpy(region_.data() + 512, bytes.data(), kUnlockKeySize);
}

std::shared_ptr<const UnlockKeyTable> UnlockKeyTable::Load(const std::string& path,
                                                           std::string* error) {
  LocalFile file;
  if (!file.Open(path)) {
    if (error) {
      *error = "Cannot open unlock key table " + path + ", error " + std::to_string(file.error());
    }
    return nullptr;
  }
  // One byte more than the table, to tell an oversized file from a good one.
  std::array<uint8_t, kUnlockKeySize + 1> buffer{};
  const size_t total = file.ReadFully(buffer.data(), buffer.size());
  if (file.error() != 0) {
    if (error) {
      *error = "Cannot read unlock key table " + path + ", error " + std::to_string(file.error());
    }
    return nullptr;
  }
  if (total != kUnlockKeySize) {
    if (error) {
      const std::string size =
          total > kUnlockKeySize ? "larger than" : std::to_string(total) + " bytes, not";
      *error = "Unlock key table " + path + " is " + size + " " + std::to_string(kUnlockKeySize) +
               " bytes";
    }
    return nullptr;
  }
  std::array<uint8_t, kUnlockKeySize> key{};
  std::memcpy(key.data(), buffer.data(), kUnlockKeySize);
  return std::make_shared<const UnlockKeyTable>(key);
}

}  // namespace velloquin
