#include "iocomm/tcp_port.h"

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
using testing_support::kChannelKey;
using testing_support::kNetworkPrinter;
using testing_support::MemorySettingsStore;

void AddMonitorPort(MemorySettingsStore* store, const std::string& name, const char* ip,
                    uint32_t port) {
  const std::string key = std::string(kTcpPortsKey) + "\\" + name;
  if (ip) store->SetText(key, "IPAddress", ip);
  if (port) store->SetDword(key, "PortNumber", port);
}

TEST(TcpPort, ResolveTcpPortNameCases) {
  MemorySettingsStore store;
  AddMonitorPort(&store, "IP_10.0.0.5", "10.0.0.5", 9100);
  AddMonitorPort(&store, "IP_10.0.0.55", "10.0.0.99", 9101);  // enumerated after IP_10.0.0.5
  AddMonitorPort(&store, "Printer", "10.0.0.7", 0x12345);
  AddMonitorPort(&store, "NoNumber", "10.0.0.8", 0);
  AddMonitorPort(&store, "NoAddress", nullptr, 9100);
  AddMonitorPort(&store, "Office", "office-printer.local", 9100);
  AddMonitorPort(&store, std::string(250, 'L'), "10.0.0.9", 9100);
  const std::pair<std::string, const char*> cases[] = {
      {"10.0.0.5:9100", "10.0.0.5:9100"},  // begins with a digit: used as it is
      {"9 anything", "9 anything"},
      {"IP_10.0.0.5", "10.0.0.5:9100"},
      {"IP_10.0.0.55", "10.0.0.5:9100"},  // the first port that begins the name
      {"ip_10.0.0.5", ""},                // case counts
      {"IP_10.0.0", ""},                  // the whole port name must match
      {"Printer on floor 2", "10.0.0.7:9029"},  // the low 16 bits of the number
      {"NoNumber", ""},
      {"NoAddress", ""},
      {"Office", "office-printer.local:9100"},  // resolved, never connected to
      {std::string(260, 'L'), ""},               // a port name too long to read is passed over
      {"", ""},
  };
  for (const auto& [name, address] : cases) {
    EXPECT_EQ(ResolveTcpPortName(&store, name), address) << name;
  }
  EXPECT_EQ(ResolveTcpPortName(nullptr, "IP_10.0.0.5"), "");
  MemorySettingsStore empty;
  EXPECT_EQ(ResolveTcpPortName(&empty, "IP_10.0.0.5"), "");
}

TEST(TcpPort, AddressTexts) {
  const std::pair<std::string, Ipv4Endpoint> good[] = {
      {"10.0.0.5:9100", {0x0A000005, 9100}},
      {"255.255.255.255:65535", {0xFFFFFFFF, 65535}},
      {"0.0.0.0:1", {0, 1}},
      {"127.0.0.1:09100", {0x7F000001, 9100}},
  };
  for (const auto& [text, endpoint] : good) {
    Ipv4Endpoint parsed;
    EXPECT_TRUE(ParseTcpAddress(text, &parsed)) << text;
    EXPECT_EQ(parsed, endpoint) << text;
  }
  const std::string bad[] = {
      "10.0.0.5:", ":9100", "10.0.0.5:99999", "10.0.0.5:65536", "10.0.0.5:0", "10.0.0.5",
      "printer.local:9100", "10.0.0:9100", "10.0.0.5.1:9100", "010.0.0.5:9100",
      "10.0.0.256:9100", "0x0A.0.0.5:9100", "10.0.0.5:+9100", "10.0.0.5: 9100",
      "10.0.0.5:9100 ", " 10.0.0.5:9100", "10..0.5:9100", "[::1]:9100", "10.0.0.5:9100:1",
      std::string(290, '1') + ":9100", "10.0.0.5:" + std::string(295, '9'),
  };
  for (const auto& text : bad) {
    Ipv4Endpoint parsed{1, 1};
    EXPECT_FALSE(ParseTcpAddress(text, &parsed)) << text;
    EXPECT_EQ(parsed, (Ipv4Endpoint{1, 1})) << text;
  }
}

struct ListCase {
  const char* what;
  Bytes list;
  std::string address;
  bool added;
  std::string text;  // the list as text afterwards (when added)
};

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

TEST(TcpPort, TcpListEntries) {
  const std::string nearly_full(985, 'x');  // room for " " + 13 + zero exactly
  const ListCase cases[] = {
      {"empty", {}, "10.0.0.5:9100", true, " 10.0.0.5:9100"},
      {"appended", Text(" 10.0.0.7:9100"), "10.0.0.5:9100", true, " 10.0.0.7:9100 10.0.0.5:9100"},
      {"already there", Text(" 10.0.0.7:9100 10.0.0.5:9100"), "10.0.0.5:9100", false, ""},
      {"only part of an entry", Text(" 10.0.0.5:9100"), "10.0.0.5:91", true,
       " 10.0.0.5:9100 10.0.0.5:91"},
      {"fits exactly", Text(nearly_full), "10.0.0.5:9100", true, nearly_full + " 10.0.0.5:9100"},
      {"one byte short", Text(nearly_full + "x"), "10.0.0.5:9100", false, ""},
      {"no zero byte in it", Bytes(1000, 'g'), "10.0.0.5:9100", false, ""},
      {"longer than the field", Bytes(1500, 'g'), "10.0.0.5:9100", false, ""},
      {"bytes after the text", Text(std::string(" 1.2.3.4:5\0junk-and-more-junk", 29)),
       "1.2.3.4:6", true, " 1.2.3.4:5 1.2.3.4:6"},
  };
  for (const auto& c : cases) {
    Bytes list = c.list;
    EXPECT_EQ(AddToTcpList(&list, c.address), c.added) << c.what;
    if (!c.added) {
      EXPECT_EQ(list, c.list) << c.what;
      continue;
    }
    ASSERT_EQ(list.size(), kTcpListSize) << c.what;
    Bytes expected(kTcpListSize, 0);
    std::copy(c.text.begin(), c.text.end(), expected.begin());
    EXPECT_EQ(list, expected) << c.what;
  }
}

TEST(TcpPort, OpenConnectsAndSetsTheWaits) {
  DeviceChannelFixture f;
  auto channel = f.OpenTcp();
  ASSERT_TRUE(channel->IsOpen());
  EXPECT_EQ(channel->Open(), 1) << "the connection stands";
  EXPECT_EQ(f.peer->connections, 1);
  EXPECT_THAT(f.peer->connect_timeouts, ElementsAre(5000));
  EXPECT_EQ(channel->SocketAddress, (SocketAddressIn{2, 9100, 0x0A000005}));
  EXPECT_EQ(channel->IOHandle, 0);
  EXPECT_EQ(channel->CommTimeouts, (CommTimeoutValues{500, 40, 100, 30, 100}));
  EXPECT_EQ(channel->IsReady(), 1);
  EXPECT_EQ(channel->GetLineStatus(), LineConnected);
  EXPECT_EQ(channel->InputPending(), -2);

  EXPECT_EQ(channel->SetTimeouts(20, 7), 1);
  EXPECT_EQ(channel->CommTimeouts, (CommTimeoutValues{500, 40, 100, 30, 100}));
  channel->SetTimeouts(2500, 0);
  const uint8_t data[] = {1, 2, 3};
  EXPECT_EQ(channel->Output(data, 3), 1);
  uint8_t buffer[8];
  int64_t before = f.clock.NowMs();
  EXPECT_EQ(channel->Input(buffer, 8), 0);
  EXPECT_EQ(f.clock.NowMs() - before, 2500);
  EXPECT_THAT(f.peer->write_waits, ElementsAre(2500));
  EXPECT_THAT(f.peer->read_waits, ElementsAre(2500));
  EXPECT_EQ(f.backoff.input.failures, 1) << "a network read that times out counts";
  EXPECT_EQ(channel->LastError, "IOComm::Input() failed, GetLastError() returned: 110");
}

TEST(TcpPort, BadAddressesFailCleanlyWithoutAConnection) {
  struct Case {
    std::string name;
    int error_flag;
  } cases[] = {
      {"10.0.0.5:99999", 1},
      {"10.0.0.5:0", 1},
      {"300.0.0.5:9100", 1},
      {"10.0.0.5.7:9100", 1},
      {std::string(290, '1') + ":9100", 1},
      {"10.0.0.5:", 1},
      {":9100", 0},  // looked up as a port name, found nowhere
      {"IP_" + std::string(297, 'x') + ".", 0},
      {"10.0.0.5 no colon", 0},
      {"printer.local:9100", 0},  // a host name is no port name either
  };
  for (const auto& c : cases) {
    DeviceChannelFixture f;
    // The stored kind makes even short names network ports.
    f.settings.SetDword(kChannelKey, "PortType", Tcp);
    auto channel = f.NewChannel();
    channel->PortName = c.name;
    EXPECT_EQ(channel->Open(), 0) << c.name;
    EXPECT_EQ(channel->GetPortType(), Tcp) << c.name;
    EXPECT_EQ(channel->ErrorFlag, c.error_flag) << c.name;
    EXPECT_THAT(f.network.attempts, IsEmpty()) << c.name;
    EXPECT_THAT(f.log.Entries(), IsEmpty()) << c.name;
  }
}

TEST(TcpPort, FailedConnectsSetOnlyTheErrorFlag) {
  for (bool hangs : {false, true}) {
    DeviceChannelFixture f;
    f.peer->connect_error = ECONNREFUSED;
    f.peer->connect_hangs = hangs;
    auto channel = f.OpenTcp();
    EXPECT_FALSE(channel->IsOpen());
    EXPECT_EQ(channel->Socket, -1);
    EXPECT_EQ(channel->ErrorFlag, 1);
    EXPECT_EQ(channel->LastError, "");
    EXPECT_THAT(f.log.Entries(), IsEmpty());
    EXPECT_EQ(f.clock.NowMs(), hangs ? 5000 : 0) << "a printer that never answers";
    EXPECT_EQ(f.settings.writes, 0) << "only connected addresses are listed";
  }
}

TEST(TcpPort, WritesWaitForRoomAndGoOutInPasses) {
  DeviceChannelFixture f;
  auto channel = f.OpenTcp();
  f.peer->max_send = 4;
  Bytes data(10, 0x5A);
  int64_t before = f.clock.NowMs();
  EXPECT_EQ(channel->Output(data.data(), 10), 1);
  EXPECT_EQ(f.peer->AllSent(), data);
  EXPECT_EQ(f.clock.NowMs() - before, 2000);

  f.peer->writable = false;
  before = f.clock.NowMs();
  EXPECT_EQ(channel->Output(data.data(), 10), 0);
  EXPECT_EQ(f.clock.NowMs() - before, 100);
  EXPECT_THAT(f.log.Entries(), ElementsAre("IOComm::Output() failed, GetLastError() returned: 110"));

  f.peer->writable = true;
  f.peer->send_error = ECONNRESET;
  EXPECT_EQ(channel->Output(data.data(), 10), 0);
  EXPECT_EQ(f.log.Entries().back(), "IOComm::Output() failed, GetLastError() returned: 104");
}

TEST(TcpPort, CloseShutsTheConnectionDown) {
  DeviceChannelFixture f;
  auto channel = f.OpenTcp();
  EXPECT_EQ(channel->Close(), 1);
  EXPECT_EQ(f.peer->shutdowns, 1);
  EXPECT_EQ(f.peer->closes, 1);
  EXPECT_EQ(channel->Socket, -1);
  EXPECT_FALSE(channel->IsOpen());
  EXPECT_EQ(channel->IsReady(), 0);
  EXPECT_EQ(channel->GetLineStatus(), 0u);
  EXPECT_EQ(channel->InputPending(), 0);
  const uint8_t data[] = {1};
  EXPECT_EQ(channel->Output(data, 1), 0);
  EXPECT_TRUE(f.peer->sends.empty());

  // Reopening connects again.
  EXPECT_EQ(channel->Open(), 1);
  EXPECT_EQ(f.peer->connections, 2);
}

TEST(TcpPort, WaitDrainSleepsAtMost300Ms) {
  DeviceChannelFixture f;
  auto channel = f.OpenTcp();
  for (auto [time, slept] : {std::pair{1000, 300}, {120, 120}}) {
    int64_t before = f.clock.NowMs();
    EXPECT_EQ(channel->WaitDrain(time), 1);
    EXPECT_EQ(f.clock.NowMs() - before, slept);
  }
}

TEST(TcpPort, AFullOrGarbageListIsNotWritten) {
  for (Bytes list : {Bytes(1000, 'g'), Bytes(999, 'g')}) {
    DeviceChannelFixture f;
    f.settings.SetBinary(kChannelKey, "TCP", list);
    auto channel = f.OpenTcp();
    EXPECT_TRUE(channel->IsOpen());
    EXPECT_EQ(f.settings.writes, 0);
  }
  // A value too long to read counts as an empty list and is replaced.
  DeviceChannelFixture f;
  f.settings.SetBinary(kChannelKey, "TCP", Bytes(1200, 'g'));
  auto channel = f.OpenTcp();
  RegValue stored;
  ASSERT_TRUE(f.settings.Get(kChannelKey, "TCP", &stored));
  EXPECT_EQ(stored.data.size(), kTcpListSize);
  EXPECT_EQ(stored.data[0], ' ');
}

}  // namespace
}  // namespace velloquin
