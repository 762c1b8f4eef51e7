#include "sim/sim_options.h"

#include <gtest/gtest.h>

namespace velloquin::sim {
namespace {

TEST(SimOptions, EmptySpecIsOneBootModePrinterWithDefaults) {
  for (const char* spec : {"sim:", ""}) {
    SimSpecResult result = ParseSimSpec(spec);
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_EQ(result.options.printers, 1);
    EXPECT_EQ(result.options.seed, 1u);
    ASSERT_EQ(result.options.stories.size(), 1u);
    EXPECT_EQ(result.options.stories[0], PrinterStory{});
  }
}

TEST(SimOptions, ListsGiveEachPrinterItsStoryAndTheLastRepeats) {
  SimSpecResult result = ParseSimSpec(
      "sim:printers=4,mode=boot;normal,flash_ms=5000,arrive_ms=10;20;30,"
      "fault=none;wrong_sums@1+garbage;unplug@700,main=none;file:/tmp/x.bot;old,seed=9");
  ASSERT_TRUE(result.ok) << result.error;
  const auto& s = result.options.stories;
  ASSERT_EQ(s.size(), 4u);
  EXPECT_EQ(result.options.seed, 9u);
  EXPECT_TRUE(s[0].boot_mode);
  EXPECT_FALSE(s[1].boot_mode);
  EXPECT_FALSE(s[3].boot_mode);
  for (const PrinterStory& story : s) EXPECT_EQ(story.flash_ms, 5000);
  EXPECT_EQ(s[0].arrive_ms, 10);
  EXPECT_EQ(s[2].arrive_ms, 30);
  EXPECT_EQ(s[3].arrive_ms, 30);
  EXPECT_EQ(s[0].faults, PrinterFaults{});
  EXPECT_EQ(s[1].faults.wrong_sums, 1);
  EXPECT_TRUE(s[1].faults.garbage);
  EXPECT_EQ(s[2].faults.unplug_at_byte, 700);
  EXPECT_EQ(s[3].faults.unplug_at_byte, 700);
  EXPECT_EQ(s[0].main, MainAtPlugIn::kNone);
  EXPECT_EQ(s[1].main, MainAtPlugIn::kFile);
  EXPECT_EQ(s[1].main_path, "/tmp/x.bot");
  EXPECT_EQ(s[2].main, MainAtPlugIn::kOld);
}

TEST(SimOptions, LaterPrintersArriveTwoSecondsAfterTheOneBefore) {
  SimSpecResult result = ParseSimSpec("sim:printers=3");
  ASSERT_TRUE(result.ok);
  EXPECT_EQ(result.options.stories[0].arrive_ms, 0);
  EXPECT_EQ(result.options.stories[1].arrive_ms, 2000);
  EXPECT_EQ(result.options.stories[2].arrive_ms, 2000);
}

TEST(SimOptions, EveryKeyAndFaultIsAccepted) {
  SimSpecResult result = ParseSimSpec(
      "sim:leave=reported,leave_ms=1,linger_ms=2,button_ms=3,hold_ms=4,retry_ms=5,shift_ms=6,"
      "boot_ms=7,idle_ms=8,reply_ms=9,buffer=64,consume=1,"
      "fault=no_boot+silent+reject_unlock+garbage+chatter+unplug@1+flash_stuck+wrong_sums");
  ASSERT_TRUE(result.ok) << result.error;
  const PrinterStory& s = result.options.stories[0];
  EXPECT_EQ(s.leave, LeaveRule::kReported);
  EXPECT_EQ(s.leave_ms + s.linger_ms + s.button_ms + s.hold_ms + s.retry_ms, 15);
  EXPECT_EQ(s.shift_ms + s.boot_ms + s.idle_ms + s.reply_ms, 30);
  EXPECT_EQ(s.buffer, 64);
  EXPECT_EQ(s.consume, 1);
  EXPECT_TRUE(s.faults.no_boot && s.faults.silent && s.faults.reject_unlock && s.faults.garbage &&
              s.faults.chatter && s.faults.flash_stuck);
  EXPECT_EQ(s.faults.wrong_sums, -1);
  EXPECT_EQ(ParseSimSpec("sim:button_ms=none,retry_ms=none").options.stories[0].button_ms,
            kNoTime);
}

struct BadSpec {
  const char* spec;
  const char* message;  // part of the error
};

class SimOptionsBad : public ::testing::TestWithParam<BadSpec> {};

TEST_P(SimOptionsBad, IsRefusedWithAClearMessage) {
  SimSpecResult result = ParseSimSpec(GetParam().spec);
  EXPECT_FALSE(result.ok);
  EXPECT_NE(result.error.find(GetParam().message), std::string::npos) << result.error;
  EXPECT_EQ(result.error.rfind("sim: ", 0), 0u) << result.error;
}

INSTANTIATE_TEST_SUITE_P(
    Table, SimOptionsBad,
    ::testing::Values(
        BadSpec{"sim:mode", "is not key=value"},
        BadSpec{"sim:mode=", "has no value"},
        BadSpec{"sim:mode=boot,", "empty option"},
        BadSpec{"sim:,mode=boot", "empty option"},
        BadSpec{"sim:colour=red", "unknown option 'colour'"},
        BadSpec{"sim:mode=boot,mode=normal", "given twice"},
        BadSpec{"sim:mode=sleep", "is not boot or normal"},
        BadSpec{"sim:flash_ms=-1", "is not a number"},
        BadSpec{"sim:flash_ms=12x", "is not a number"},
        BadSpec{"sim:flash_ms= 5", "is not a number"},
        BadSpec{"sim:flash_ms=1000000001", "from 0 to 1000000000"},
        BadSpec{"sim:flash_ms=99999999999999999999999", "is not a number"},
        BadSpec{"sim:printers=0", "'printers'"},
        BadSpec{"sim:printers=10001", "'printers'"},
        BadSpec{"sim:printers=2;3", "'printers'"},
        BadSpec{"sim:seed=4294967296", "'seed'"},
        BadSpec{"sim:buffer=63", "from 64 to 1048576"},
        BadSpec{"sim:consume=0", "'consume'"},
        BadSpec{"sim:idle_ms=0", "'idle_ms'"},
        BadSpec{"sim:mode=boot;normal", "has 2 values for 1 printer(s)"},
        BadSpec{"sim:printers=2,mode=boot;;normal", "has 3 values"},
        BadSpec{"sim:printers=2,mode=boot;", "empty value in its list"},
        BadSpec{"sim:main=file:", "is not none, old or file:PATH"},
        BadSpec{"sim:leave=soon", "is not done, reported or never"},
        BadSpec{"sim:button_ms=soon", "is not a number"},
        BadSpec{"sim:fault=fire", "unknown fault 'fire'"},
        BadSpec{"sim:fault=none+silent", "cannot be joined"},
        BadSpec{"sim:fault=silent+silent", "named twice"},
        BadSpec{"sim:fault=wrong_sums+wrong_sums@2", "named twice"},
        BadSpec{"sim:fault=unplug", "needs @N"},
        BadSpec{"sim:fault=unplug@0", "needs a count"},
        BadSpec{"sim:fault=silent@3", "takes no @count"},
        BadSpec{"sim:fault=garbage+", "unknown fault ''"}));

TEST(SimOptions, NamesThatStartWithSimAreSimulated) {
  EXPECT_TRUE(IsSimName("sim:"));
  EXPECT_TRUE(IsSimName("sim:mode=boot"));
  EXPECT_FALSE(IsSimName("/dev/ttyS0"));
  EXPECT_FALSE(IsSimName("sim"));
}

}  // namespace
}  // namespace velloquin::sim
