#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>

#include "iocomm/io_comm.h"
#include "support/channel_fixture.h"

namespace velloquin {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing_support::ChannelFixture;
using testing_support::LineEvent;

// Every flag the flow-control rules touch, set.
constexpr uint32_t kAllFlowBits = kDcbOutxCtsFlow | kDcbOutxDsrFlow | kDcbDtrControlMask |
                                  kDcbDsrSensitivity | kDcbTxContinueOnXoff | kDcbOutX | kDcbInX |
                                  kDcbRtsControlMask;

struct HandshakeCase {
  int mode;
  uint32_t start_flags;
  uint32_t expected_flags;  // the flow bits after SetHandshake
  uint16_t xon_lim, xoff_lim;
  uint8_t xon_char, xoff_char;
};

TEST(SerialPort, SetHandshakeLeavesTheDcbOfEachMode) {
  const HandshakeCase cases[] = {
      // Mode 0: everything off.
      {0, kAllFlowBits, kDcbDsrSensitivity, 0, 0, 0, 0},
      {0, 0, 0, 0, 0, 0, 0},
      // Mode 1: XON/XOFF both ways, DSR flow and sensitivity left as they were.
      {1, kAllFlowBits, kDcbOutxDsrFlow | kDcbDsrSensitivity | kDcbTxContinueOnXoff | kDcbOutX |
                            kDcbInX, 256, 100, 17, 19},
      {1, 0, kDcbTxContinueOnXoff | kDcbOutX | kDcbInX, 256, 100, 17, 19},
      // Mode 2: CTS and DSR flow, DTR enabled, RTS handshake.
      {2, 0, kDcbOutxCtsFlow | kDcbOutxDsrFlow | kDcbDtrControlEnable | kDcbRtsControlHandshake,
       0, 0, 0, 0},
      {2, kAllFlowBits, kDcbOutxCtsFlow | kDcbOutxDsrFlow | kDcbDtrControlEnable |
                            kDcbDsrSensitivity | kDcbRtsControlHandshake, 0, 0, 0, 0},
  };
  ChannelFixture f;
  for (const auto& c : cases) {
    auto channel = f.NewChannel();
    channel->CommConfig.dcb.flags = c.start_flags;
    channel->CommConfig.dcb.xon_lim = 7;
    EXPECT_EQ(channel->SetHandshake(c.mode), 1);
    const Dcb& dcb = channel->CommConfig.dcb;
    EXPECT_EQ(dcb.flags & kAllFlowBits, c.expected_flags)
        << "mode " << c.mode << " from " << std::hex << c.start_flags;
    EXPECT_TRUE(dcb.Has(kDcbBinary));
    EXPECT_EQ(dcb.length, kDcbSize);
    EXPECT_EQ(dcb.xon_lim, c.xon_lim);
    EXPECT_EQ(dcb.xoff_lim, c.xoff_lim);
    EXPECT_EQ(dcb.xon_char, c.xon_char);
    EXPECT_EQ(dcb.xoff_char, c.xoff_char);
    EXPECT_EQ(channel->Handshake, c.mode);
  }
}

TEST(SerialPort, OpenNormalisationClearsWhatSetHandshakeKept) {
  ChannelFixture f;
  auto channel = f.NewChannel();
  channel->PortName = "\\\\.\\COM1";
  channel->LoadSettings(nullptr);
  channel->CommConfig.dcb.flags |= kDcbOutxDsrFlow | kDcbDsrSensitivity;
  channel->SetHandshake(1);
  EXPECT_TRUE(channel->CommConfig.dcb.Has(kDcbOutxDsrFlow));
  ASSERT_NE(channel->Open(), 0);
  const Dcb& applied = f.port->configs.front().dcb;
  EXPECT_FALSE(applied.Has(kDcbOutxDsrFlow));
  EXPECT_FALSE(applied.Has(kDcbDsrSensitivity));
  EXPECT_TRUE(applied.Has(kDcbOutX | kDcbInX));
}

TEST(SerialPort, UnknownHandshakeModeStillNormalisesAndApplies) {
  ChannelFixture f;
  auto channel = f.OpenChannel();
  size_t applied = f.port->configs.size();
  channel->CommConfig.dcb.flags |= kDcbOutxDsrFlow;
  EXPECT_EQ(channel->SetHandshake(3), 0);
  EXPECT_FALSE(channel->CommConfig.dcb.Has(kDcbOutxDsrFlow));
  EXPECT_EQ(f.port->configs.size(), applied + 1);
}

TEST(SerialPort, ControlLinesFollowTheClearArgument) {
  ChannelFixture f;
  auto channel = f.OpenChannel();
  f.port->line_events.clear();
  EXPECT_EQ(channel->ClearDtr(1), 1);
  EXPECT_EQ(channel->ClearDtr(0), 1);
  EXPECT_EQ(channel->ClearRts(1), 1);
  EXPECT_EQ(channel->ClearRts(0), 1);
  std::vector<LineFunction> functions;
  for (const LineEvent& e : f.port->line_events) functions.push_back(e.function);
  EXPECT_THAT(functions, ElementsAre(LineFunction::kClearDtr, LineFunction::kSetDtr,
                                     LineFunction::kClearRts, LineFunction::kSetRts));
  EXPECT_TRUE(f.port->dtr);
  EXPECT_TRUE(f.port->rts);

  auto closed = f.NewChannel();
  EXPECT_EQ(closed->ClearDtr(0), 0);
  f.port->escape_error = EIO;
  EXPECT_EQ(channel->ClearRts(1), 0);
}

struct LineCase {
  uint32_t modem;
  int modem_error;
  uint32_t lines;
};

TEST(SerialPort, LineStatusFromTheModemLines) {
  const LineCase cases[] = {
      {0, 0, 0},
      {kModemDsrOn, 0, LineConnected | LineDsr},
      {kModemCtsOn, 0, 0x20001},
      {kModemCtsOn | kModemDsrOn, 0, LineConnected | LineDsr | LineCts},
      {kModemRlsdOn | kModemRingOn, 0, 0},
      {kModemDsrOn, EIO, 0},  // unreadable lines count as all off
  };
  ChannelFixture f;
  auto channel = f.OpenChannel();
  for (const auto& c : cases) {
    f.port->modem_status = c.modem;
    f.port->modem_error = c.modem_error;
    EXPECT_EQ(channel->GetLineStatus(), c.lines) << std::hex << c.modem;
  }
  EXPECT_EQ(f.NewChannel()->GetLineStatus(), 0u) << "a closed channel has no lines";
}

TEST(SerialPort, ReadinessByHandshake) {
  ChannelFixture f;
  auto channel = f.OpenChannel();
  EXPECT_EQ(channel->IsReady(), 1) << "no handshake: always ready";

  channel->SetHandshake(2);
  f.port->modem_status = kModemCtsOn;
  EXPECT_EQ(channel->IsReady(), 0);
  f.port->modem_status = kModemDsrOn;
  EXPECT_EQ(channel->IsReady(), 1);

  channel->SetHandshake(1);
  f.port->status.hold = kHoldXoffHold;
  const uint8_t data[] = {1, 2};
  EXPECT_EQ(channel->Output(data, 2), 0) << "held by a received XOFF";
  f.port->status.hold = kHoldXoffSent;
  EXPECT_EQ(channel->IsReady(), 0);
  f.port->status.hold = 0;
  EXPECT_EQ(channel->IsReady(), 1);
  f.port->status_error = EIO;
  EXPECT_EQ(channel->IsReady(), 0);
  EXPECT_THAT(f.port->writes, IsEmpty());
}

TEST(SerialPort, UnreadableModemLinesReconnectThroughTheReadyPair) {
  ChannelFixture f;
  auto channel = f.OpenChannel();
  channel->SetHandshake(2);
  f.port->modem_error = EIO;
  for (int i = 0; i < 3; ++i) EXPECT_EQ(channel->IsReady(), 0);
  EXPECT_EQ(f.port->opens, 1);
  EXPECT_EQ(channel->IsReady(), 0);
  EXPECT_EQ(f.port->opens, 2) << "the fourth failure reconnects";
  EXPECT_EQ(f.backoff.ready.retry_delay_ms, 1200);
  EXPECT_EQ(f.backoff.output.failures, 0) << "the pairs are separate";
}

}  // namespace
}  // namespace velloquin
