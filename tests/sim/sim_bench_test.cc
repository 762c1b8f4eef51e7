// The bench story: printers that arrive, get programmed, leave, and the next
// one that comes after them.
#include <gtest/gtest.h>

#include "bootloader/verification_file.h"
#include "sim/sim_station.h"

namespace velloquin::sim {
namespace {

using testing::SimStation;
using testing::TestImage;

bool Dsr(SimStation& station) { return (station.Modem() & kModemDsrOn) != 0; }
bool Cts(SimStation& station) { return (station.Modem() & kModemCtsOn) != 0; }

TEST(SimBench, APrinterDoneLeavesAndTheNextOneArrives) {
  SimStation station("sim:printers=2,arrive_ms=500;3000,linger_ms=1000,flash_ms=500,leave_ms=0;60000");
  station.Open();
  EXPECT_FALSE(Dsr(station));
  station.Wait(500);
  EXPECT_TRUE(Dsr(station));
  EXPECT_EQ(station.bench->current_printer(), 1);

  std::vector<uint8_t> image = TestImage(4000);
  station.Download(image);
  station.Wait(2000);
  station.QueryInfo();  // reports the new main program with the right sums
  int64_t reported = station.Last(SimEventKind::kInfoRequest)->t_ns / kNsPerMs;
  station.Wait(reported + 990 - station.Now());
  EXPECT_TRUE(Dsr(station));
  station.Wait(20);
  EXPECT_FALSE(Dsr(station)) << "unplugged 1 s after it reported";
  EXPECT_EQ(station.bench->Printer(1).File("Main.sy_"), image);

  station.Wait(reported + 1000 + 3000 + 1 - station.Now());
  EXPECT_TRUE(Dsr(station));
  PrinterView second = station.bench->Printer(2);
  EXPECT_TRUE(second.plugged);
  EXPECT_EQ(second.flash_count, 0);
  EXPECT_NE(second.File("Main.sy_"), image) << "a new printer with its own old firmware";

  station.Wait(60001);
  EXPECT_FALSE(Dsr(station)) << "the second leaves after 60 s";
  station.Wait(600000);
  EXPECT_FALSE(Dsr(station)) << "no third printer";
  EXPECT_EQ(station.bench->printers_seen(), 2);
}

TEST(SimBench, LeaveRules) {
  struct Case {
    const char* spec;
    bool after_report;  // unplugged 100 ms after the report
  } cases[] = {
      {"sim:leave=reported,linger_ms=100", true},
      {"sim:leave=done,linger_ms=100", false},  // the old program was not written here
      {"sim:leave=never,linger_ms=100", false},
  };
  for (const Case& c : cases) {
    SimStation station(c.spec);
    station.QueryInfo();
    station.Wait(200);
    EXPECT_EQ(Dsr(station), !c.after_report) << c.spec;
  }
}

TEST(SimBench, AWrongReportMakesTheOperatorPressTheButton) {
  SimStation station("sim:fault=wrong_sums@1,retry_ms=2000,hold_ms=300,flash_ms=100");
  station.Download(TestImage(2000));
  station.Wait(500);
  station.QueryInfo();
  int64_t reported_ms = station.Last(SimEventKind::kInfoRequest)->t_ns / kNsPerMs;
  station.Wait(reported_ms + 1990 - station.Now());
  EXPECT_FALSE(Cts(station));
  station.Wait(20);
  EXPECT_TRUE(Cts(station));
  station.Wait(300);
  EXPECT_FALSE(Cts(station));
  EXPECT_TRUE(Dsr(station)) << "a wrong printer is not done";
  station.QueryInfo();  // the same wrong sums again: no second press
  station.Wait(2500);
  EXPECT_FALSE(Cts(station));

  station.Download(TestImage(2000));  // the retry: right sums this time
  station.Wait(500);
  station.QueryInfo();
  station.Wait(2500);
  EXPECT_FALSE(Cts(station));
  station.Wait(1000);
  EXPECT_FALSE(Dsr(station)) << "done: unplugged after the linger time";
}

TEST(SimBench, ScriptedPlugInAndUnplug) {
  SimStation station("sim:printers=2,arrive_ms=1000000000");
  station.Open();
  EXPECT_FALSE(Dsr(station));
  EXPECT_TRUE(station.bench->PlugIn());
  EXPECT_FALSE(station.bench->PlugIn()) << "one printer at a time";
  EXPECT_TRUE(Dsr(station));
  station.bench->Unplug();
  EXPECT_FALSE(Dsr(station));
  EXPECT_TRUE(station.bench->PlugIn());
  EXPECT_EQ(station.bench->current_printer(), 2);
  station.bench->Unplug();
  EXPECT_FALSE(station.bench->PlugIn()) << "the bench has had its two printers";
  EXPECT_EQ(station.Count(SimEventKind::kPlugIn), 2);
  EXPECT_EQ(station.Count(SimEventKind::kUnplug), 2);
}

TEST(SimBench, AnUnpluggedPrinterTakesItsPendingReplyWithIt) {
  SimStation station("sim:reply_ms=50");
  station.Reopen(kPrinterModeFrame);
  station.ReadTimeouts(300, 0, 0);
  station.Send(BootModeCheck);
  station.Wait(10);
  station.bench->Unplug();
  EXPECT_TRUE(station.Receive(20).empty());
}

}  // namespace
}  // namespace velloquin::sim
