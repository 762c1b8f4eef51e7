#include "bootloader/unlock_key.h"

#include <gtest/gtest.h>

#include <vector>

#include "bootloader/crc16.h"
#include "bootloader/temp_dir.h"

namespace velloquin {
namespace {

using testing_support::TempDir;

std::vector<uint8_t> Pattern(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 3);
  return bytes;
}

TEST(UnlockKeyTable, RegionIsCrcTableLowByteFirstThenKey) {
  auto bytes = Pattern(kUnlockKeySize);
  std::array<uint8_t, kUnlockKeySize> key{};
  std::copy(bytes.begin(), bytes.end(), key.begin());
  UnlockKeyTable table(key);
  const auto& crc = Crc16Table();
  for (int entry = 0; entry < 256; ++entry) {
    ASSERT_EQ(table.Region()[2 * entry], crc[entry] & 0xFF) << entry;
    ASSERT_EQ(table.Region()[2 * entry + 1], crc[entry] >> 8) << entry;
  }
  // The 128 bytes before the key are entries 192 to 255.
  EXPECT_EQ(table.KeyStart()[-128], 0x00);  // entry 192 = 0x5000
  EXPECT_EQ(table.KeyStart()[-127], 0x50);
  EXPECT_EQ(table.KeyStart()[-2], 0x40);    // entry 255 = 0x4040
  for (size_t i = 0; i < kUnlockKeySize; ++i) ASSERT_EQ(table.KeyStart()[i], bytes[i]);
}

TEST(UnlockKeyTable, LoadAcceptsExactly512Bytes) {
  TempDir dir;
  std::string error;
  auto table = UnlockKeyTable::Load(dir.Write("UnlockKey.bin", Pattern(512)), &error);
  ASSERT_NE(table, nullptr) << error;
  EXPECT_EQ(table->KeyStart()[511], Pattern(512)[511]);
}

TEST(UnlockKeyTable, LoadRefusesMissingOrWrongSizedFilesAndSaysWhy) {
  TempDir dir;
  struct Case {
    const char* name;
    int size;  // -1: no file at all
    const char* reason;
  } cases[] = {
      {"missing", -1, "Cannot open unlock key table"},
      {"empty", 0, "is 0 bytes, not 512 bytes"},
      {"short", 511, "is 511 bytes, not 512 bytes"},
      {"long", 513, "is larger than 512 bytes"},
  };
  for (const Case& c : cases) {
    std::string path = c.size < 0 ? dir.File(c.name) : dir.Write(c.name, Pattern(c.size));
    std::string error;
    EXPECT_EQ(UnlockKeyTable::Load(path, &error), nullptr) << c.name;
    EXPECT_NE(error.find(c.reason), std::string::npos) << c.name << ": " << error;
    EXPECT_NE(error.find(path), std::string::npos) << c.name << ": " << error;
  }
}

TEST(UnlockKeyTable, LoadOfAFolderFails) {
  TempDir dir;
  std::string error;
  EXPECT_EQ(UnlockKeyTable::Load(dir.Path(), &error), nullptr);
  EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace velloquin
