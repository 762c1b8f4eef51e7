// Whole cycles of a row against the simulated printer, in virtual time: the
// real channel, boot-loader exchanges and worker, a printer on the other end
// that keeps wire time and tells what it received. The invariant checked at
// every step: a row that reaches Done after a download has a printer that
// holds the firmware byte for byte.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "bootloader/boot_programs.h"
#include "bootloader/commands.h"
#include "bootloader/file_transfer.h"
#include "bootloader/protocol_context.h"
#include "cycle/cycle_worker.h"
#include "cycle/firmware_download.h"
#include "cycle/forcing_boot_mode.h"
#include "sim/image_sums.h"
#include "sim/sim_opener.h"
#include "support/memory_settings_store.h"
#include "support/recording_log.h"
#include "support/worker_ops_recorder.h"

namespace velloquin {
namespace {

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;
using testing_support::kChannelKey;

std::string DemoDir() { return std::string(VELLOQUIN_SOURCE_DIR) + "/demo/"; }

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

class SimCycle {
 public:
  static constexpr int kPortId = 1002;
  static constexpr int kStatusId = 1003;

  explicit SimCycle(const std::string& spec, bool with_verification = true)
      : firmware_path_(DemoDir() + "firmware.bot"), image_(ReadFile(firmware_path_)) {
    std::string error;
    key_ = UnlockKeyTable::Load(DemoDir() + "UnlockKey.bin", &error);
    opener_ = std::make_unique<sim::SimSerialOpener>(&clock_, key_);
    spec_ = spec;
    settings_.SetText(kChannelKey + "\\Ports", "COM1", spec);
    env_.clock = &clock_;
    env_.serial = opener_.get();
    env_.settings = &settings_;
    env_.log = &log_;
    env_.backoff = &backoff_;
    context_.dialog = &dialog_;
    context_.clock = &clock_;
    context_.unlock_key = key_;
    context_.boot_directory = DemoDir();
    context_.log = &log_;
    context_.channel_env = env_;
    dialog_.SetPortName("COM1:");
    dialog_.SetFirmwarePath(firmware_path_);
    dialog_.SetVerifyFileText(with_verification ? DemoDir() + "firmware.ver"
                                                : NoVerificationMessage);
    slot_.PortControlId = kPortId;
    slot_.StatusControlId = kStatusId;
    slot_.State = Restarting;
    worker_ = std::make_unique<CycleWorker>(&slot_, context_);
  }
  ~SimCycle() {
    worker_.reset();
    slot_.Clear();
  }

  // Runs passes until the row is in `state` (true) or `max_ms` of virtual
  // time went by (false), checking the invariant after every pass.
  bool RunUntil(SlotState state, int64_t max_ms = 600000) {
    int64_t end = clock_.NowMs() + max_ms;
    while (clock_.NowMs() < end) {
      if (slot_.State == state) return true;
      int32_t before = slot_.State;
      worker_->Step();
      if (before == Downloading) downloaded_ = true;
      if (before == Restarting) downloaded_ = false;
      if (slot_.State == Done && before != Done) {
        ++done_count_;
        if (downloaded_) {
          auto printer = Bench()->Printer(Bench()->current_printer());
          EXPECT_EQ(printer.received_image, image_) << "Done without the whole image";
        }
      }
    }
    return slot_.State == state;
  }
  // Runs for `ms` of virtual time.
  void RunFor(int64_t ms) { RunUntil(static_cast<SlotState>(-1), ms); }

  std::shared_ptr<sim::SimPrinter> Bench() { return opener_->Find(spec_); }
  std::vector<std::string> Statuses() { return dialog_.StatusTexts(kStatusId); }
  int Count(sim::SimEventKind kind) {
    int n = 0;
    for (const auto& e : Bench()->Events()) n += e.kind == kind;
    return n;
  }
  int32_t State() { return slot_.State; }
  const std::string& ErrorText() { return worker_->ErrorText(); }

  VirtualClock clock_;
  testing_support::WorkerOpsRecorder dialog_;
  testing_support::RecordingLog log_;
  int done_count_ = 0;

 private:
  std::string firmware_path_;
  std::vector<uint8_t> image_;
  std::shared_ptr<const UnlockKeyTable> key_;
  std::unique_ptr<sim::SimSerialOpener> opener_;
  std::string spec_;
  testing_support::MemorySettingsStore settings_;
  ReconnectBackoff backoff_;
  ChannelEnv env_;
  ProtocolContext context_;
  PortSlot slot_;
  std::unique_ptr<CycleWorker> worker_;
  bool downloaded_ = false;
};

TEST(CycleOnSimulator, PrinterInBootModeIsProgrammedAndVerified) {
  SimCycle row("sim:flash_ms=3000");
  ASSERT_TRUE(row.RunUntil(Done));
  EXPECT_EQ(row.done_count_, 1);
  EXPECT_THAT(row.Statuses(), Not(Contains(kForcingText)));
  EXPECT_EQ(row.Count(sim::SimEventKind::kBaudShift), 1);
  EXPECT_EQ(row.Count(sim::SimEventKind::kFlashDone), 1);
  // Unplugged after it reported: the row starts over and waits for the next.
  ASSERT_TRUE(row.RunUntil(LookingForPrinter));
  EXPECT_THAT(row.Statuses(), Contains(kDisconnectedRestartingText));
}

TEST(CycleOnSimulator, PrinterInNormalModeIsForcedThenProgrammed) {
  SimCycle row("sim:mode=normal,flash_ms=3000");
  int64_t start = row.clock_.NowMs();
  ASSERT_TRUE(row.RunUntil(Done));
  EXPECT_THAT(row.Statuses(), Contains(kForcingText));
  EXPECT_THAT(row.Statuses(), Contains(kResettingText));
  EXPECT_EQ(row.Count(sim::SimEventKind::kBootModeCheck), 4) << "four checks, then forced";
  EXPECT_EQ(row.Count(sim::SimEventKind::kFinishLoad), 7);
  EXPECT_EQ(row.Count(sim::SimEventKind::kReset), 1);
  auto printer = row.Bench()->Printer(1);
  EXPECT_EQ(printer.File("Kernel.sy_"), ReadFile(DemoDir() + "Kernel.sy_"));
  EXPECT_EQ(printer.File("Run.sy_"), ReadFile(DemoDir() + "Run.sy_"));
  EXPECT_GT(row.clock_.NowMs() - start, 20000) << "forcing alone takes more than 20 s";
}

// Runs of DTR levels set by the station that alternate, 500 ms apart: their
// lengths and whether each ended with DTR off.
std::vector<std::pair<int, bool>> DtrPulseTrains(sim::SimPrinter& bench) {
  std::vector<sim::LineLevelChange> dtr;
  for (const auto& change : bench.LineLevels()) {
    if (change.line == sim::ControlLine::kDtr && change.cause == sim::LineCause::kEscape) {
      dtr.push_back(change);
    }
  }
  std::vector<std::pair<int, bool>> trains;
  size_t start = 0;
  for (size_t i = 1; i <= dtr.size(); ++i) {
    bool continues = i < dtr.size() && dtr[i].on != dtr[i - 1].on &&
                     dtr[i].t_ns - dtr[i - 1].t_ns == 500'000'000;
    if (!continues) {
      if (i - start >= 6) trains.emplace_back(static_cast<int>(i - start), !dtr[i - 1].on);
      start = i;
    }
  }
  return trains;
}

TEST(CycleOnSimulator, ForcingDrivesItsTwoDtrPulseTrains) {
  SimCycle row("sim:mode=normal,flash_ms=3000");
  ASSERT_TRUE(row.RunUntil(Downloading));
  // Twelve levels after the load, then the reset's twenty-four, ending off.
  EXPECT_THAT(DtrPulseTrains(*row.Bench()),
              ::testing::ElementsAre(std::pair{12, true}, std::pair{24, true}));
}

TEST(CycleOnSimulator, ResetBaudRateLoadsTheRunProgramForTheResetRate) {
  SimCycle row("sim:mode=normal,flash_ms=3000");
  row.dialog_.SetResetBaudRate(true);
  ASSERT_TRUE(row.RunUntil(Done));
  EXPECT_EQ(row.Count(sim::SimEventKind::kBaudReset), 1);
  EXPECT_EQ(row.Bench()->Printer(1).File("Run.sy_"), ReadFile(DemoDir() + "RunBaud.sy_"));
}

TEST(CycleOnSimulator, WrongSumsFailVerificationAndTheButtonRetries) {
  SimCycle row("sim:fault=wrong_sums@1,retry_ms=2000,flash_ms=3000");
  ASSERT_TRUE(row.RunUntil(Failed));
  row.RunFor(200);
  EXPECT_THAT(row.Statuses(), Contains("ERROR:  Verify Failed  Press Button on Dongle to Retry"));
  EXPECT_EQ(row.done_count_, 0);
  ASSERT_TRUE(row.RunUntil(Done)) << "the operator's button retries the same printer";
  EXPECT_THAT(row.Statuses(), Contains(kButtonRetryingText));
  EXPECT_EQ(row.Bench()->Printer(1).flash_count, 2);
}

TEST(CycleOnSimulator, PreProgramVerifyOfAPrinterThatHoldsTheFirmware) {
  SimCycle row("sim:main=file:" + DemoDir() + "firmware.bot,leave=reported");
  row.dialog_.SetPreProgramVerify(true);
  ASSERT_TRUE(row.RunUntil(Done));
  EXPECT_THAT(row.Statuses(), Contains(kCurrentVerifiedText));
  EXPECT_EQ(row.Count(sim::SimEventKind::kDownloadStart), 0) << "nothing is sent";
}

struct FaultCase {
  const char* what;
  std::string spec;
  SlotState ends_in;
  const char* shown;  // a status text the row shows on the way, or ""
};

TEST(CycleOnSimulator, PrintersThatMisbehaveNeverPassAsProgrammed) {
  // Each ends where the row shows it (and waits for the operator or the next
  // printer), in bounded time, and none is ever reported as programmed.
  const FaultCase cases[] = {
      // Forcing "works" as far as the station can tell, the image goes
      // nowhere, and the row waits for the flash until the button.
      {"never in boot mode", "sim:mode=normal,fault=no_boot", WaitingForFlash, ""},
      {"silent boot loader", "sim:mode=normal,fault=silent", NotInBootMode, kCannotTalkText},
      // Nothing was stored; the old program's sums do not verify.
      {"unlock rejected", "sim:mode=normal,fault=reject_unlock", Failed, ""},
      {"unplugged mid-download", "sim:fault=unplug@5000", Failed, kDisconnectAbortedText},
      // Programmed, but its reports are unreadable: never confirmed, and the
      // row starts over when it is unplugged.
      {"garbage replies", "sim:fault=garbage", LookingForPrinter, kDisconnectedRestartingText},
      {"never stops talking", "sim:fault=chatter", LookingForPrinter,
       kDisconnectedRestartingText},
  };
  for (const auto& c : cases) {
    SimCycle row(c.spec);
    row.RunFor(900000);
    EXPECT_EQ(row.State(), c.ends_in) << c.what;
    EXPECT_EQ(row.done_count_, 0) << c.what;
    if (*c.shown) {
      bool shown = false;
      for (const auto& text : row.Statuses()) shown |= text.find(c.shown) != std::string::npos;
      EXPECT_TRUE(shown) << c.what << " shows " << c.shown;
    }
  }
}

TEST(CycleOnSimulator, UnplugDuringTheDownloadIsReportedAsSuch) {
  SimCycle row("sim:fault=unplug@5000");
  ASSERT_TRUE(row.RunUntil(Failed));
  EXPECT_EQ(row.ErrorText(), kDisconnectAbortedText);
}

TEST(CycleOnSimulator, FlashThatNeverFinishesKeepsTheRowWaiting) {
  SimCycle row("sim:fault=flash_stuck");
  ASSERT_TRUE(row.RunUntil(WaitingForFlash));
  row.RunFor(120000);
  EXPECT_EQ(row.State(), WaitingForFlash);
  EXPECT_EQ(row.done_count_, 0);
}

TEST(CycleOnSimulator, OneRowServesABenchOfPrinters) {
  SimCycle row("sim:printers=3,mode=boot;normal;boot,flash_ms=2000", /*with_verification=*/false);
  row.RunFor(600000);
  EXPECT_EQ(row.done_count_, 3);
  EXPECT_EQ(row.Bench()->printers_seen(), 3);
}

}  // namespace
}  // namespace velloquin
