// The demo data under demo/ is consistent with the simulator: its key table
// unlocks a simulated printer, and its verification file holds the sums the
// printer reports for the demo firmware.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "bootloader/unlock_key.h"
#include "bootloader/verification_file.h"
#include "sim/image_sums.h"
#include "sim/sim_station.h"

namespace velloquin::sim {
namespace {

std::string DemoPath(const std::string& name) {
  std::string here = __FILE__;  // .../tests/sim/demo_data_test.cc
  return here.substr(0, here.rfind("/tests/")) + "/demo/" + name;
}

std::vector<uint8_t> ReadDemoFile(const std::string& name) {
  std::ifstream file(DemoPath(name), std::ios::binary);
  EXPECT_TRUE(file) << DemoPath(name);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

TEST(DemoData, VerificationFileMatchesTheSumRule) {
  std::vector<uint8_t> firmware = ReadDemoFile("firmware.bot");
  std::vector<uint8_t> ver = ReadDemoFile("firmware.ver");
  EXPECT_EQ(std::string(ver.begin(), ver.end()),
            VerificationFileText("firmware.bot", firmware.size(), ComputeImageSums(firmware)));
  for (const char* program : {"Kernel.sy_", "Run.sy_", "RunBaud.sy_"}) {
    size_t size = ReadDemoFile(program).size();
    EXPECT_GT(size, 0u) << program;
    EXPECT_LE(size, 4096u) << program;
  }
  EXPECT_NE(ReadDemoFile("Run.sy_"), ReadDemoFile("RunBaud.sy_"));
}

TEST(DemoData, KeyTableUnlocksAndThePrinterHoldingTheDemoFirmwareMatchesItsFile) {
  std::string error;
  std::shared_ptr<const UnlockKeyTable> key = UnlockKeyTable::Load(DemoPath("UnlockKey.bin"), &error);
  ASSERT_NE(key, nullptr) << error;
  testing::SimStation station("sim:main=file:" + DemoPath("firmware.bot"), key);
  station.Reopen(kBootLoaderFrame);
  ASSERT_TRUE(station.Unlock());
  EXPECT_EQ(station.Count(SimEventKind::kUnlockAccepted), 1);

  std::string report = LowerAscii(station.Info());
  std::string ver;
  ASSERT_TRUE(ReadVerificationText(DemoPath("firmware.ver"), &ver));
  ver = LowerAscii(ver);
  for (const char* sum_key : {"system crc", "control crc sum", "data crc sum", "total crc sum"}) {
    int32_t reported = 0, expected = 0;
    ASSERT_TRUE(FindSum(report, sum_key, &reported)) << sum_key;
    ASSERT_TRUE(FindSum(ver, sum_key, &expected)) << sum_key;
    EXPECT_EQ(reported, expected) << sum_key;
  }
}

}  // namespace
}  // namespace velloquin::sim
