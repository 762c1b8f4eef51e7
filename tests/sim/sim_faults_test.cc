// Faults on demand: each one seen from the station's side of the line.
#include <gtest/gtest.h>

#include "bootloader/verification_file.h"
#include "sim/image_sums.h"
#include "sim/sim_station.h"

namespace velloquin::sim {
namespace {

using testing::HasMain;
using testing::SimStation;
using testing::TestImage;

std::vector<uint8_t> CheckBootMode(SimStation& station) {
  station.Reopen(kPrinterModeFrame);
  station.ReadTimeouts(200, 0, 20);
  station.Send(BootModeCheck);
  return station.Receive(20);
}

TEST(SimFaults, NoBootNeverAnswersPAndForcingNeverTakes) {
  SimStation station("sim:mode=boot,fault=no_boot,boot_ms=100");
  EXPECT_TRUE(CheckBootMode(station).empty());
  station.Reopen(kBootLoaderFrame);
  ASSERT_TRUE(station.Unlock());
  station.SendPieces(DeleteFileCommand("Main.sy_"));
  station.StoreFile("Kernel.sy_", {1, 2});
  station.StoreFile("Run.sy_", {3});
  station.Send(FinishLoadCommand);
  station.Settle();
  station.Dtr(false);
  station.Wait(1000);
  station.PulseDtr(24, 500);
  EXPECT_EQ(station.Last(SimEventKind::kReset)->detail, "still in normal mode (no_boot)");
  EXPECT_TRUE(CheckBootMode(station).empty());
  // The download that follows anyway stores nothing.
  station.Download(TestImage(3000));
  station.Wait(20000);
  EXPECT_FALSE(HasMain(station.QueryInfo()));
}

TEST(SimFaults, SilentBootLoaderAnswersNothingAtItsSettings) {
  SimStation station("sim:fault=silent");
  EXPECT_EQ(CheckBootMode(station), std::vector<uint8_t>{'P'}) << "the firmware still answers";
  station.Reopen(kBootLoaderFrame);
  EXPECT_FALSE(station.Unlock());
  EXPECT_TRUE(station.Info().empty());
  EXPECT_EQ(station.Count(SimEventKind::kUnlockRequest), 0);
}

TEST(SimFaults, RejectUnlockRefusesTheRightResponseAndKeepsFilesLocked) {
  SimStation station("sim:fault=reject_unlock");
  station.Reopen(kBootLoaderFrame);
  ASSERT_TRUE(station.Unlock());
  EXPECT_EQ(station.Count(SimEventKind::kUnlockRejected), 1);
  station.SendPieces(DeleteFileCommand("Main.sy_"));
  station.Settle();
  EXPECT_TRUE(station.bench->Printer(1).File("Main.sy_"));
  EXPECT_TRUE(HasMain(station.Info())) << "the info report needs no unlock";
}

TEST(SimFaults, GarbageRepliesCarryNothingUsable) {
  SimStation station("sim:fault=garbage");
  std::vector<uint8_t> reply = CheckBootMode(station);
  ASSERT_EQ(reply.size(), 1u);
  EXPECT_NE(reply[0], 'P');
  station.Reopen(kBootLoaderFrame);
  ASSERT_TRUE(station.Unlock());
  EXPECT_EQ(station.Count(SimEventKind::kUnlockRejected), 1) << "answered a garbled challenge";
  std::string report = station.Info();
  EXPECT_GT(report.size(), 100u);
  EXPECT_FALSE(HasMain(report));
  EXPECT_EQ(LowerAscii(report).find("system crc"), std::string::npos);
}

TEST(SimFaults, ChatterNeverLetsADrainFinish) {
  SimStation station("sim:fault=chatter");
  station.Reopen(kPrinterModeFrame);
  station.ReadTimeouts(100, 2, 2);
  for (int i = 0; i < 200; ++i) ASSERT_EQ(station.Receive(20).size(), 20u) << i;
  // Left unread, it fills the receive buffer and the rest is lost.
  station.Wait(5000);
  CommStatus status = station.Status();
  EXPECT_EQ(status.in_queue, 4096u);
  EXPECT_NE(status.errors & 0x1, 0u);
}

TEST(SimFaults, UnplugAtStreamByteN) {
  SimStation station("sim:fault=unplug@1500,leave=never");
  std::vector<uint8_t> image = TestImage(3000);
  station.Download(image);
  PrinterView printer = station.bench->Printer(1);
  EXPECT_FALSE(printer.plugged);
  EXPECT_EQ(printer.received_image, std::vector<uint8_t>(image.begin(), image.begin() + 1499));
  EXPECT_EQ(station.Count(SimEventKind::kUnplug), 1);
  station.Open();
  EXPECT_EQ(station.Modem() & kModemDsrOn, 0u);
}

TEST(SimFaults, FlashStuckNeverStoresTheImage) {
  SimStation station("sim:fault=flash_stuck");
  station.Download(TestImage(2000));
  station.Wait(600000);
  EXPECT_TRUE(station.bench->Printer(1).flashing);
  EXPECT_FALSE(HasMain(station.QueryInfo()));
}

TEST(SimFaults, WrongSumsForTheFirstFlashWritesOnly) {
  SimStation station("sim:fault=wrong_sums@1,flash_ms=100");
  std::vector<uint8_t> image = TestImage(3000);
  ImageSums right = ComputeImageSums(image);
  for (bool wrong : {true, false}) {
    station.Download(image);
    station.Wait(1000);
    std::string report = station.QueryInfo();
    ASSERT_TRUE(HasMain(report));
    EXPECT_EQ(report.find(FormatSumLines(right)) == std::string::npos, wrong) << report;
    int32_t system_crc = 0;
    ASSERT_TRUE(FindSum(LowerAscii(report), "system crc", &system_crc));
    EXPECT_EQ(system_crc == right.system_crc, !wrong);
  }
  EXPECT_EQ(station.bench->Printer(1).File("Main.sy_"), image) << "only the report is wrong";
}

TEST(SimFaults, ButtonPressedAtTimeTAndReleasedAfterItsHold) {
  SimStation station("sim:button_ms=5000,hold_ms=300");
  station.Open();
  struct Probe {
    int64_t at_ms;
    bool cts;
  } probes[] = {{4999, false}, {5000, true}, {5299, true}, {5300, false}};
  for (const Probe& probe : probes) {
    station.Wait(probe.at_ms - station.Now());
    EXPECT_EQ((station.Modem() & kModemCtsOn) != 0, probe.cts) << probe.at_ms;
  }
}

}  // namespace
}  // namespace velloquin::sim
