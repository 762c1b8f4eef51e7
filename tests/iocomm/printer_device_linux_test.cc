// The Linux printer devices: what their status lines mean to the channel,
// and which names they open. A pseudo-terminal stands in for a printer
// device where a character device is needed.
#include <fcntl.h>
#include <linux/lp.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/printer_device.h"
#include "support/pty_pair.h"

namespace velloquin {
namespace {

using testing_support::PtyPair;

struct LinesCase {
  const char* what;
  int lines;
  uint8_t status;
};

TEST(LinuxPrinterDevice, ParallelStatusFromThePortLines) {
  constexpr int kWorking = LP_PBUSY | LP_PACK | LP_PSELECD | LP_PERRORP;
  const LinesCase cases[] = {
      {"on line, idle", kWorking, kParallelSelected},
      {"busy", kWorking & ~LP_PBUSY, kParallelSelected | kParallelBusy},
      {"out of paper", kWorking | LP_POUTPA, kParallelSelected | kParallelPaperEmpty},
      {"deselected", LP_PBUSY | LP_PACK | LP_PERRORP, kParallelOffLine},
      {"error line", LP_PBUSY | LP_PACK | LP_PSELECD, kParallelSelected | kParallelOffLine},
      {"nothing attached", LP_PACK | LP_POUTPA | LP_PSELECD | LP_PERRORP, kParallelNotConnected},
      {"switched off", 0, kParallelPowerOff},
      {"switched off, busy reads clear", LP_PBUSY, kParallelPowerOff},
      {"bits below the inputs are ignored", kWorking | 0x07, kParallelSelected},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ParallelStatusFromLines(c.lines), c.status) << c.what;
  }
}

TEST(LinuxPrinterDevice, OpensOnlyDevicesAndEachOnce) {
  auto opener = MakeSystemPrinterOpener(SystemClock::Instance());
  int error = 0;
  EXPECT_EQ(opener->Open("/dev/usb/lp-velloquin-missing", PrinterKind::kUsb, &error), nullptr);
  EXPECT_EQ(error, ENOENT);

  char file[] = "/tmp/velloquin-printer-XXXXXX";
  int fd = ::mkstemp(file);
  ASSERT_GE(fd, 0);
  ::close(fd);
  EXPECT_EQ(opener->Open(file, PrinterKind::kParallel, &error), nullptr);
  EXPECT_EQ(error, ENODEV) << "a plain file is no printer";
  ::unlink(file);

  PtyPair pty;
  ASSERT_EQ(pty.error(), 0);
  auto first = opener->Open(pty.slave_path(), PrinterKind::kUsb, &error);
  ASSERT_NE(first, nullptr) << error;
  EXPECT_GT(first->Handle(), 0);
  EXPECT_EQ(opener->Open(pty.slave_path(), PrinterKind::kUsb, &error), nullptr);
  EXPECT_EQ(error, EBUSY);
  EXPECT_EQ(first->Close(), 0);
  EXPECT_EQ(first->Close(), EBADF);
  auto again = opener->Open(pty.slave_path(), PrinterKind::kUsb, &error);
  EXPECT_NE(again, nullptr) << "free again once closed";
}

TEST(LinuxPrinterDevice, ADeviceWithoutPrinterStatus) {
  // A device that does not answer the printer status request is not ready,
  // but has not gone either.
  PtyPair pty;
  ASSERT_EQ(pty.error(), 0);
  auto opener = MakeSystemPrinterOpener(SystemClock::Instance());
  int error = 0;
  auto device = opener->Open(pty.slave_path(), PrinterKind::kUsb, &error);
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(device->UsbStatusRequest(), 1u);
  uint8_t status = 0;
  EXPECT_EQ(device->QueryParallelStatus(&status), ENOTTY);
  CommStatus port;
  EXPECT_EQ(device->GetStatus(&port), ENOTTY);
  device->Close();
  EXPECT_EQ(device->UsbStatusRequest(), 0u) << "a closed device has gone";
}

}  // namespace
}  // namespace velloquin
