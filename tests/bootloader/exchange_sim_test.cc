// The boot-loader exchanges against the simulated printer, in virtual time:
// the same bytes the recording tests pin down, now answered by a printer that
// checks the unlock with its key table, stores files and reports its sums.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "bootloader/boot_programs.h"
#include "bootloader/commands.h"
#include "bootloader/file_transfer.h"
#include "bootloader/unlock.h"
#include "bootloader/verify.h"
#include "sim/image_sums.h"
#include "sim/sim_opener.h"
#include "support/memory_settings_store.h"
#include "support/recording_log.h"
#include "support/worker_ops_recorder.h"

namespace velloquin {
namespace {

using ::testing::Contains;
using testing_support::kChannelKey;

std::string DemoDir() { return std::string(VELLOQUIN_SOURCE_DIR) + "/demo/"; }

std::vector<uint8_t> Pattern(size_t size, int seed) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 31 + seed);
  return bytes;
}

class ExchangeOnSimulator : public ::testing::Test {
 protected:
  static constexpr int kPortId = 1002;
  static constexpr int kStatusId = 1003;

  void Start(const std::string& spec, std::shared_ptr<const UnlockKeyTable> station_key = {}) {
    std::string error;
    printer_key_ = UnlockKeyTable::Load(DemoDir() + "UnlockKey.bin", &error);
    ASSERT_TRUE(printer_key_) << error;
    spec_ = spec;
    opener_ = std::make_unique<sim::SimSerialOpener>(&clock_, printer_key_);
    settings_.SetText(kChannelKey + "\\Ports", "COM1", spec);
    env_ = {};
    env_.clock = &clock_;
    env_.serial = opener_.get();
    env_.settings = &settings_;
    env_.log = &log_;
    env_.backoff = &backoff_;
    context_.dialog = &dialog_;
    context_.clock = &clock_;
    context_.unlock_key = station_key ? station_key : printer_key_;
    context_.boot_directory = dir_.string() + "/";
    context_.log = &log_;
    context_.channel_env = env_;
    dialog_.SetPortName("COM1:");
    slot_.PortControlId = kPortId;
    slot_.StatusControlId = kStatusId;
    slot_.InfoText = &info_text_;
    slot_.Channel = std::make_unique<IOComm>(env_);
    slot_.Channel->OpenPort("COM1:", kBootLoaderSettings, 1);
    slot_.Channel->SetHandshake(0);
    clock_.Advance(2000);  // the printer is plugged in and has started
  }

  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("velloquin-exchange-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
    for (const char* name : {"Kernel.sy_", "Run.sy_", "RunBaud.sy_"}) {
      std::filesystem::copy_file(DemoDir() + name, dir_ / name);
    }
  }
  void TearDown() override {
    slot_.Clear();
    std::filesystem::remove_all(dir_);
  }

  std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) {
    std::string path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path;
  }
  int Count(sim::SimEventKind kind) {
    int n = 0;
    for (const auto& e : opener_->Find(spec_)->Events()) n += e.kind == kind;
    return n;
  }
  sim::PrinterView Printer() { return opener_->Find(spec_)->Printer(1); }

  VirtualClock clock_;
  testing_support::WorkerOpsRecorder dialog_;
  testing_support::RecordingLog log_;
  testing_support::MemorySettingsStore settings_;
  ReconnectBackoff backoff_;
  std::shared_ptr<const UnlockKeyTable> printer_key_;
  std::unique_ptr<sim::SimSerialOpener> opener_;
  std::string spec_;
  ChannelEnv env_;
  ProtocolContext context_;
  PortSlot slot_;
  std::string info_text_;
  std::filesystem::path dir_;
};

TEST_F(ExchangeOnSimulator, UnlockIsAcceptedOnlyWithTheSharedKeyTable) {
  Start("sim:");
  EXPECT_TRUE(UnlockBootLoader(&slot_, context_));
  clock_.Advance(50);  // the response's wire time
  EXPECT_EQ(Count(sim::SimEventKind::kUnlockAccepted), 1);

  std::array<uint8_t, kUnlockKeySize> other{};
  other.fill(0x5A);
  context_.unlock_key = std::make_shared<UnlockKeyTable>(other);
  // Some challenges (both lengths zero or less, or runs inside the CRC table)
  // give a response that does not depend on the key; over a few tries the
  // printer refuses the others.
  for (int i = 0; i < 6; ++i) {
    EXPECT_TRUE(UnlockBootLoader(&slot_, context_)) << "the response went out";
    clock_.Advance(50);
  }
  EXPECT_GE(Count(sim::SimEventKind::kUnlockRejected), 1);
  EXPECT_EQ(Count(sim::SimEventKind::kUnlockRejected) + Count(sim::SimEventKind::kUnlockAccepted),
            7);
}

TEST_F(ExchangeOnSimulator, TransfersStoreTheFileByteForByte) {
  Start("sim:");
  for (size_t size : {size_t{0}, size_t{1000}, size_t{1001}, size_t{31000}}) {
    auto bytes = Pattern(size, static_cast<int>(size % 7));
    std::string name = "File" + std::to_string(size) + ".sy_";
    EXPECT_TRUE(TransferBootFile(&slot_, context_, name, Write(name, bytes))) << size;
    EXPECT_EQ(Printer().File(name), bytes) << size;
  }
  EXPECT_THAT(dialog_.StatusTexts(kStatusId), Contains(" Start Transfer of : File31000.sy_"));
}

TEST_F(ExchangeOnSimulator, MissingBootFileAndSilentBootLoader) {
  Start("sim:");
  std::string missing = (dir_ / "Nothing.sy_").string();
  EXPECT_FALSE(TransferBootFile(&slot_, context_, "Kernel.sy_", missing));
  EXPECT_EQ(dialog_.LastStatus(kStatusId), std::string(kCannotReadBootFileText) + missing);
  slot_.Clear();
  dialog_.Clear();

  Start("sim:fault=silent");
  EXPECT_FALSE(TransferBootFile(&slot_, context_, "Kernel.sy_", (dir_ / "Kernel.sy_").string()));
  EXPECT_EQ(dialog_.LastStatus(kStatusId), kCannotTalkText);
  EXPECT_THAT(dialog_.StatusTexts(kStatusId), Contains(kWaitingForPrinterText));
}

TEST_F(ExchangeOnSimulator, ForcedIntoBootModeThenProgrammedAndVerified) {
  // A printer on its normal firmware: the load sequence deletes its main
  // program and writes the boot programs; finishing the load and a DTR pulse
  // train restart it in boot-load mode.
  Start("sim:mode=normal,flash_ms=2000");
  ASSERT_TRUE(LoadBootPrograms(&slot_, context_));
  EXPECT_EQ(Count(sim::SimEventKind::kDeleteFile), 4);
  IOComm& channel = *slot_.Channel;
  for (int i = 0; i < 4; ++i) channel.OutputString(FinishLoadCommand);
  for (int k = 0; k < 24; ++k) {
    channel.ClearDtr(k % 2);
    clock_.SleepMs(500);
  }
  EXPECT_EQ(Count(sim::SimEventKind::kReset), 1);
  EXPECT_TRUE(Printer().boot_mode);

  // Give it an image the way the download does: shift, reopen, stream.
  auto image = Pattern(5000, 3);
  channel.Close();
  channel.OpenPort("COM1:", kPrinterModeSettings, 1);
  channel.SetHandshake(0);
  channel.OutputString(BaudShiftCommand);
  clock_.SleepMs(400);
  channel.Close();
  ASSERT_NE(channel.OpenPort("COM1:", kDownloadSettings, 1), 0);
  channel.SetHandshake(0);
  channel.SetTimeouts(5000, 10);
  for (size_t at = 0; at < image.size(); at += 1000) {
    ASSERT_EQ(channel.Output(image.data() + at, 1000), 1);
    clock_.SleepMs(200);  // the printer's buffer takes 6000 bytes a second
  }
  channel.Close();
  clock_.SleepMs(5000);  // the flash write

  ASSERT_TRUE(ReadBootLoaderInfo(&slot_, context_, "COM1:"));
  EXPECT_EQ(Printer().received_image, image);
  sim::ImageSums sums = sim::ComputeImageSums(image);
  std::string good = Write("good.ver", {});
  std::ofstream(good) << sim::FormatSumLines(sums);
  std::string error;
  EXPECT_TRUE(VerifyFirmware(&slot_, good, &error));
  EXPECT_EQ(error, "");
  std::string bad = Write("bad.ver", {});
  std::ofstream(bad) << sim::FormatSumLines(sim::ComputeImageSums(Pattern(5000, 4)));
  EXPECT_FALSE(VerifyFirmware(&slot_, bad, &error));
  EXPECT_EQ(error, kVerifyFailedText);
}

}  // namespace
}  // namespace velloquin
