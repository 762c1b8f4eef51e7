#include "iocomm/io_comm.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>

#include "support/channel_fixture.h"

namespace velloquin {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing_support::Bytes;
using testing_support::ChannelFixture;

struct KindCase {
  const char* name;
  PortType kind;
};

TEST(IOComm, DetectsTheKindFromTheName) {
  const KindCase cases[] = {
      {"COM3", Serial},           {"com3:", Serial},
      {"\\\\.\\COM12", Serial},   {"LPT1", Parallel},
      {"LPT12", Parallel},        {"LPT123", Usb},
      {"10.0.0.5:9100", Tcp},     {"IP_10.0.0.5", Tcp},
      {"1.2.3.4", Usb},           {"USB001", Usb},
      {"/dev/ttyUSB0", Serial},   {"/dev/serial/by-id/usb-Adapter_1.0-port0", Serial},
      {"/dev/usb/lp0", Usb},      {"/dev/lp0", Parallel},
      {"sim:mode=boot,id=1", Serial}, {"rfc2217://127.0.0.1:4001", Serial},
  };
  ChannelFixture f;
  auto channel = f.NewChannel();
  for (const auto& c : cases) {
    channel->PortName = c.name;
    channel->DetectPortType();
    EXPECT_EQ(channel->GetPortType(), c.kind) << c.name;
  }
}

struct NameCase {
  const char* given;
  const char* port_name;  // PortName after OpenPort
  const char* device;     // what the opener was asked for
};

TEST(IOComm, OpenPortAdjustsComNamesAndResolvesTheDevice) {
  const NameCase cases[] = {
      {"COM1:", "\\\\.\\COM1", "/dev/ttyS0"},
      {"COM12:", "\\\\.\\COM12", "/dev/ttyS11"},
      {"com3", "\\\\.\\com3", "/dev/ttyS2"},
      {"\\\\.\\COM4", "\\\\.\\COM4", "/dev/ttyS3"},
      {"/dev/ttyUSB0", "/dev/ttyUSB0", "/dev/ttyUSB0"},
  };
  for (const auto& c : cases) {
    ChannelFixture f;
    f.opener.Add(c.device, f.port);
    auto channel = f.NewChannel();
    f.opener.opened_names.clear();
    EXPECT_NE(channel->OpenPort(c.given, "baud=19200 parity=N data=8 stop=2", 0), 0) << c.given;
    EXPECT_EQ(channel->PortName, c.port_name);
    ASSERT_FALSE(f.opener.opened_names.empty());
    EXPECT_EQ(f.opener.opened_names.back(), c.device) << c.given;
  }
}

TEST(IOComm, PortsSubkeyMapsComNamesToDevices) {
  ChannelFixture f;
  f.settings.SetText(testing_support::kChannelKey + "\\Ports", "COM5", "sim:mode=boot,id=5");
  f.opener.Add("sim:mode=boot,id=5", f.port);
  auto channel = f.NewChannel();
  EXPECT_NE(channel->OpenPort("COM5:", "baud=19200 parity=N data=8 stop=2", 0), 0);
  EXPECT_EQ(f.opener.opened_names.back(), "sim:mode=boot,id=5");
}

TEST(IOComm, ConstructionOpensNoPort) {
  // Another row's port (COM2 here) is never touched by a new channel.
  ChannelFixture f;
  auto com2 = std::make_shared<testing_support::FakePort>(&f.clock);
  f.opener.Add("/dev/ttyS1", com2);
  auto channel = f.NewChannel();
  EXPECT_EQ(com2->opens, 0);
  EXPECT_TRUE(f.opener.opened_names.empty());
  EXPECT_EQ(channel->CommConfig, DefaultCommConfig());
  EXPECT_EQ(channel->CommConfig.dcb.length, kDcbSize);
}

TEST(IOComm, CloseThatReleasedTheDeviceAnywayCountsAsClosed) {
  // A Linux close that fails has released the descriptor: the retry finds
  // nothing to close, and the channel must not keep a dead handle.
  ChannelFixture f;
  auto channel = f.OpenChannel();
  f.port->close_failures_left = 1;
  f.port->close_retry_error = EBADF;
  EXPECT_EQ(channel->Close(), 1);
  EXPECT_FALSE(channel->IsOpen());
  f.port->close_retry_error = 0;
  EXPECT_NE(channel->Open(), 0) << "the row can open its port again";
}

TEST(IOComm, OpenWithoutNameOrOnAnOpenChannel) {
  ChannelFixture f;
  auto channel = f.NewChannel();
  channel->PortName.clear();
  EXPECT_EQ(channel->Open(), 0);
  EXPECT_THAT(f.opener.opened_names, ::testing::Each(::testing::Ne("/dev/ttyS0")));

  int handle = channel->OpenPort("COM1:", "baud=19200 parity=N data=8 stop=2", 0);
  ASSERT_NE(handle, 0);
  // A second open changes nothing, not even the stored name or settings.
  EXPECT_EQ(channel->OpenPort("COM9:", "baud=115200 parity=N data=8 stop=1", 1), handle);
  EXPECT_EQ(channel->Open(), handle);
  EXPECT_EQ(channel->PortName, "\\\\.\\COM1");
  EXPECT_EQ(channel->CommSettings, "baud=19200 parity=N data=8 stop=2");
  EXPECT_EQ(f.port->opens, 1);
}

TEST(IOComm, OpenAppliesSettingsTextAndTimeouts) {
  ChannelFixture f;
  auto channel = f.OpenChannel("baud=115200 parity=N data=8 stop=1");
  ASSERT_FALSE(f.port->configs.empty());
  const Dcb& dcb = f.port->configs.front().dcb;
  EXPECT_EQ(dcb.baud_rate, 115200u);
  EXPECT_EQ(dcb.byte_size, 8);
  EXPECT_EQ(dcb.parity, kNoParity);
  EXPECT_EQ(dcb.stop_bits, kOneStopBit);
  EXPECT_EQ(dcb.length, kDcbSize);
  ASSERT_FALSE(f.port->timeouts.empty());
  EXPECT_EQ(f.port->timeouts.front(), (CommTimeoutValues{500, 40, 300, 30, 300}));
}

struct OpenFailureCase {
  const char* what;
  int open_error;
  int timeouts_error;
  const char* logged;
};

TEST(IOComm, OpenFailuresNameTheCallAndTheErrorNumber) {
  const OpenFailureCase cases[] = {
      {"missing device", ENOENT, 0, "IOComm::Open() failed, GetLastError() returned: 2"},
      {"held elsewhere", EBUSY, 0, "IOComm::Open() failed, GetLastError() returned: 16"},
      {"not a tty", ENOTTY, 0, "IOComm::Open() failed, GetLastError() returned: 25"},
      {"timeouts refused", 0, EINVAL,
       "SetCommTimeouts(IOHandle, ....) failed, GetLastError() returned: 22"},
  };
  for (const auto& c : cases) {
    ChannelFixture f;
    f.port->open_error = c.open_error;
    f.port->timeouts_error = c.timeouts_error;
    auto channel = f.NewChannel();
    EXPECT_EQ(channel->OpenPort("COM1:", "baud=19200 parity=N data=8 stop=2", 0), 0) << c.what;
    EXPECT_FALSE(channel->IsOpen()) << c.what;
    EXPECT_FALSE(f.port->is_open) << c.what << ": no handle left behind";
    EXPECT_EQ(channel->ErrorFlag, 1) << c.what;
    EXPECT_THAT(f.log.Entries(), ElementsAre(c.logged)) << c.what;
  }
}

TEST(IOComm, RefusedSerialConfigurationFallsBackToUsb) {
  ChannelFixture f;
  f.port->config_error = EINVAL;
  auto channel = f.NewChannel();
  // The printer-class device of the fallback cannot be reached: a clean failure.
  EXPECT_EQ(channel->OpenPort("COM1:", "baud=19200 parity=N data=8 stop=2", 0), 0);
  EXPECT_EQ(channel->GetPortType(), Usb);
  EXPECT_FALSE(f.port->is_open);
  EXPECT_THAT(f.log.Entries(), ElementsAre("IOComm::Open() failed, GetLastError() returned: 19"));

  // With DebugMode bit 0 it stays a serial port and the refusal is logged.
  ChannelFixture g;
  g.port->config_error = EINVAL;
  g.settings.SetDword(testing_support::kChannelKey, "DebugMode", 1);
  auto debug = g.NewChannel();
  EXPECT_NE(debug->OpenPort("COM1:", "baud=19200 parity=N data=8 stop=2", 0), 0);
  EXPECT_EQ(debug->GetPortType(), Serial);
  EXPECT_THAT(g.log.Entries(),
              ElementsAre("DebugMode: 1",
                          "SetCommConfig(IOHandle, ....) failed, GetLastError() returned: 22 "
                          "Ignoring Error"));
}

TEST(IOComm, CloseRetriesOnceAfter100Ms) {
  ChannelFixture f;
  auto channel = f.OpenChannel();
  f.port->close_failures_left = 1;
  int64_t before = f.clock.NowMs();
  EXPECT_EQ(channel->Close(), 1);
  EXPECT_EQ(f.clock.NowMs() - before, 100);
  EXPECT_FALSE(channel->IsOpen());

  auto second = f.OpenChannel();
  f.port->close_failures_left = 2;
  EXPECT_EQ(second->Close(), 0);
  EXPECT_TRUE(second->IsOpen()) << "the handle stays held";
  EXPECT_EQ(second->Close(), 1);
}

TEST(IOComm, OutputOfNothingAndOnAChannelThatIsNotReady) {
  ChannelFixture f;
  auto channel = f.OpenChannel();
  EXPECT_EQ(channel->Output(nullptr, 0), 1);
  EXPECT_THAT(f.port->writes, IsEmpty());

  // Hardware handshake with DSR off: not ready, no text, nothing logged.
  channel->SetHandshake(2);
  f.port->modem_status = 0;
  const uint8_t data[] = {1, 2, 3};
  EXPECT_EQ(channel->Output(data, 3), 0);
  EXPECT_THAT(f.port->writes, IsEmpty());
  EXPECT_EQ(channel->LastError, "");
  EXPECT_THAT(f.log.Entries(), IsEmpty());

  auto closed = f.NewChannel();
  EXPECT_EQ(closed->Output(data, 3), 0);
}

TEST(IOComm, PartialWritesGoOutInPassesWithAPauseEach) {
  ChannelFixture f;
  auto channel = f.OpenChannel();
  f.port->max_write = 3;
  Bytes data(10, 0xAB);
  int64_t before = f.clock.NowMs();
  EXPECT_EQ(channel->Output(data.data(), 10), 1);
  EXPECT_THAT(f.port->WriteSizes(), ElementsAre(3, 3, 3, 1));
  EXPECT_EQ(channel->LastOutputCount, 10);
  EXPECT_EQ(f.clock.NowMs() - before, 3000);
}

TEST(IOComm, TenPassesEndOutputEvenWithBytesLeft) {
  ChannelFixture f;
  auto channel = f.OpenChannel();
  f.port->max_write = 1;
  Bytes data(20, 0x55);
  EXPECT_EQ(channel->Output(data.data(), 20), 1);
  EXPECT_EQ(f.port->writes.size(), 10u);
  EXPECT_EQ(channel->LastOutputCount, 10);
}

TEST(IOComm, WriteTimingOutWithNothingSentSucceedsWithCountZero) {
  // A serial write that times out reports success with no bytes: Output
  // returns 1 and only LastOutputCount tells the caller the block is missing.
  ChannelFixture f;
  auto channel = f.OpenChannel();
  f.port->max_write = 0;
  Bytes data(5, 1);
  EXPECT_EQ(channel->Output(data.data(), 5), 1);
  EXPECT_EQ(channel->LastOutputCount, 0);
}

TEST(IOComm, FailedWritesReconnectFromTheFourthWithGrowingPauses) {
  ChannelFixture f;
  auto channel = f.OpenChannel();
  const uint8_t data[] = {0x1C, 0x66, 0x49};
  f.port->write_failures_left = 6;
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(channel->Output(data, 3), 0) << "failure " << i + 1;
    EXPECT_EQ(channel->LastError, "IOComm::Output() failed, GetLastError() returned: 5");
  }
  EXPECT_EQ(f.port->opens, 1) << "no reconnect before the fourth failure";
  EXPECT_EQ(f.log.Entries().size(), 3u);

  // Fourth: close, 200 ms, reopen, retry (which fails too: the delay grows).
  int64_t before = f.clock.NowMs();
  EXPECT_EQ(channel->Output(data, 3), 0);
  EXPECT_EQ(f.clock.NowMs() - before, 200);
  EXPECT_EQ(f.port->opens, 2);
  EXPECT_EQ(f.backoff.output.retry_delay_ms, 1200);

  // Fifth: reconnects at once after 1200 ms; the retry succeeds and resets.
  before = f.clock.NowMs();
  EXPECT_EQ(channel->Output(data, 3), 1);
  EXPECT_EQ(f.clock.NowMs() - before, 1200);
  EXPECT_EQ(f.backoff.output.failures, 0);
  EXPECT_EQ(f.backoff.output.retry_delay_ms, 200);
  EXPECT_THAT(f.port->AllWritten(), ElementsAre(0x1C, 0x66, 0x49));
}

TEST(IOComm, BackoffDelayIsCappedAt8000) {
  ChannelFixture f;
  auto channel = f.OpenChannel();
  f.port->write_error = EIO;
  const uint8_t data[] = {1};
  std::vector<int64_t> pauses;
  for (int i = 0; i < 14; ++i) {
    int64_t before = f.clock.NowMs();
    channel->Output(data, 1);
    pauses.push_back(f.clock.NowMs() - before);
  }
  EXPECT_THAT(pauses, ElementsAre(0, 0, 0, 200, 1200, 2200, 3200, 4200, 5200, 6200, 7200, 8000,
                                  8000, 8000));
}

TEST(IOComm, BackoffCountersAreSharedByAllChannels) {
  ChannelFixture f;
  auto port2 = std::make_shared<testing_support::FakePort>(&f.clock);
  f.opener.Add("/dev/ttyS2", port2);
  auto a = f.OpenChannel();
  auto b = f.NewChannel();
  b->OpenPort("COM3:", "baud=19200 parity=N data=8 stop=2", 0);
  f.port->write_error = EIO;
  port2->write_error = EIO;
  const uint8_t data[] = {1};
  a->Output(data, 1);
  a->Output(data, 1);
  b->Output(data, 1);
  EXPECT_EQ(port2->opens, 1);
  b->Output(data, 1);  // the fourth failure of the station reconnects b
  EXPECT_EQ(port2->opens, 2);
}

TEST(IOComm, SerialReadTimeoutIsNoFailureForTheBackoff) {
  ChannelFixture f;
  auto channel = f.OpenChannel();
  channel->SetTimeouts(200, 20);
  uint8_t buffer[5];
  for (int i = 0; i < 5; ++i) {
    int64_t before = f.clock.NowMs();
    EXPECT_EQ(channel->Input(buffer, 5), 0);
    EXPECT_EQ(f.clock.NowMs() - before, 300);  // 200 + 20 x 5
  }
  EXPECT_EQ(channel->LastError, "IOComm::Input() failed, GetLastError() returned: 0");
  EXPECT_EQ(f.backoff.input.failures, 0);
  EXPECT_EQ(f.port->opens, 1);
  EXPECT_THAT(f.log.Entries(), IsEmpty()) << "the Input text is not logged";

  f.port->QueueInput({'P', 'x'});
  EXPECT_EQ(channel->Input(buffer, 5), 2);
  EXPECT_EQ(buffer[0], 'P');
  EXPECT_EQ(channel->AfterInput, 1);
}

TEST(IOComm, FailedReadsReconnectFromTheFourth) {
  ChannelFixture f;
  auto channel = f.OpenChannel();
  f.port->read_failures_left = 4;
  f.port->QueueInput({0x42});
  uint8_t buffer[1];
  for (int i = 0; i < 3; ++i) EXPECT_EQ(channel->Input(buffer, 1), 0);
  EXPECT_EQ(channel->Input(buffer, 1), 1) << "the retry after the reconnect reads the byte";
  EXPECT_EQ(f.port->opens, 2);
  EXPECT_EQ(f.backoff.input.failures, 0);
}

TEST(IOComm, SetTimeoutsAppliesAtOnceWhenOpen) {
  ChannelFixture f;
  auto closed = f.NewChannel();
  EXPECT_EQ(closed->SetTimeouts(5000, 10), 1);
  EXPECT_EQ(closed->CommTimeouts, (CommTimeoutValues{10, 10, 5000, 10, 5000}));

  auto channel = f.OpenChannel();
  EXPECT_EQ(channel->SetTimeouts(100, 10), 1);
  EXPECT_EQ(f.port->timeouts.back(), (CommTimeoutValues{10, 10, 100, 10, 100}));
  f.port->timeouts_error = EIO;
  EXPECT_EQ(channel->SetTimeouts(200, 20), 0);
}

TEST(IOComm, WaitDrainPollsTheOutputQueue) {
  ChannelFixture f;
  auto channel = f.OpenChannel();
  f.port->status.out_queue = 12;
  EXPECT_EQ(channel->InputPending(), 12);
  int64_t before = f.clock.NowMs();
  EXPECT_EQ(channel->WaitDrain(2000), 12);
  EXPECT_EQ(f.clock.NowMs() - before, 40);  // four polls of 10 ms

  f.port->out_queue_sequence = {12, 6, 0};
  before = f.clock.NowMs();
  EXPECT_EQ(channel->WaitDrain(2000), 0);
  EXPECT_EQ(f.clock.NowMs() - before, 20);

  auto closed = f.NewChannel();
  EXPECT_EQ(closed->InputPending(), 0);
}

TEST(IOComm, InputPendingReportsAnUnreadableQueue) {
  ChannelFixture f;
  auto channel = f.OpenChannel();
  f.port->status_error = EIO;
  EXPECT_EQ(channel->InputPending(), 200);
  EXPECT_THAT(f.log.Entries(), ElementsAre("IOComm::InputPending(): ClearCommError() failed"));
  channel->DebugMode = kDebugPendingZeroOnError;
  EXPECT_EQ(channel->InputPending(), 0);
}

TEST(IOComm, ReconnectInsideOutputReentersTheLock) {
  // The lock is re-entrant for the owning thread: a reconnect inside Output
  // (Close and Open) takes it again without waiting.
  ChannelFixture f;
  auto channel = f.OpenChannel();
  f.port->write_failures_left = 4;
  f.backoff.output.failures = 3;
  const uint8_t data[] = {7};
  EXPECT_EQ(channel->Output(data, 1), 0);
  EXPECT_EQ(f.port->opens, 2);
}

}  // namespace
}  // namespace velloquin
