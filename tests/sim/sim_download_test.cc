// The firmware download into the simulated printer: the baud shift, the
// stream with its XOFF and XON, the end of the stream, the flash write.
#include <gtest/gtest.h>

#include "bootloader/verification_file.h"
#include "sim/image_sums.h"
#include "sim/sim_station.h"

namespace velloquin::sim {
namespace {

using testing::HasMain;
using testing::SimStation;
using testing::TestImage;

TEST(SimDownload, ImageIsReceivedFlashedAndReportedWithTheSumsOfItsVerificationFile) {
  SimStation station("sim:flash_ms=8000");
  std::vector<uint8_t> image = TestImage(20000);
  station.Download(image);
  int64_t closed_at = station.Now();
  PrinterView printer = station.bench->Printer(1);
  EXPECT_EQ(printer.received_image, image);
  EXPECT_TRUE(printer.flashing);
  EXPECT_FALSE(printer.File("Main.sy_")) << "the stream erased the old main program";
  EXPECT_GE(station.Count(SimEventKind::kXoff), 1) << "6000 bytes/s is slower than the line";
  EXPECT_EQ(station.Count(SimEventKind::kXoff), station.Count(SimEventKind::kXon));
  EXPECT_EQ(station.Count(SimEventKind::kOverrun), 0);
  EXPECT_EQ(station.Last(SimEventKind::kDownloadEnd)->detail, "20000 bytes, port closed");

  std::string report = station.QueryInfo();
  EXPECT_FALSE(HasMain(report)) << "still writing the flash";
  EXPECT_NE(report.find("Flash: writing"), std::string::npos);

  // The flash write starts once the buffer is empty and takes 8 s.
  station.Wait(closed_at + 8000 - station.Now() - 1);
  EXPECT_EQ(station.bench->Printer(1).flash_count, 0);
  station.Wait(1000);
  printer = station.bench->Printer(1);
  EXPECT_EQ(printer.flash_count, 1);
  EXPECT_EQ(printer.File("Main.sy_"), image);

  report = station.QueryInfo();
  ASSERT_TRUE(HasMain(report)) << report;
  std::string verification =
      VerificationFileText("firmware.bot", image.size(), ComputeImageSums(image));
  std::string lower_report = LowerAscii(report);
  std::string lower_ver = LowerAscii(VerificationTextFromBytes(verification));
  for (const char* key : {"system crc", "control crc sum", "data crc sum", "total crc sum"}) {
    int32_t reported = 0, expected = 0;
    ASSERT_TRUE(FindSum(lower_report, key, &reported)) << key;
    ASSERT_TRUE(FindSum(lower_ver, key, &expected)) << key;
    EXPECT_EQ(reported, expected) << key;
  }
}

TEST(SimDownload, XoffWhenHalfFullAndXonWhenDownToAQuarter) {
  // 1024 bytes at 1000 bytes/s: 600 bytes at once fill it past 512.
  SimStation station("sim:buffer=1024,consume=1000,shift_ms=0,reply_ms=0");
  station.StartStream();
  int64_t start = station.Now();
  station.Send(std::vector<uint8_t>(600, 0x5A));
  station.ReadTimeouts(1000, 0, 0);
  EXPECT_EQ(station.Receive(1), std::vector<uint8_t>{kXoff});
  EXPECT_EQ(station.Last(SimEventKind::kXoff)->detail, "512 bytes buffered");
  // 600 bytes end at 57.3 ms; 344 bytes are consumed 344 ms after the first
  // arrived (0.1 ms); the XON takes 0.1 ms on the wire.
  EXPECT_EQ(station.Receive(1), std::vector<uint8_t>{kXon});
  EXPECT_EQ(station.Now() - start, 345);
  EXPECT_EQ(station.Count(SimEventKind::kOverrun), 0);
}

TEST(SimDownload, AFullBufferLosesBytes) {
  SimStation station("sim:buffer=64,consume=1,shift_ms=0");
  station.StartStream();
  station.Send(std::vector<uint8_t>(200, 0x5A));
  station.Settle();
  EXPECT_EQ(station.Count(SimEventKind::kOverrun), 1);
  EXPECT_EQ(station.bench->Printer(1).received_image.size(), 64u);
}

TEST(SimDownload, StreamEndsAfterTheIdleTimeWhenThePortStaysOpen) {
  SimStation station("sim:idle_ms=3000,flash_ms=1000,shift_ms=0");
  station.Open();
  station.Frame(kPrinterModeFrame);
  station.Send(BaudShiftCommand);
  station.Wait(10);
  station.Close();  // closing before the first byte does not end the stream
  station.Open();
  station.Frame(kDownloadFrame);
  station.Send(TestImage(100));
  station.Wait(2990);
  EXPECT_EQ(station.Count(SimEventKind::kDownloadEnd), 0);
  station.Wait(20);
  EXPECT_EQ(station.Last(SimEventKind::kDownloadEnd)->detail, "100 bytes, line idle");
  station.Wait(1000);
  EXPECT_EQ(station.bench->Printer(1).File("Main.sy_"), TestImage(100));
}

TEST(SimDownload, BytesAtTheBootLoaderFrameAreGarbledIntoTheImage) {
  SimStation station("sim:shift_ms=0");
  station.Open();
  station.Frame(kPrinterModeFrame);
  station.Send(BaudShiftCommand);
  station.Wait(10);
  station.Frame(kBootLoaderFrame);  // one stop bit short of the download's 8N2
  std::vector<uint8_t> image = TestImage(50);
  station.Send(image);
  station.Settle();
  std::vector<uint8_t> received = station.bench->Printer(1).received_image;
  ASSERT_EQ(received.size(), image.size());
  for (size_t i = 0; i < image.size(); ++i) EXPECT_NE(received[i], image[i]) << i;
}

TEST(SimDownload, NoShiftOutsideBootLoadModeOrWhileTheFlashIsWritten) {
  SimStation normal("sim:mode=normal");
  normal.Open();
  normal.Frame(kPrinterModeFrame);
  normal.Send(BaudShiftCommand);
  normal.Settle();
  EXPECT_EQ(normal.Count(SimEventKind::kBaudShift), 0);
  EXPECT_EQ(normal.Last(SimEventKind::kIgnored)->detail, "baud shift outside boot-load mode");

  SimStation busy("sim:flash_ms=60000");
  busy.Download(TestImage(10));
  busy.Reopen(kPrinterModeFrame);
  busy.Send(BaudShiftCommand);
  busy.Settle();
  EXPECT_EQ(busy.Last(SimEventKind::kIgnored)->detail, "baud shift while writing the flash");
}

TEST(SimDownload, WithoutAStreamThePrinterGivesTheDownloadUpAfterAMinute) {
  SimStation station("sim:");
  station.Open();
  station.Frame(kPrinterModeFrame);
  station.Send(BaudShiftCommand);
  station.Wait(60200);
  EXPECT_EQ(station.Last(SimEventKind::kIgnored)->detail,
            "no firmware stream after the baud shift");
  station.ReadTimeouts(200, 0, 20);
  station.Send(BootModeCheck);
  EXPECT_EQ(station.Receive(20), std::vector<uint8_t>{'P'});
}

}  // namespace
}  // namespace velloquin::sim
