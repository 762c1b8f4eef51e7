// The Linux printer device's transfers in real time, on a pseudo-terminal:
// the test holds the master side, where a printer would be.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "platform/printer_device.h"
#include "support/pty_pair.h"

namespace velloquin {
namespace {

using testing_support::PtyPair;
using testing_support::WaitForInput;

constexpr int kWaitMs = 5000;

// A raw pseudo-terminal opened as a printer device. The test keeps a second
// descriptor of the slave side that holds the raw line settings.
struct PtyPrinter {
  PtyPair pty;
  int setup_fd = -1;
  std::unique_ptr<PrinterOpener> opener = MakeSystemPrinterOpener(SystemClock::Instance());
  std::unique_ptr<PrinterDevice> device;

  PtyPrinter() {
    if (pty.error() != 0) return;
    setup_fd = ::open(pty.slave_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio{};
    if (setup_fd < 0 || ::tcgetattr(setup_fd, &tio) != 0) return;
    ::cfmakeraw(&tio);
    ::tcsetattr(setup_fd, TCSANOW, &tio);
    int error = 0;
    device = opener->Open(pty.slave_path(), PrinterKind::kUsb, &error);
  }
  ~PtyPrinter() {
    device.reset();
    if (setup_fd >= 0) ::close(setup_fd);
  }
  int64_t Now() { return SystemClock::Instance().NowMs(); }
};

TEST(LinuxPrinterDeviceRealtime, OverlappedWriteAndRead) {
  PtyPrinter p;
  ASSERT_NE(p.device, nullptr);
  const uint8_t data[] = {'a', 'b', 'c'};
  TransferStart write = p.device->StartWrite(data, 3);
  EXPECT_EQ(write.state, TransferStart::kDone);
  EXPECT_EQ(write.count, 3u);
  EXPECT_EQ(p.pty.ReadMaster(3, kWaitMs), "abc");

  uint8_t buffer[8] = {};
  EXPECT_EQ(p.device->StartRead(buffer, 8).state, TransferStart::kPending);
  int64_t before = p.Now();
  EXPECT_EQ(p.device->Wait(Direction::kRead, 50), ETIMEDOUT);
  EXPECT_GE(p.Now() - before, 50);
  EXPECT_EQ(p.device->StartRead(buffer, 8).error, EBUSY) << "one pending read at a time";

  ASSERT_TRUE(p.pty.WriteMaster("hi"));
  EXPECT_EQ(p.device->Wait(Direction::kRead, kWaitMs), 0);
  IoResult read = p.device->Result(Direction::kRead);
  EXPECT_TRUE(read.ok);
  EXPECT_EQ(read.count, 2u);
  EXPECT_EQ(std::string(buffer, buffer + 2), "hi");
}

TEST(LinuxPrinterDeviceRealtime, ACancelledReadTouchesNoBuffer) {
  PtyPrinter p;
  ASSERT_NE(p.device, nullptr);
  uint8_t first[4] = {};
  EXPECT_EQ(p.device->StartRead(first, 4).state, TransferStart::kPending);
  p.device->Cancel();
  EXPECT_EQ(p.device->Wait(Direction::kRead, 10), EINVAL) << "nothing pending any more";

  ASSERT_TRUE(p.pty.WriteMaster("x"));
  ASSERT_TRUE(WaitForInput(p.device->Handle(), 1, kWaitMs));
  uint8_t second[4] = {};
  TransferStart read = p.device->StartRead(second, 4);
  EXPECT_EQ(read.state, TransferStart::kDone);
  EXPECT_EQ(read.count, 1u);
  EXPECT_EQ(second[0], 'x');
  EXPECT_EQ(first[0], 0);
}

TEST(LinuxPrinterDeviceRealtime, PlainTransfersKeepTheirTimeouts) {
  PtyPrinter p;
  ASSERT_NE(p.device, nullptr);
  ASSERT_EQ(p.device->SetTimeouts({0, 0, 100, 0, 100}), 0);
  uint8_t buffer[4];
  int64_t before = p.Now();
  IoResult nothing = p.device->Read(buffer, 4);
  EXPECT_TRUE(nothing.ok);
  EXPECT_EQ(nothing.count, 0u);
  EXPECT_GE(p.Now() - before, 100);
  EXPECT_LT(p.Now() - before, kWaitMs);

  ASSERT_TRUE(p.pty.WriteMaster("ok"));
  ASSERT_TRUE(WaitForInput(p.device->Handle(), 2, kWaitMs));
  IoResult some = p.device->Read(buffer, 4);
  EXPECT_EQ(some.count, 2u);

  const uint8_t data[] = {'z', 'z'};
  IoResult written = p.device->Write(data, 2);
  EXPECT_TRUE(written.ok);
  EXPECT_EQ(written.count, 2u);
  EXPECT_EQ(p.pty.ReadMaster(2, kWaitMs), "zz");
}

}  // namespace
}  // namespace velloquin
