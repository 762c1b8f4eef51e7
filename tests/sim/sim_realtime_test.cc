// The simulator on the wall clock: bytes take about their wire time for real.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "sim/sim_printer.h"
#include "sim/sim_station.h"

namespace velloquin::sim {
namespace {

int64_t ElapsedMs(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               since)
      .count();
}

TEST(SimRealtime, A2KDownloadAt115200TakesAboutItsWireTime) {
  std::string error;
  auto bench = SimPrinter::FromSpec("sim:shift_ms=0,consume=100000", &SystemClock::Instance(),
                                    testing::TestKeyTable(), &error);
  ASSERT_NE(bench, nullptr) << error;
  int open_error = 0;
  std::unique_ptr<SerialDevice> port = bench->Open(&open_error);
  ASSERT_NE(port, nullptr);
  CommConfigRecord config;
  port->GetConfig(&config);
  config.dcb.baud_rate = 19200;
  config.dcb.stop_bits = kTwoStopBits;
  ASSERT_EQ(port->SetConfig(config), 0);
  port->Write(BaudShiftCommand.data(), 3);
  SystemClock::Instance().SleepMs(20);
  config.dcb.baud_rate = 115200;
  ASSERT_EQ(port->SetConfig(config), 0);

  std::vector<uint8_t> image = testing::TestImage(2048);
  auto start = std::chrono::steady_clock::now();
  IoResult written = port->Write(image.data(), static_cast<uint32_t>(image.size()));
  EXPECT_EQ(written.count, 2048u);
  EXPECT_LT(ElapsedMs(start), 50) << "the write only queues";
  ASSERT_EQ(port->Close(), 0);  // waits until the queue has drained
  int64_t elapsed = ElapsedMs(start);
  // 2048 bytes x 11 bits at 115200 baud: 195.6 ms.
  EXPECT_GE(elapsed, 195);
  EXPECT_LT(elapsed, 400);
  EXPECT_EQ(bench->Printer(1).received_image, image);
}

TEST(SimRealtime, AReadWaitsForItsTimeOutOnTheWallClock) {
  std::string error;
  auto bench = SimPrinter::FromSpec("sim:", &SystemClock::Instance(), nullptr, &error);
  int open_error = 0;
  std::unique_ptr<SerialDevice> port = bench->Open(&open_error);
  ASSERT_NE(port, nullptr);
  CommTimeoutValues timeouts;
  timeouts.read_total_constant = 150;
  port->SetTimeouts(timeouts);
  uint8_t buffer[4];
  auto start = std::chrono::steady_clock::now();
  IoResult result = port->Read(buffer, 4);
  int64_t elapsed = ElapsedMs(start);
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(result.count, 0u);
  EXPECT_GE(elapsed, 150);
  EXPECT_LT(elapsed, 400);
}

TEST(SimRealtime, InspectionFromAnotherThreadWhileTheStationWrites) {
  std::string error;
  auto bench = SimPrinter::FromSpec("sim:shift_ms=0,consume=100000", &SystemClock::Instance(),
                                    nullptr, &error);
  int open_error = 0;
  std::unique_ptr<SerialDevice> port = bench->Open(&open_error);
  ASSERT_NE(port, nullptr);
  std::atomic<bool> done{false};
  std::thread inspector([&] {
    while (!done) {
      bench->Events();
      bench->Printer(1);
      bench->LineLevels();
      SystemClock::Instance().SleepMs(1);
    }
  });
  CommTimeoutValues timeouts;
  timeouts.read_total_constant = 20;
  port->SetTimeouts(timeouts);
  std::vector<uint8_t> data(300, 0x41);  // 0.3 s each at the 9600 baud of a fresh port
  for (int i = 0; i < 5; ++i) {
    port->EscapeFunction(i % 2 ? LineFunction::kSetDtr : LineFunction::kClearDtr);
    port->Write(data.data(), static_cast<uint32_t>(data.size()));
    uint8_t byte;
    port->Read(&byte, 1);
  }
  port->Close();
  done = true;
  inspector.join();
  EXPECT_GE(bench->LineLevels().size(), 5u);
}

}  // namespace
}  // namespace velloquin::sim
