#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "iocomm/io_comm.h"
#include "support/channel_fixture.h"

namespace velloquin {
namespace {

using ::testing::ElementsAre;
using testing_support::ChannelFixture;
using testing_support::kChannelKey;

TEST(PortSettings, EmptyKeyKeepsTheDefaults) {
  ChannelFixture f(/*with_comm_data=*/false);
  auto channel = f.NewChannel();
  EXPECT_EQ(channel->LoadSettings(nullptr), 1);
  EXPECT_EQ(channel->CommTimeouts, (CommTimeoutValues{500, 40, 300, 30, 300}));
  EXPECT_EQ(channel->DebugMode, 0u);
  EXPECT_EQ(channel->DoExtra, 0u);
  EXPECT_EQ(channel->SettingsLoaded, 1);
}

struct TimeoutCase {
  const char* what;
  std::vector<std::pair<const char*, uint32_t>> values;
  CommTimeoutValues expected;  // interval, read mult, read const, write mult, write const
};

TEST(PortSettings, TimeoutValuesAndTheFactor) {
  const TimeoutCase cases[] = {
      {"factor, then one value over it",
       {{"IOTimeOutFactor", 50}, {"ReadTotalTimeoutConstant", 2000}},
       {50, 50, 2000, 50, 50}},
      {"each value", {{"ReadIntervalTimeout", 11}, {"ReadTotalTimeoutMultiplier", 12},
                      {"ReadTotalTimeoutConstant", 13}, {"WriteTotalTimeoutMultiplier", 14},
                      {"WriteTotalTimeoutConstant", 15}},
       {11, 12, 13, 14, 15}},
      {"below 10 is raised", {{"ReadIntervalTimeout", 0}, {"IOTimeOutFactor", 3}},
       {10, 10, 10, 10, 10}},
      {"names without case", {{"readintervaltimeout", 77}}, {77, 40, 300, 30, 300}},
  };
  for (const auto& c : cases) {
    ChannelFixture f;
    for (const auto& [name, value] : c.values) f.settings.SetDword(kChannelKey, name, value);
    auto channel = f.NewChannel();
    channel->LoadSettings(nullptr);
    EXPECT_EQ(channel->CommTimeouts, c.expected) << c.what;
  }
}

TEST(PortSettings, ExtraStringsAreReadOnlyWithDoExtra) {
  ChannelFixture f;
  f.settings.SetText(kChannelKey, "Start", "ABC");
  f.settings.SetBinary(kChannelKey, "End", {0x41, 0x42, 0x43});
  f.settings.SetBinary(kChannelKey, "Pattern1", std::vector<uint8_t>(101, 'x'));
  f.settings.SetBinary(kChannelKey, "Conversion4", std::vector<uint8_t>(100, 'y'));
  auto off = f.NewChannel();
  off->LoadSettings(nullptr);
  EXPECT_TRUE(off->StartString.empty());
  EXPECT_TRUE(off->EndString.empty());

  f.settings.SetDword(kChannelKey, "DoExtra", 1);
  auto on = f.NewChannel();
  on->LoadSettings(nullptr);
  EXPECT_THAT(on->StartString, ElementsAre('A', 'B', 'C', 0)) << "text brings its zero byte";
  EXPECT_THAT(on->EndString, ElementsAre('A', 'B', 'C'));
  EXPECT_TRUE(on->Pattern1.empty()) << "a value over 100 bytes is not read";
  EXPECT_EQ(on->Conversion4.size(), 100u);
}

TEST(PortSettings, FirstSerialOpenWritesCommDataOnce) {
  ChannelFixture f(/*with_comm_data=*/false);
  auto first = f.NewChannel();
  ASSERT_NE(first->OpenPort("COM1:", "baud=19200 parity=N data=8 stop=2", 1), 0);
  EXPECT_THAT(f.settings.written_names, ElementsAre("Comm data"));
  RegValue stored;
  ASSERT_TRUE(f.settings.Get(kChannelKey, "Comm Data", &stored));
  ASSERT_EQ(stored.type, ValueType::kBinary);
  ASSERT_EQ(stored.data.size(), kCommConfigSize);
  CommConfigRecord::Bytes bytes;
  std::copy(stored.data.begin(), stored.data.end(), bytes.begin());
  CommConfigRecord record = CommConfigRecord::FromBytes(bytes);
  EXPECT_EQ(record.dcb.baud_rate, 19200u);
  EXPECT_EQ(record.dcb.stop_bits, kTwoStopBits);
  first->Close();

  auto second = f.NewChannel();
  ASSERT_NE(second->OpenPort("COM1:", "baud=115200 parity=N data=8 stop=1", 1), 0);
  EXPECT_EQ(f.settings.writes, 1) << "the next channel reads it back and writes nothing";
}

TEST(PortSettings, NoWriteBackWithoutTheSaveFlagOrAGoodConfiguration) {
  struct Case {
    const char* what;
    const char* settings;
    int save_flag;
    bool port_missing;
  } cases[] = {
      {"save flag 0", "baud=19200 parity=N data=8 stop=2", 0, false},
      {"settings text empty (the dialog is cancelled)", "", 1, false},
      {"settings text unparseable", "baud=fast", 1, false},
      {"no default configuration (port missing)", "baud=19200 parity=N data=8 stop=2", 1, true},
  };
  for (const auto& c : cases) {
    ChannelFixture f(/*with_comm_data=*/false);
    f.port->open_error = c.port_missing ? ENOENT : 0;
    auto channel = f.NewChannel();
    channel->OpenPort("COM1:", c.settings, c.save_flag);
    EXPECT_EQ(f.settings.writes, 0) << c.what;
  }
}

TEST(PortSettings, ReadOnlyStoreKeepsTheValuesAndWritesNothing) {
  ChannelFixture f(/*with_comm_data=*/false);
  f.settings.SetDword(kChannelKey, "ReadTotalTimeoutConstant", 1234);
  f.settings.read_only = true;
  auto channel = f.NewChannel();
  ASSERT_NE(channel->OpenPort("COM1:", "baud=19200 parity=N data=8 stop=2", 1), 0);
  EXPECT_EQ(channel->CommTimeouts.read_total_constant, 1234u);
  EXPECT_EQ(f.settings.writes, 0);
}

TEST(PortSettings, StoredPortTypeDecidesOnlyForAnOpenThatLoads) {
  ChannelFixture f;
  f.settings.SetDword(kChannelKey, "PortType", 4);
  auto direct = f.NewChannel();
  direct->PortName = "\\\\.\\COM1";
  EXPECT_EQ(direct->Open(), 0) << "tries a network connection, whatever the name";
  EXPECT_EQ(direct->GetPortType(), Tcp);

  auto via_open_port = f.NewChannel();
  EXPECT_NE(via_open_port->OpenPort("COM1:", "baud=19200 parity=N data=8 stop=2", 0), 0);
  EXPECT_EQ(via_open_port->GetPortType(), Serial);

  via_open_port->Close();
  f.settings.SetDword(kChannelKey, "PortType", 77);
  auto garbage = f.NewChannel();
  garbage->PortName = "\\\\.\\COM1";
  EXPECT_NE(garbage->Open(), 0) << "an unknown kind number is ignored";
}

TEST(PortSettings, HandshakeDerivedFromTheStoredDcb) {
  for (auto [flags, handshake] : std::vector<std::pair<uint32_t, int>>{
           {0, 0}, {kDcbOutX, 1}, {kDcbOutxCtsFlow, 2}, {kDcbOutX | kDcbOutxCtsFlow, 2}}) {
    ChannelFixture f;
    CommConfigRecord record;
    record.dcb.flags = flags;
    auto bytes = record.ToBytes();
    f.settings.SetBinary(kChannelKey, "Comm Data", {bytes.begin(), bytes.end()});
    auto channel = f.NewChannel();
    channel->LoadSettings(nullptr);
    EXPECT_EQ(channel->Handshake, handshake) << std::hex << flags;
  }
}

TEST(PortSettings, SettingsAreReadOncePerChannel) {
  ChannelFixture f;
  auto channel = f.NewChannel();
  ASSERT_NE(channel->OpenPort("COM1:", "baud=19200 parity=N data=8 stop=2", 0), 0);
  channel->Close();
  f.settings.SetDword(kChannelKey, "ReadTotalTimeoutConstant", 999);
  ASSERT_NE(channel->Open(), 0);
  EXPECT_EQ(channel->CommTimeouts.read_total_constant, 300u);
  EXPECT_EQ(f.NewChannel()->LoadSettings(nullptr), 1);
}

}  // namespace
}  // namespace velloquin
