// The network kind against a real listener on 127.0.0.1. The channel's own
// pauses (the reconnect back-off) run on the fixture's virtual clock; the
// sockets wait in real time.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "iocomm/io_comm.h"
#include "iocomm/tcp_port.h"
#include "support/channel_fixture.h"
#include "support/loopback_tcp_server.h"

namespace velloquin {
namespace {

using testing_support::Bytes;
using testing_support::ChannelFixture;
using testing_support::kChannelKey;
using testing_support::LoopbackTcpServer;

constexpr int kWaitMs = 5000;

struct LoopbackFixture : ChannelFixture {
  std::unique_ptr<Network> network = MakeSystemNetwork(SystemClock::Instance());
  LoopbackTcpServer server;

  LoopbackFixture() { env.network = network.get(); }

  // A standard TCP/IP printer port.
  void AddMonitorPort(const std::string& name, const std::string& ip, uint32_t port) {
    const std::string key = std::string(kTcpPortsKey) + "\\" + name;
    settings.SetText(key, "IPAddress", ip);
    settings.SetDword(key, "PortNumber", port);
  }

  std::unique_ptr<IOComm> Connect(const std::string& name) {
    auto channel = NewChannel();
    channel->OpenPort(name, "baud=19200 parity=N data=8 stop=2", 1);
    return channel;
  }
};

TEST(TcpPortRealtime, AChannelDrivesALoopbackPrinterAsARowWould) {
  // What a row of the station does with its port, on a network printer: it
  // opens, writes, reads and closes through the network kind, and then
  // waits for a printer on DSR, which a network port never reports.
  LoopbackFixture f;
  f.server.SetResponder([](const Bytes&) { return Bytes{'P'}; });
  auto channel = f.NewChannel();
  ASSERT_EQ(channel->OpenPort(f.server.Address(), "baud=19200 parity=N data=8 stop=2", 1), 1);
  channel->SetHandshake(0);
  EXPECT_EQ(channel->GetPortType(), Tcp);
  EXPECT_EQ(channel->SocketAddress, (SocketAddressIn{2, f.server.Port(), 0x7F000001}));
  EXPECT_EQ(channel->GetLineStatus(), LineConnected) << "no LineDsr: no printer for the cycle";
  EXPECT_EQ(channel->ClearDtr(0), 0);
  EXPECT_EQ(channel->SetTimeouts(kWaitMs, 0), 1);

  const uint8_t command[] = {0x1C, 0x66, 0x49};
  EXPECT_EQ(channel->Output(command, 3), 1);
  EXPECT_EQ(channel->LastOutputCount, 3);
  EXPECT_EQ(f.server.WaitForReceived(3, kWaitMs), (Bytes{0x1C, 0x66, 0x49}));
  uint8_t reply[8] = {};
  EXPECT_EQ(channel->Input(reply, 8), 1);
  EXPECT_EQ(reply[0], 'P');
  EXPECT_EQ(channel->WaitDrain(100), 1);

  EXPECT_EQ(channel->Close(), 1);
  EXPECT_FALSE(channel->IsOpen());
  EXPECT_TRUE(f.server.WaitForClientClose(kWaitMs));
  EXPECT_TRUE(f.log.Entries().empty());
}

TEST(TcpPortRealtime, PortMonitorNamesResolveToTheirAddress) {
  LoopbackFixture f;
  f.AddMonitorPort("IP_10.0.0.5", "127.0.0.1", f.server.Port());
  f.AddMonitorPort("Shop.printer", "127.0.0.1", 0x10000u | f.server.Port());  // low 16 bits
  int accepted = 0;
  for (const char* name : {"IP_10.0.0.5", "IP_10.0.0.55", "Shop.printer"}) {
    auto channel = f.Connect(name);
    EXPECT_TRUE(channel->IsOpen()) << name;
    EXPECT_TRUE(f.server.WaitForAccepted(++accepted, kWaitMs)) << name;
    channel->Close();
  }

  auto unknown = f.Connect("IP_10.0.0.77");
  EXPECT_FALSE(unknown->IsOpen());
  EXPECT_EQ(unknown->ErrorFlag, 0) << "an unresolvable name sets nothing";
  EXPECT_EQ(f.server.Accepted(), accepted);
  EXPECT_TRUE(f.log.Entries().empty());
}

TEST(TcpPortRealtime, TheTcpListGetsEachAddressOnce) {
  LoopbackFixture f;
  for (int i = 0; i < 2; ++i) {
    auto channel = f.Connect(f.server.Address());
    ASSERT_TRUE(channel->IsOpen());
    channel->Close();
  }
  EXPECT_THAT(f.settings.written_names, ::testing::ElementsAre("TCP"));
  RegValue list;
  ASSERT_TRUE(f.settings.Get(kChannelKey, "TCP", &list));
  EXPECT_EQ(list.type, ValueType::kBinary);
  Bytes expected(kTcpListSize, 0);
  const std::string entry = " " + f.server.Address();
  std::copy(entry.begin(), entry.end(), expected.begin());
  EXPECT_EQ(list.data, expected);
}

TEST(TcpPortRealtime, APeerThatClosesFailsTheNextInput) {
  LoopbackFixture f;
  auto channel = f.Connect(f.server.Address());
  ASSERT_TRUE(channel->IsOpen());
  ASSERT_TRUE(f.server.WaitForAccepted(1, kWaitMs));
  f.server.CloseConnection();
  uint8_t buffer[4];
  EXPECT_EQ(channel->Input(buffer, 4), 0);
  EXPECT_EQ(f.backoff.input.failures, 1);
  EXPECT_EQ(channel->LastError, "IOComm::Input() failed, GetLastError() returned: 0");
}

TEST(TcpPortRealtime, TheFourthFailedReadReconnects) {
  LoopbackFixture f;
  f.server.SetGreeting({'H'});
  auto channel = f.Connect(f.server.Address());
  ASSERT_TRUE(channel->IsOpen());
  uint8_t buffer[4];
  ASSERT_EQ(channel->Input(buffer, 4), 1);
  f.server.CloseConnection();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(channel->Input(buffer, 4), 0) << "failure " << i + 1;
  EXPECT_EQ(f.server.Accepted(), 1);

  int64_t before = f.clock.NowMs();
  EXPECT_EQ(channel->Input(buffer, 4), 1) << "reconnected, and the greeting is read";
  EXPECT_EQ(buffer[0], 'H');
  EXPECT_EQ(f.clock.NowMs() - before, 200);
  EXPECT_EQ(f.server.Accepted(), 2);
  EXPECT_EQ(f.backoff.input.failures, 0);
}

TEST(TcpPortRealtime, ARefusedConnectionSetsOnlyTheErrorFlag) {
  LoopbackFixture f;  // its listener holds its own port first
  std::string address;
  {
    LoopbackTcpServer gone;
    address = gone.Address();
  }
  auto channel = f.Connect(address);
  EXPECT_FALSE(channel->IsOpen());
  EXPECT_EQ(channel->ErrorFlag, 1);
  EXPECT_EQ(channel->LastError, "");
  EXPECT_TRUE(f.log.Entries().empty());
  EXPECT_EQ(channel->Socket, -1);
}

}  // namespace
}  // namespace velloquin
