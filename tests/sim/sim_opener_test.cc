#include "sim/sim_opener.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "sim/sim_station.h"

namespace velloquin::sim {
namespace {

TEST(SimSerialOpener, OneBenchPerNameKeptAcrossOpens) {
  VirtualClock clock;
  SimSerialOpener opener(&clock, testing::TestKeyTable());
  int error = 0;
  std::unique_ptr<SerialDevice> first = opener.Open("sim:mode=normal", &error);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(opener.Open("sim:mode=normal", &error), nullptr);
  EXPECT_EQ(error, EBUSY);
  std::unique_ptr<SerialDevice> other = opener.Open("sim:mode=normal,seed=2", &error);
  ASSERT_NE(other, nullptr) << "another name is another bench";
  uint8_t byte = 0x20;
  first->Write(&byte, 1);
  first.reset();  // closes
  std::unique_ptr<SerialDevice> again = opener.Open("sim:mode=normal", &error);
  ASSERT_NE(again, nullptr);
  std::shared_ptr<SimPrinter> bench = opener.Find("sim:mode=normal");
  ASSERT_NE(bench, nullptr);
  int opened = 0;
  for (const SimEvent& event : bench->Events()) opened += event.kind == SimEventKind::kPortOpened;
  EXPECT_EQ(opened, 2);
  EXPECT_FALSE(bench->Printer(1).boot_mode);
  EXPECT_EQ(opener.Find("sim:"), nullptr);
}

TEST(SimSerialOpener, RefusesOtherNamesAndBadSpecs) {
  VirtualClock clock;
  SimSerialOpener opener(&clock, nullptr);
  int error = 0;
  EXPECT_EQ(opener.Open("/dev/ttyS0", &error), nullptr);
  EXPECT_EQ(error, ENOENT);
  EXPECT_EQ(opener.Open("sim:mode=sideways", &error), nullptr);
  EXPECT_EQ(error, EINVAL);
  EXPECT_EQ(opener.LastError(), "sim: option 'mode': 'sideways' is not boot or normal");
  EXPECT_EQ(opener.Open("sim:main=file:/nonexistent/velloquin.bot", &error), nullptr);
  EXPECT_EQ(error, EINVAL);
  EXPECT_NE(opener.LastError().find("/nonexistent/velloquin.bot"), std::string::npos);
}

}  // namespace
}  // namespace velloquin::sim
