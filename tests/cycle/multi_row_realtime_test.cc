// Four rows at once in real time, each on its own simulated printer and its
// own worker thread, launched by the timer logic and stopped by the close
// logic: the threads share the dialog, the back-off counters and the log, as
// on a station. Run under ThreadSanitizer in CI.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "bootloader/protocol_context.h"
#include "cycle/cycle_worker.h"
#include "cycle/row_controls.h"
#include "cycle/worker_launch.h"
#include "sim/sim_opener.h"
#include "support/memory_settings_store.h"
#include "support/recording_log.h"
#include "support/worker_ops_recorder.h"

namespace velloquin {
namespace {

using ::testing::Contains;
using testing_support::kChannelKey;

TEST(MultiRow, FourRowsProgramTheirPrintersAndStopInTime) {
  const std::string demo = std::string(VELLOQUIN_SOURCE_DIR) + "/demo/";
  const auto dir = std::filesystem::temp_directory_path() /
                   ("velloquin-multirow-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::vector<uint8_t> image(3000);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 13 + 5);
  const std::string firmware = (dir / "fw.bot").string();
  std::ofstream(firmware, std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));

  SystemClock& clock = SystemClock::Instance();
  std::string error;
  auto key = UnlockKeyTable::Load(demo + "UnlockKey.bin", &error);
  ASSERT_TRUE(key) << error;
  sim::SimSerialOpener opener(&clock, key);
  testing_support::MemorySettingsStore settings;
  testing_support::RecordingLog log;
  testing_support::WorkerOpsRecorder dialog;
  ReconnectBackoff backoff;
  std::vector<std::string> specs;
  for (int row = 0; row < 4; ++row) {
    specs.push_back("sim:flash_ms=200,consume=1000000,seed=" + std::to_string(row + 1));
    settings.SetText(kChannelKey + "\\Ports", "COM" + std::to_string(row + 1), specs.back());
    dialog.SetPortName(RowPortControlIds[row], "COM" + std::to_string(row + 1) + ":");
  }
  dialog.SetFirmwarePath(firmware);
  dialog.SetVerifyFileText(NoVerificationMessage);

  ChannelEnv env;
  env.clock = &clock;
  env.serial = &opener;
  env.settings = &settings;
  env.log = &log;
  env.backoff = &backoff;
  ProtocolContext context;
  context.dialog = &dialog;
  context.clock = &clock;
  context.unlock_key = key;
  context.boot_directory = demo;
  context.log = &log;
  context.channel_env = env;

  SlotTable table;
  table.RowCount = 4;
  std::vector<std::thread> threads;
  auto start = [&](PortSlot* slot) {
    threads.emplace_back([slot, &context] { RunCycle(slot, context); });
    return true;
  };
  OnStartPressed(table);
  while (!OnLaunchTimerTick(table, start)) clock.SleepMs(kLaunchTimerPeriodMs);

  // Wait (at most 60 s) until every row has programmed its printer.
  auto all_done = [&] {
    for (int row = 0; row < 4; ++row) {
      auto texts = dialog.StatusTexts(RowStatusControlIds[row]);
      if (std::find(texts.begin(), texts.end(), kDoneText) == texts.end()) return false;
    }
    return true;
  };
  for (int i = 0; i < 600 && !all_done(); ++i) clock.SleepMs(100);
  EXPECT_TRUE(all_done());

  int64_t stop_started = clock.NowMs();
  EXPECT_TRUE(StopWorkers(table, [] {}, clock));
  EXPECT_LT(clock.NowMs() - stop_started, 6000);
  for (auto& thread : threads) thread.join();
  for (int row = 0; row < 4; ++row) {
    EXPECT_EQ(table.Slots[row].State, Terminated);
    auto texts = dialog.StatusTexts(RowStatusControlIds[row]);
    EXPECT_EQ(texts.back(), kTerminatedText) << "row " << row + 1;
    EXPECT_THAT(texts, Contains(kAbortingText));
    EXPECT_EQ(opener.Find(specs[row])->Printer(1).received_image, image) << "row " << row + 1;
  }
  for (int row = 4; row < kSlotCount; ++row) EXPECT_EQ(table.Slots[row].State, NotStarted);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace velloquin
