// The simulated printer's commands, spoken byte by byte from the station's
// side: printer-mode commands, unlock, info report, file store, finish load
// and the reset into boot-load mode.
#include <gtest/gtest.h>

#include "bootloader/verification_file.h"
#include "sim/image_sums.h"
#include "sim/sim_station.h"

namespace velloquin::sim {
namespace {

using testing::HasMain;
using testing::SimStation;
using testing::TestImage;
using testing::TestKeyTable;

// The four sums as the station's number rule reads them from a text.
std::vector<int32_t> SumsIn(const std::string& text) {
  std::string lower = LowerAscii(text);
  std::vector<int32_t> sums;
  for (const char* key : {"system crc", "control crc sum", "data crc sum", "total crc sum"}) {
    int32_t value = 0;
    EXPECT_TRUE(FindSum(lower, key, &value)) << key << " in " << text;
    sums.push_back(value);
  }
  return sums;
}

std::vector<int32_t> SumsOf(const std::vector<uint8_t>& image) {
  ImageSums s = ComputeImageSums(image);
  return {s.system_crc, s.control_crc, s.data_crc, static_cast<int32_t>(s.total)};
}

TEST(SimPrinter, BootModeCheckIsAnsweredWithPOnlyInBootLoadMode) {
  for (bool boot : {true, false}) {
    SimStation station(boot ? "sim:mode=boot" : "sim:mode=normal");
    station.Open();
    station.Frame(kPrinterModeFrame);
    station.ReadTimeouts(500, 0, 20);
    station.Send({0x20});  // noise before a command does not hide it
    station.Send(BootModeCheck);
    std::vector<uint8_t> reply = station.Receive(20);
    EXPECT_EQ(reply, boot ? std::vector<uint8_t>{'P'} : std::vector<uint8_t>{}) << boot;
    EXPECT_EQ(station.Count(SimEventKind::kBootModeCheck), 1);
    station.Send(BaudResetCommand);
    EXPECT_TRUE(station.Receive(20).empty());
    EXPECT_EQ(station.Count(SimEventKind::kBaudReset), 1);
  }
}

TEST(SimPrinter, UnlockIsAcceptedOnlyWithTheSharedKeyTable) {
  SimStation station("sim:");
  station.Open();
  station.Frame(kBootLoaderFrame);
  ASSERT_TRUE(station.Unlock(TestKeyTable(/*salt=*/7)));
  EXPECT_EQ(station.Count(SimEventKind::kUnlockRejected), 1);
  ASSERT_TRUE(station.Unlock());
  EXPECT_EQ(station.Count(SimEventKind::kUnlockAccepted), 1);
  // Every request draws a new challenge from the seeded generator.
  std::vector<std::string> challenges;
  for (const SimEvent& event : station.bench->Events()) {
    if (event.kind == SimEventKind::kUnlockRequest) challenges.push_back(event.detail);
  }
  ASSERT_EQ(challenges.size(), 2u);
  EXPECT_NE(challenges[0], challenges[1]);
}

TEST(SimPrinter, WithoutAKeyTableEveryUnlockIsRejected) {
  SimStation station("sim:", nullptr);
  station.Open();
  station.Frame(kBootLoaderFrame);
  CommTimeoutValues timeouts{20, 20, 200, 0, 0};
  station.port->SetTimeouts(timeouts);
  station.Send(UnlockRequest);
  std::vector<uint8_t> challenge = station.Receive(4);
  ASSERT_EQ(challenge.size(), 4u);
  station.Send({1, 2, 3, 4});
  station.Wait(10);
  const SimEvent* rejected = station.Last(SimEventKind::kUnlockRejected);
  ASSERT_NE(rejected, nullptr);
  EXPECT_NE(rejected->detail.find("no key table"), std::string::npos);
}

TEST(SimPrinter, InfoReportNamesTheMainProgramOnlyWhileOneIsStored) {
  SimStation station("sim:");
  station.Open();
  station.Frame(kBootLoaderFrame);
  std::string report = station.Info();  // answered before any unlock
  EXPECT_TRUE(HasMain(report)) << report;
  EXPECT_NE(report.find("System CRC: "), std::string::npos);
  EXPECT_NE(report.find("\r\nTotal CRC Sum: "), std::string::npos);
  EXPECT_EQ(SumsIn(report), SumsOf(*station.bench->Printer(1).File("Main.sy_")));

  ASSERT_TRUE(station.Unlock());
  station.SendPieces(DeleteFileCommand("MAIN.SY_"));  // names are found without case
  report = station.Info();
  EXPECT_FALSE(HasMain(report)) << report;
  EXPECT_EQ(SumsIn(report), (std::vector<int32_t>{0, 0, 0, 0}));
}

TEST(SimPrinter, FileStoreTakesFilesOnlyWhenUnlocked) {
  SimStation station("sim:main=none");
  station.Open();
  station.Frame(kBootLoaderFrame);
  std::vector<uint8_t> kernel = TestImage(2500);
  station.StoreFile("Kernel.sy_", TestImage(100, 9));  // locked: ignored
  station.Settle();
  EXPECT_EQ(station.bench->Printer(1).File("Kernel.sy_")->size(), 512u) << "the old one stays";
  EXPECT_GE(station.Count(SimEventKind::kIgnored), 3);

  ASSERT_TRUE(station.Unlock());
  station.StoreFile("Kernel.sy_", kernel);
  station.StoreFile("Empty.sy_", {});
  station.Settle();
  PrinterView printer = station.bench->Printer(1);
  EXPECT_EQ(printer.File("Kernel.sy_"), kernel);
  EXPECT_EQ(printer.File("empty.sy_"), std::vector<uint8_t>{});
  EXPECT_EQ(station.Count(SimEventKind::kWriteBlock), 3);  // 1000, 1000, 500

  station.SendPieces(DeleteFileCommand("Empty.sy_"));
  station.SendPieces(DeleteFileCommand("Empty.sy_"));
  station.Settle();
  EXPECT_FALSE(station.bench->Printer(1).File("Empty.sy_"));
  const SimEvent* last = station.Last(SimEventKind::kDeleteFile);
  ASSERT_NE(last, nullptr);
  EXPECT_EQ(last->detail, "Empty.sy_ (not there)");
}

TEST(SimPrinter, ACommandCutOffByTwoSecondsOfSilenceIsDropped) {
  SimStation station("sim:");
  station.Open();
  station.Frame(kBootLoaderFrame);
  ASSERT_TRUE(station.Unlock());
  station.Send({0x1C, 0x66, 0x44, 'R', 'u', 'n'});
  station.Wait(2500);
  station.Send({'.', 's', 'y', '_', 0x00});
  station.Wait(10);
  EXPECT_TRUE(station.bench->Printer(1).File("Run.sy_"));
  EXPECT_EQ(station.Count(SimEventKind::kDeleteFile), 0);
}

class SimPrinterReset : public ::testing::Test {
 protected:
  // Deletes the main program, loads both boot programs and finishes the load,
  // as the station's forcing step does.
  void LoadBootPrograms(bool delete_main) {
    station_.Open();
    station_.Frame(kBootLoaderFrame);
    ASSERT_TRUE(station_.Unlock());
    if (delete_main) station_.SendPieces(DeleteFileCommand("Main.sy_"));
    station_.StoreFile("Kernel.sy_", TestImage(1500, 3));
    station_.StoreFile("Run.sy_", TestImage(800, 4));
    station_.Send(FinishLoadCommand);
    station_.Settle();
  }
  bool AnswersP() {
    station_.Frame(kPrinterModeFrame);
    station_.ReadTimeouts(200, 0, 20);
    station_.Send(BootModeCheck);
    bool p = station_.Receive(20) == std::vector<uint8_t>{'P'};
    station_.Frame(kBootLoaderFrame);
    return p;
  }
  SimStation station_{"sim:mode=normal,boot_ms=1000"};
};

TEST_F(SimPrinterReset, ArmedPrinterRestartsIntoBootModeOnTheEighthPulse) {
  LoadBootPrograms(/*delete_main=*/true);
  EXPECT_EQ(station_.Last(SimEventKind::kFinishLoad)->detail, "armed");
  EXPECT_FALSE(AnswersP());
  station_.Dtr(false);
  station_.Wait(1000);
  station_.PulseDtr(7, 500);  // on, off, ... on: seven changes 500 ms apart
  EXPECT_EQ(station_.Count(SimEventKind::kReset), 0);
  station_.Dtr(false);  // the 8th change: the printer restarts
  ASSERT_EQ(station_.Count(SimEventKind::kReset), 1);
  EXPECT_FALSE(AnswersP()) << "deaf while it restarts";
  station_.Wait(1000);
  EXPECT_TRUE(AnswersP());
  EXPECT_TRUE(station_.bench->Printer(1).boot_mode);
}

TEST_F(SimPrinterReset, PulsesDoNothingUnlessArmedOrWhenTooSlow) {
  LoadBootPrograms(/*delete_main=*/false);
  EXPECT_EQ(station_.Last(SimEventKind::kFinishLoad)->detail,
            "not armed: main program still stored");
  station_.PulseDtr(24, 500);
  EXPECT_EQ(station_.Count(SimEventKind::kReset), 0);

  SimStation slow("sim:mode=normal");
  slow.Open();
  slow.Frame(kBootLoaderFrame);
  ASSERT_TRUE(slow.Unlock());
  slow.SendPieces(DeleteFileCommand("Main.sy_"));
  slow.Send(FinishLoadCommand);
  slow.Settle();
  EXPECT_EQ(slow.Last(SimEventKind::kFinishLoad)->detail, "not armed: boot programs not loaded");
  slow.StoreFile("Kernel.sy_", {1});
  slow.StoreFile("Run.sy_", {2});
  slow.Send(FinishLoadCommand);
  slow.Settle();
  slow.PulseDtr(24, 1000);  // the load sequence's 1 s levels are no reset train
  EXPECT_EQ(slow.Count(SimEventKind::kReset), 0);
  slow.PulseDtr(8, 300);
  EXPECT_EQ(slow.Count(SimEventKind::kReset), 1);
}

}  // namespace
}  // namespace velloquin::sim
