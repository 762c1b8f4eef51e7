#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>

#include "iocomm/io_comm.h"
#include "support/device_channel_fixture.h"

namespace velloquin {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing_support::Bytes;
using testing_support::DeviceChannelFixture;
using testing_support::FakePrinter;
using testing_support::kChannelKey;

constexpr OsVersion kNt10{true, 10};
constexpr OsVersion kNt5{true, 5};
constexpr OsVersion kWin9x{false, 4};

// ---- USB ----

TEST(UsbPort, OpensTheDeviceForOverlappedTransfers) {
  DeviceChannelFixture f;
  f.printer->timeouts_error = EINVAL;  // a USB printer driver may refuse them
  auto channel = f.OpenUsb();
  ASSERT_TRUE(channel->IsOpen());
  EXPECT_EQ(channel->GetPortType(), Usb);
  EXPECT_THAT(f.printer->opened_kinds, ElementsAre(PrinterKind::kUsb));
  EXPECT_THAT(f.log.Entries(), IsEmpty());
  EXPECT_EQ(channel->GetLineStatus(), LineConnected);
  EXPECT_EQ(channel->ClearDtr(0), 0) << "no control lines on a printer device";
}

TEST(UsbPort, RefusedSerialConfigurationReopensTheDeviceAsUsb) {
  DeviceChannelFixture f;
  f.port->config_error = EINVAL;
  f.printers.Add("/dev/ttyS0", f.printer);
  auto channel = f.NewChannel();
  EXPECT_NE(channel->OpenPort("COM1:", "baud=19200 parity=N data=8 stop=2", 0), 0);
  EXPECT_EQ(channel->GetPortType(), Usb);
  EXPECT_FALSE(f.port->is_open) << "the serial handle is closed first";
  EXPECT_THAT(f.printer->opened_kinds, ElementsAre(PrinterKind::kUsb));
  EXPECT_THAT(f.log.Entries(), IsEmpty()) << "the refusal is not logged";
  const uint8_t data[] = {1, 2};
  EXPECT_EQ(channel->Output(data, 2), 1);
  EXPECT_EQ(f.printer->AllWritten(), (Bytes{1, 2}));
}

struct StatusCountCase {
  uint32_t count;
  int ready;
  int pending;  // InputPending
  bool open_after;
};

TEST(UsbPort, ReadinessFromTheStatusRequestCount) {
  const StatusCountCase cases[] = {
      {2, 1, 0, true},
      {1, 0, -2, true},
      {0, 0, -2, false},  // the device has gone: closed
  };
  for (const auto& c : cases) {
    DeviceChannelFixture f;
    auto channel = f.OpenUsb();
    f.printer->status_counts = {c.count};
    EXPECT_EQ(channel->IsReady(), c.ready) << c.count;
    EXPECT_EQ(channel->IsOpen(), c.open_after) << c.count;
    EXPECT_EQ(channel->InputPending(), c.open_after ? c.pending : 0) << c.count;
  }
}

TEST(UsbPort, AVanishedDeviceFailsTheNextOutputAtOnce) {
  DeviceChannelFixture f;
  auto channel = f.OpenUsb();
  f.printer->status_counts = {0};
  const uint8_t data[] = {1};
  EXPECT_EQ(channel->Output(data, 1), 0);
  EXPECT_FALSE(channel->IsOpen());
  EXPECT_EQ(channel->Output(data, 1), 0);
  EXPECT_THAT(f.printer->writes, IsEmpty());
  EXPECT_EQ(channel->GetLineStatus(), 0u);
  EXPECT_THAT(f.log.Entries(), IsEmpty());
}

TEST(UsbPort, AVanishedDeviceClosesOnceEvenWithAnEndString) {
  // Closing sends the end string, whose readiness test finds the device
  // gone and closes it from inside that Close.
  DeviceChannelFixture f;
  f.settings.SetDword(kChannelKey, "DoExtra", 1);
  f.settings.SetBinary(kChannelKey, "End", {'E'});
  auto channel = f.OpenUsb();
  f.printer->status_counts = {0};
  EXPECT_EQ(channel->IsReady(), 0);
  EXPECT_FALSE(channel->IsOpen());
  EXPECT_EQ(f.printer->closes, 1);
  EXPECT_THAT(f.printer->writes, IsEmpty());
  EXPECT_EQ(channel->DoExtra, 1u);
  EXPECT_EQ(f.clock.NowMs(), 500) << "the end string's pause";
}

struct UsbWriteCase {
  const char* what;
  int start_error;
  int64_t delay_ms;  // < 0: at once
  int result_error;
  int output;
  const char* logged;  // nullptr: nothing
  int64_t elapsed_ms;
  int cancels;
};

TEST(UsbPort, OverlappedWrites) {
  const UsbWriteCase cases[] = {
      {"at once", 0, -1, 0, 1, nullptr, 0, 0},
      {"pending, done in 4 s", 0, 4000, 0, 1, nullptr, 4000, 0},
      {"pending, done at 5 s", 0, 5000, 0, 1, nullptr, 5000, 0},
      {"pending past 5 s", 0, 5001, 0, 0, "IOComm::Output() failed, GetLastError() returned: 110",
       5000, 1},
      {"refused at once", EIO, -1, 0, 0, "IOComm::Output() failed, GetLastError() returned: 5", 0,
       0},
      {"completed with an error", 0, 100, EPIPE, 0,
       "IOComm::Output() failed, GetLastError() returned: 32", 100, 0},
  };
  for (const auto& c : cases) {
    DeviceChannelFixture f;
    auto channel = f.OpenUsb();
    f.printer->write_start_error = c.start_error;
    f.printer->write_delay_ms = c.delay_ms;
    f.printer->write_result_error = c.result_error;
    const uint8_t data[] = {'a', 'b', 'c'};
    int64_t before = f.clock.NowMs();
    EXPECT_EQ(channel->Output(data, 3), c.output) << c.what;
    EXPECT_EQ(f.clock.NowMs() - before, c.elapsed_ms) << c.what;
    EXPECT_EQ(f.printer->cancels, c.cancels) << c.what;
    if (c.output) {
      EXPECT_EQ(f.printer->AllWritten(), (Bytes{'a', 'b', 'c'})) << c.what;
      EXPECT_EQ(channel->LastOutputCount, 3) << c.what;
    }
    if (c.delay_ms >= 0 && c.start_error == 0) {
      EXPECT_THAT(f.printer->write_waits, ElementsAre(5000)) << c.what;
    }
    if (c.logged) {
      EXPECT_THAT(f.log.Entries(), ElementsAre(c.logged)) << c.what;
    } else {
      EXPECT_THAT(f.log.Entries(), IsEmpty()) << c.what;
    }
  }
}

TEST(UsbPort, ReadWaitGrowsWithUpToTenBytes) {
  const std::pair<int, int> cases[] = {{20, 700}, {10, 700}, {5, 500}, {1, 340}};
  for (auto [size, wait] : cases) {
    DeviceChannelFixture f;
    auto channel = f.OpenUsb();
    uint8_t buffer[20];
    int64_t before = f.clock.NowMs();
    EXPECT_EQ(channel->Input(buffer, size), 0);
    EXPECT_EQ(f.clock.NowMs() - before, wait) << size;
    EXPECT_THAT(f.printer->read_waits, ElementsAre(wait)) << size;
    EXPECT_EQ(f.printer->cancels, 1) << size;
    EXPECT_EQ(f.backoff.input.failures, 1) << "a USB read that times out counts";
  }
}

TEST(UsbPort, AShortReadAsksForItsRest) {
  DeviceChannelFixture f;
  auto channel = f.OpenUsb();
  f.printer->read_chunks = {{100, {1, 2, 3, 4, 5}}, {200, {6, 7, 8, 9, 10, 11, 12, 13, 14, 15}}};
  uint8_t buffer[20] = {};
  int64_t before = f.clock.NowMs();
  EXPECT_EQ(channel->Input(buffer, 20), 15);
  EXPECT_EQ(buffer[0], 1);
  EXPECT_EQ(buffer[14], 15);
  EXPECT_THAT(f.printer->read_sizes, ElementsAre(20, 15, 5));
  // 100 + 200, then the rest of 5 bytes is waited for in vain (5 x 40 + 300).
  EXPECT_EQ(f.clock.NowMs() - before, 800);
  EXPECT_EQ(f.backoff.input.failures, 0) << "the read itself succeeded";
}

TEST(UsbPort, AReadDoneAtOnceDoesNotAskForMore) {
  DeviceChannelFixture f;
  auto channel = f.OpenUsb();
  f.printer->read_chunks = {{0, {'P'}}};
  uint8_t buffer[10];
  EXPECT_EQ(channel->Input(buffer, 10), 1);
  EXPECT_THAT(f.printer->read_sizes, ElementsAre(10));
}

TEST(UsbPort, RestOfAReadLargerThan2000BytesFitsTheBuffer) {
  DeviceChannelFixture f;
  auto channel = f.OpenUsb();
  Bytes tail(4990);
  for (size_t i = 0; i < tail.size(); ++i) tail[i] = static_cast<uint8_t>(i * 7);
  f.printer->read_chunks = {{10, Bytes(10, 0xEE)}, {10, tail}};
  Bytes buffer(5000, 0);
  EXPECT_EQ(channel->Input(buffer.data(), 5000), 5000);
  EXPECT_TRUE(std::equal(tail.begin(), tail.end(), buffer.begin() + 10));
  EXPECT_THAT(f.printer->read_sizes, ElementsAre(5000, 4990));
}

TEST(UsbPort, DeviceUnpluggedMidReadKeepsWhatCame) {
  DeviceChannelFixture f;
  auto channel = f.OpenUsb();
  f.printer->read_chunks = {{50, {1, 2, 3}}, {10, {}, ENODEV}};
  uint8_t buffer[8];
  EXPECT_EQ(channel->Input(buffer, 8), 3);
  EXPECT_EQ(f.backoff.input.failures, 0);
}

TEST(UsbPort, ATricklingDeviceEndsTheReadAfter100FurtherReads) {
  DeviceChannelFixture f;
  auto channel = f.OpenUsb();
  for (int i = 0; i < 150; ++i) f.printer->read_chunks.push_back({1, {static_cast<uint8_t>(i)}});
  Bytes buffer(500);
  EXPECT_EQ(channel->Input(buffer.data(), 500), 101);
  EXPECT_EQ(buffer[100], 100);
  EXPECT_EQ(f.printer->read_sizes.size(), 101u);
}

TEST(UsbPort, WaitDrainPausesThenPollsWhileNotReady) {
  DeviceChannelFixture f;
  auto channel = f.OpenUsb();
  f.printer->status_counts = {1, 1, 1, 2};
  int64_t before = f.clock.NowMs();
  EXPECT_EQ(channel->WaitDrain(2000), 0);
  EXPECT_EQ(f.clock.NowMs() - before, 20 + 3 * 10);
}

// ---- Parallel ----

TEST(ParallelPort, OpensLptNamesWithAColonAndPlainTransfers) {
  DeviceChannelFixture f;
  auto channel = f.OpenParallel();
  ASSERT_TRUE(channel->IsOpen());
  EXPECT_EQ(channel->GetPortType(), Parallel);
  EXPECT_THAT(f.printers.opened_names, ElementsAre("/dev/lp0"));
  EXPECT_THAT(f.printer->opened_kinds, ElementsAre(PrinterKind::kParallel));
  EXPECT_THAT(f.printer->timeouts, ElementsAre(CommTimeoutValues{500, 40, 300, 30, 300}));
}

TEST(ParallelPort, RefusedTimeoutsAreIgnoredOnlyOnTheNtFamily) {
  for (OsVersion os : {kNt10, kWin9x}) {
    DeviceChannelFixture f;
    f.printer->timeouts_error = EINVAL;
    auto channel = f.OpenParallel(os);
    EXPECT_EQ(channel->IsOpen(), os.nt_family);
    if (os.nt_family) {
      EXPECT_THAT(f.log.Entries(), IsEmpty());
    } else {
      EXPECT_THAT(f.log.Entries(),
                  ElementsAre("SetCommTimeouts(IOHandle, ....) failed, GetLastError() returned: 22"));
      EXPECT_FALSE(f.printer->is_open);
    }
  }
}

struct ParallelCase {
  OsVersion os;
  std::deque<int> statuses;  // successive status bytes; -1: the request fails
  int ready;
  uint32_t lines;
  int64_t busy_ms;  // time each of IsReady and GetLineStatus takes
};

TEST(ParallelPort, ReadinessAndLinesFromTheStatusByteOnTheNtFamily) {
  const ParallelCase cases[] = {
      {kNt10, {0x80}, 1, LineConnected | LineSelected, 0},
      {kNt10, {0x00}, 0, LineConnected, 0},
      {kNt10, {0x04}, 0, LinePaperEmpty, 0},
      {kNt10, {0x44}, 0, LinePaperEmpty | LineBusy, 0},
      {kNt5, {0x00}, 1, LineConnected, 0},
      {kNt5, {0x04}, 1, LineConnected, 0},
      {kNt5, {0x44}, 1, LineConnected, 0},
      {kNt5, {0x80}, 1, LineConnected | LineSelected, 0},
      {kNt10, {0x88}, 0, 0x900, 0},
      {kNt10, {0x90}, 0, LineSelected | LinePowerOff, 0},
      {kNt10, {0xA0}, 0, LineSelected | LineNotConnected, 0},
      {kNt10, {0x84}, 0, LineSelected | LinePaperEmpty, 0},
      {kNt10, {0xC0}, 0, 0x300, 300},  // stays busy
      {kNt10, {0xC0, 0xC0, 0x80}, 1, LineConnected | LineSelected, 60},
      {kNt10, {0xC0, -1, 0xC0, 0x80}, 1, LineConnected | LineSelected, 90},  // a failed reading
      {kNt10, {0xC0, 0xC8}, 0, 0xB00, 300},  // busy and now off line too
      {kNt10, {-1}, 1, 0, 0},                // the request fails
  };
  for (const auto& c : cases) {
    for (bool lines : {false, true}) {
      DeviceChannelFixture f;
      auto channel = f.OpenParallel(c.os);
      f.printer->parallel_status = c.statuses;
      int64_t before = f.clock.NowMs();
      if (lines) {
        EXPECT_EQ(channel->GetLineStatus(), c.lines)
            << "major " << c.os.major << " status " << std::hex << c.statuses.front();
      } else {
        EXPECT_EQ(channel->IsReady(), c.ready)
            << "major " << c.os.major << " status " << std::hex << c.statuses.front();
      }
      EXPECT_EQ(f.clock.NowMs() - before, c.busy_ms) << std::hex << c.statuses.front();
    }
  }
}

struct ErrorWordCase {
  uint32_t errors;
  int status_error;
  int ready;
  uint32_t lines;
};

TEST(ParallelPort, ReadinessAndLinesFromTheErrorWordOnThe9xFamily) {
  const ErrorWordCase cases[] = {
      {0, 0, 1, LineConnected | LineSelected},
      {kCommErrorDeviceNotSelected, 0, 0, 0},
      {kCommErrorOutOfPaper, 0, 0, 0x2100},
      {kCommErrorDeviceNotSelected | kCommErrorOutOfPaper, 0, 0, LinePaperEmpty},
      {0x0001, 0, 1, LineConnected | LineSelected},  // other errors do not matter
      {0, EIO, 1, 0},
  };
  for (const auto& c : cases) {
    DeviceChannelFixture f;
    auto channel = f.OpenParallel(kWin9x);
    f.printer->comm_status.errors = c.errors;
    f.printer->comm_status_error = c.status_error;
    EXPECT_EQ(channel->IsReady(), c.ready) << std::hex << c.errors;
    EXPECT_EQ(channel->GetLineStatus(), c.lines) << std::hex << c.errors;
    EXPECT_EQ(f.printer->parallel_queries, 0);
  }
}

TEST(ParallelPort, OutputQueueAndDrainByFamily) {
  DeviceChannelFixture f;
  auto nt = f.OpenParallel(kNt10);
  EXPECT_EQ(nt->InputPending(), -1);
  int64_t before = f.clock.NowMs();
  EXPECT_EQ(nt->WaitDrain(50000), -1);
  EXPECT_EQ(f.clock.NowMs() - before, 20) << "a fiftieth of the polls, 10 ms each";
  nt->Close();

  auto win9x = f.OpenParallel(kWin9x);
  f.printer->comm_status.out_queue = 7;
  EXPECT_EQ(win9x->InputPending(), 7);
  f.printer->comm_status_error = EIO;
  EXPECT_EQ(win9x->InputPending(), 200);
  EXPECT_THAT(f.log.Entries(), ElementsAre("IOComm::InputPending(): ClearCommError() failed"));
}

TEST(ParallelPort, ReopensBeforeTheFirstWriteAfterARead) {
  DeviceChannelFixture f;
  f.settings.SetDword(kChannelKey, "DoExtra", 1);
  f.settings.SetBinary(kChannelKey, "Start", {'S'});
  f.settings.SetBinary(kChannelKey, "End", {'E'});
  auto channel = f.OpenParallel();
  f.printer->plain_input = {'r'};
  uint8_t buffer[1];
  EXPECT_EQ(channel->Input(buffer, 1), 1);
  const uint8_t data[] = {'d'};
  EXPECT_EQ(channel->Output(data, 1), 1);
  EXPECT_EQ(channel->Output(data, 1), 1);
  EXPECT_EQ(f.printer->opens, 2) << "one reopen, for the first write only";
  EXPECT_EQ(f.printer->closes, 1);
  EXPECT_EQ(f.printer->AllWritten(), (Bytes{'S', 'E', 'S', 'd', 'd'}));
}

TEST(ParallelPort, ReadTimeoutIsNoFailureForTheBackoff) {
  DeviceChannelFixture f;
  auto channel = f.OpenParallel();
  uint8_t buffer[4];
  for (int i = 0; i < 5; ++i) EXPECT_EQ(channel->Input(buffer, 4), 0);
  EXPECT_EQ(f.backoff.input.failures, 0);
  EXPECT_EQ(f.printer->opens, 1);
  EXPECT_EQ(channel->LastError, "IOComm::Input() failed, GetLastError() returned: 0");
}

TEST(ParallelPort, FailedWritesReconnectFromTheFourth) {
  DeviceChannelFixture f;
  auto channel = f.OpenParallel();
  f.printer->plain_write_error = EIO;
  const uint8_t data[] = {1};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(channel->Output(data, 1), 0);
  EXPECT_EQ(f.printer->opens, 2);
  EXPECT_EQ(f.log.Entries().back(), "IOComm::Output() failed, GetLastError() returned: 5");
}

}  // namespace
}  // namespace velloquin
