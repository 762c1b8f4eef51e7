// The line model of the simulated adapter, driven through raw device calls.
#include <gtest/gtest.h>

#include <cerrno>

#include "sim/sim_bench.h"
#include "sim/sim_station.h"

namespace velloquin::sim {
namespace {

using testing::SimStation;

// A bench whose printer never arrives: the line alone.
constexpr char kNoPrinter[] = "sim:arrive_ms=1000000000";

struct WireCase {
  LineFrame frame;
  uint32_t bytes;
  int64_t total_ms;  // exact wire time of the bytes
};

class SimLineWireTime : public ::testing::TestWithParam<WireCase> {};

TEST_P(SimLineWireTime, BytesLeaveTheQueueAtWireSpeed) {
  const WireCase& c = GetParam();
  SimStation station(kNoPrinter);
  station.Open();
  station.Frame(c.frame);
  EXPECT_EQ(station.Send(std::vector<uint8_t>(c.bytes, 0x55)), c.bytes);
  EXPECT_EQ(station.Now(), 0) << "a write that fits returns at once";
  EXPECT_EQ(station.Status().out_queue, c.bytes);
  station.Wait(c.total_ms / 2);
  EXPECT_EQ(station.Status().out_queue, c.bytes / 2);
  station.Wait(c.total_ms / 2 - 1);
  EXPECT_GT(station.Status().out_queue, 0u);
  station.Wait(1);
  EXPECT_EQ(station.Status().out_queue, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, SimLineWireTime,
    ::testing::Values(WireCase{kPrinterModeFrame, 1920, 1100},   // 11 bits at 19200
                      WireCase{kBootLoaderFrame, 1152, 100},     // 10 bits at 115200
                      WireCase{kDownloadFrame, 2304, 220},       // 11 bits at 115200
                      WireCase{{9600, 8, kEvenParity, kOneStopBit}, 960, 1100},
                      WireCase{{9600, 7, kNoParity, kOne5StopBits}, 1920, 1900}));

TEST(SimLine, WriteWaitsForRoomInTheTransmitQueue) {
  SimStation station(kNoPrinter);
  station.Open();
  station.Frame(kPrinterModeFrame);
  // 6000 bytes: 4096 fit, the rest waits until 1904 bytes (1090.8 ms) are out.
  EXPECT_EQ(station.Send(std::vector<uint8_t>(6000, 1)), 6000u);
  EXPECT_EQ(station.Now(), 1091);
  EXPECT_EQ(station.Status().out_queue, 4096u);
}

TEST(SimLine, WriteTimeOutReturnsThePartialCount) {
  SimStation station(kNoPrinter);
  station.Open();
  station.Frame(kPrinterModeFrame);
  CommTimeoutValues timeouts;
  timeouts.write_total_constant = 500;
  ASSERT_EQ(station.port->SetTimeouts(timeouts), 0);
  std::vector<uint8_t> data(6000, 1);
  IoResult result = station.port->Write(data.data(), 6000);
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(result.count, 4096u + 872u);  // 872 bytes leave in 500 ms at 19200 8N2
  EXPECT_EQ(station.Now(), 500);
}

TEST(SimLine, CloseWaitsUntilTheQueueHasDrained) {
  SimStation station(kNoPrinter);
  station.Open();
  station.Frame(kPrinterModeFrame);
  station.Send(std::vector<uint8_t>(1920, 1));
  station.Close();
  EXPECT_EQ(station.Now(), 1100);
}

TEST(SimLine, ReadTimeOutsHaveTheirCommTimeoutsMeaning) {
  SimStation station(kNoPrinter);
  station.Open();
  station.ReadTimeouts(300, 10, 0);
  EXPECT_TRUE(station.Receive(5).empty());
  EXPECT_EQ(station.Now(), 350) << "total = constant + multiplier x bytes asked for";
  station.ReadTimeouts(0, 0, 0xFFFFFFFF);
  EXPECT_TRUE(station.Receive(5).empty());
  EXPECT_EQ(station.Now(), 350) << "interval MAXDWORD with no totals returns at once";
}

TEST(SimLine, ReadEndsAtTheIntervalAfterTheLastByteOrAtTheTotal) {
  struct Case {
    uint32_t interval;
    int64_t returns_at_ms;
  } cases[] = {{20, 24}, {0, 1000}};
  for (const Case& c : cases) {
    SimStation station("sim:");
    station.Open();
    station.Frame(kPrinterModeFrame);
    station.ReadTimeouts(1000, 0, c.interval);
    station.Send(BootModeCheck);
    // 3 bytes (1.72 ms), 1 ms to answer, 'P' (0.57 ms): here at 3.29 ms.
    EXPECT_EQ(station.Receive(20), std::vector<uint8_t>{'P'});
    EXPECT_EQ(station.Now(), c.returns_at_ms) << "interval " << c.interval;
  }
}

TEST(SimLine, BytesAtAFrameTheOtherSideDoesNotListenAtArriveGarbled) {
  // The station's side: a printer that talks without end at 19200 8N2.
  SimStation station("sim:fault=chatter");
  station.Open();
  station.Frame(kPrinterModeFrame);
  station.ReadTimeouts(100, 0, 0);
  std::vector<uint8_t> clean = station.Receive(8);
  EXPECT_EQ(std::string(clean.begin(), clean.end()), "STATUS: ");
  EXPECT_EQ(station.Status().errors & kCeFrame, 0u);
  for (const LineFrame& wrong : {kBootLoaderFrame, LineFrame{19200, 8, kEvenParity, kTwoStopBits},
                                 LineFrame{19200, 7, kNoParity, kTwoStopBits}}) {
    station.Frame(wrong);
    station.Receive(4096);  // what came at the old frame
    station.Status();
    std::vector<uint8_t> garbled = station.Receive(16);
    ASSERT_EQ(garbled.size(), 16u);
    std::vector<uint8_t> again = station.Receive(16);
    EXPECT_NE(garbled, again) << "garbage follows the text, byte for byte";
    EXPECT_EQ(std::string(garbled.begin(), garbled.end()).find("STATUS"), std::string::npos);
    EXPECT_NE(station.Status().errors & kCeFrame, 0u);
  }

  // The printer's side: a check sent at 8N1 (one stop bit short) or with
  // parity is not heard as a check.
  for (const LineFrame& wrong : {LineFrame{19200, 8, kNoParity, kOneStopBit},
                                 LineFrame{19200, 8, kOddParity, kTwoStopBits},
                                 LineFrame{9600, 8, kNoParity, kTwoStopBits}}) {
    SimStation printer_side("sim:");
    printer_side.Open();
    printer_side.Frame(wrong);
    printer_side.ReadTimeouts(200, 0, 0);
    printer_side.Send(BootModeCheck);
    EXPECT_TRUE(printer_side.Receive(20).empty());
    EXPECT_EQ(printer_side.Count(SimEventKind::kGarbled), 1);
    EXPECT_EQ(printer_side.Count(SimEventKind::kBootModeCheck), 0);
  }
}

TEST(SimLine, TheSameGarbageEveryRun) {
  std::vector<uint8_t> first;
  for (int run = 0; run < 2; ++run) {
    SimStation station("sim:fault=chatter");
    station.Open();
    station.Frame(kBootLoaderFrame);
    station.ReadTimeouts(100, 0, 0);
    std::vector<uint8_t> bytes = station.Receive(32);
    if (run == 0) first = bytes;
    EXPECT_EQ(bytes, first);
  }
}

TEST(SimLine, OpenIsExclusiveAndAClosedDeviceRefusesEveryCall) {
  SimStation station("sim:");
  station.Open();
  int error = 0;
  EXPECT_EQ(station.bench->Open(&error), nullptr);
  EXPECT_EQ(error, EBUSY);
  ASSERT_EQ(station.port->Close(), 0);
  uint32_t status = 0;
  uint8_t byte = 0;
  CommConfigRecord config;
  CommStatus comm;
  EXPECT_EQ(station.port->Close(), EBADF);
  EXPECT_EQ(station.port->GetModemStatus(&status), EBADF);
  EXPECT_EQ(station.port->Read(&byte, 1).error, EBADF);
  EXPECT_EQ(station.port->Write(&byte, 1).error, EBADF);
  EXPECT_EQ(station.port->GetConfig(&config), EBADF);
  EXPECT_EQ(station.port->GetStatus(&comm), EBADF);
  EXPECT_EQ(station.port->EscapeFunction(LineFunction::kSetDtr), EBADF);
  std::unique_ptr<SerialDevice> again = station.bench->Open(&error);
  ASSERT_NE(again, nullptr);
  EXPECT_NE(again->Handle(), station.port->Handle());
}

TEST(SimLine, AnUnpluggedAdapterOpensButShowsNoPrinter) {
  SimStation station(kNoPrinter);
  station.Open();
  station.Frame(kPrinterModeFrame);
  EXPECT_EQ(station.Modem() & kModemDsrOn, 0u);
  station.ReadTimeouts(200, 0, 0);
  station.Send(BootModeCheck);
  EXPECT_TRUE(station.Receive(20).empty());
}

TEST(SimLine, UnsupportedSpeedOrFrameIsRefused) {
  SimStation station(kNoPrinter);
  station.Open();
  CommConfigRecord config;
  ASSERT_EQ(station.port->GetConfig(&config), 0);
  EXPECT_EQ(config.dcb.baud_rate, 9600u);
  for (auto change : {+[](Dcb* d) { d->baud_rate = 12345; }, +[](Dcb* d) { d->byte_size = 9; },
                      +[](Dcb* d) { d->parity = 7; }, +[](Dcb* d) { d->stop_bits = 3; }}) {
    CommConfigRecord bad = config;
    change(&bad.dcb);
    EXPECT_EQ(station.port->SetConfig(bad), EINVAL);
  }
}

TEST(SimLine, ModemLinesShowThePrinterAndTheButton) {
  SimStation station("sim:");
  station.Open();
  EXPECT_EQ(station.Modem(), kModemDsrOn);
  station.bench->SetButton(true);
  EXPECT_EQ(station.Modem(), kModemDsrOn | kModemCtsOn);
  station.bench->Unplug();
  EXPECT_EQ(station.Modem(), kModemCtsOn);
  station.bench->SetButton(false);
  EXPECT_EQ(station.Modem(), 0u);
}

TEST(SimLine, ControlLinesAndLineSettingsAreRecordedWithTheirTimes) {
  SimStation station("sim:");
  station.Wait(10);
  station.Open();  // a tty raises DTR and RTS
  station.Wait(5);
  station.Frame(kPrinterModeFrame);  // DTR and RTS enabled: no change
  CommConfigRecord config;
  station.port->GetConfig(&config);
  config.dcb.flags = kDcbBinary;  // both disabled: SetCommState lowers them
  station.port->SetConfig(config);
  station.Wait(5);
  station.Dtr(true);
  station.Dtr(true);
  station.Wait(7);
  ASSERT_EQ(station.port->EscapeFunction(LineFunction::kSetRts), 0);
  station.Close();

  struct Expected {
    int64_t ms;
    ControlLine line;
    bool on;
    LineCause cause;
  } expected[] = {
      {10, ControlLine::kDtr, true, LineCause::kOpen},
      {10, ControlLine::kRts, true, LineCause::kOpen},
      {15, ControlLine::kDtr, false, LineCause::kConfig},
      {15, ControlLine::kRts, false, LineCause::kConfig},
      {20, ControlLine::kDtr, true, LineCause::kEscape},
      {20, ControlLine::kDtr, true, LineCause::kEscape},
      {27, ControlLine::kRts, true, LineCause::kEscape},
      {27, ControlLine::kDtr, false, LineCause::kClose},
      {27, ControlLine::kRts, false, LineCause::kClose},
  };
  std::vector<LineLevelChange> levels = station.bench->LineLevels();
  ASSERT_EQ(levels.size(), std::size(expected));
  for (size_t i = 0; i < levels.size(); ++i) {
    EXPECT_EQ(levels[i].t_ns, expected[i].ms * kNsPerMs) << i;
    EXPECT_EQ(levels[i].line, expected[i].line) << i;
    EXPECT_EQ(levels[i].on, expected[i].on) << i;
    EXPECT_EQ(levels[i].cause, expected[i].cause) << i;
  }
  std::vector<LineSettingsChange> settings = station.bench->LineSettings();
  ASSERT_EQ(settings.size(), 2u);
  EXPECT_EQ(settings[0].t_ns, 15 * kNsPerMs);
  EXPECT_EQ(settings[0].frame, kPrinterModeFrame);
  EXPECT_EQ(settings[1].dcb_flags, kDcbBinary);
}

TEST(SimLine, XonXoffOutputControlHoldsTheQueueWhileThePrinterSentXoff) {
  // A 64-byte buffer consumed at 1 byte/s: XOFF after 32 stream bytes, and
  // XON only 16 s later. With fOutX the driver itself stops sending.
  SimStation station("sim:buffer=64,consume=1,shift_ms=0");
  station.StartStream();
  CommConfigRecord config;
  station.port->GetConfig(&config);
  config.dcb.Set(kDcbOutX);
  station.port->SetConfig(config);
  station.Send(std::vector<uint8_t>(100, 0xA5));
  station.Wait(50);
  CommStatus status = station.Status();
  EXPECT_NE(status.hold & kHoldXoffHold, 0u);
  EXPECT_EQ(status.in_queue, 0u) << "the driver takes XOFF out of the input";
  EXPECT_GT(status.out_queue, 0u);
  uint32_t held = status.out_queue;
  station.Wait(1000);
  EXPECT_EQ(station.Status().out_queue, held);
}

}  // namespace
}  // namespace velloquin::sim
