// Byte-level tests of the Telnet / COM-PORT-OPTION layer: escaping, the
// encoders, the incremental parser fed in every possible split, option
// negotiation, and the client's bookkeeping of replies, modem state and data.
#include "platform/rfc2217_protocol.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

namespace velloquin::rfc2217 {
namespace {

std::string Hex(const Bytes& bytes) {
  std::string out;
  char cell[4];
  for (uint8_t b : bytes) {
    std::snprintf(cell, sizeof(cell), out.empty() ? "%02X" : " %02X", b);
    out += cell;
  }
  return out;
}

// ---- Encoders ----

TEST(Rfc2217Encode, DoublesIacInDataAndInsideSubnegotiationValues) {
  struct Case {
    const char* name;
    Bytes wire;
    const char* expected;
  };
  Bytes data;
  const uint8_t raw[] = {0x41, 0xFF, 0x00, 0xFF, 0xFF};
  AppendEscaped(raw, sizeof(raw), &data);
  Bytes baud_ff, baud_115200, dtr_on, mask, negotiation;
  AppendComPort(kSetBaudRate, BaudRateValue(0x00FF00FF), &baud_ff);
  AppendComPort(kSetBaudRate, BaudRateValue(115200), &baud_115200);
  AppendComPort(kSetControl, {kControlDtrOn}, &dtr_on);
  AppendComPort(kServerOffset + kNotifyModemState, {0xFF}, &mask);
  AppendNegotiation(kWill, kOptionComPort, &negotiation);
  const Case cases[] = {
      {"data", data, "41 FF FF 00 FF FF FF FF"},
      {"baud with 0xFF bytes", baud_ff, "FF FA 2C 01 00 FF FF 00 FF FF FF F0"},
      {"baud 115200", baud_115200, "FF FA 2C 01 00 01 C2 00 FF F0"},
      {"dtr on", dtr_on, "FF FA 2C 05 08 FF F0"},
      {"modem state 0xFF", mask, "FF FA 2C 6B FF FF FF F0"},
      {"will com port", negotiation, "FF FB 2C"},
  };
  for (const Case& c : cases) EXPECT_EQ(Hex(c.wire), c.expected) << c.name;
  EXPECT_EQ(DecodeBaudRate(BaudRateValue(115200).data(), 4), 115200u);
  EXPECT_FALSE(DecodeBaudRate(Bytes(8, 0).data(), 8).has_value());
}

TEST(Rfc2217Encode, MapsDcbSettingsToWireValuesAndRefusesTheRest) {
  auto dcb = [](uint32_t baud, uint8_t size, uint8_t parity, uint8_t stop, uint32_t flags) {
    Dcb d;
    d.baud_rate = baud;
    d.byte_size = size;
    d.parity = parity;
    d.stop_bits = stop;
    d.flags = flags;
    return d;
  };
  struct Case {
    Dcb dcb;
    std::optional<LineSettings> expected;
  };
  const Case cases[] = {
      {dcb(19200, 8, kNoParity, kTwoStopBits, 0), LineSettings{19200, 8, kParityNone, kStopTwo, kControlFlowNone}},
      {dcb(115200, 7, kEvenParity, kOneStopBit, kDcbOutX | kDcbInX),
       LineSettings{115200, 7, kParityEven, kStopOne, kControlFlowXonXoff}},
      {dcb(9600, 5, kSpaceParity, kOne5StopBits, kDcbOutxCtsFlow | kDcbRtsControlHandshake),
       LineSettings{9600, 5, kParitySpace, kStopOneAndHalf, kControlFlowHardware}},
      {dcb(300, 6, kMarkParity, kOneStopBit, 0), LineSettings{300, 6, kParityMark, kStopOne, kControlFlowNone}},
      {dcb(0, 8, kNoParity, kOneStopBit, 0), std::nullopt},
      {dcb(9600, 9, kNoParity, kOneStopBit, 0), std::nullopt},
      {dcb(9600, 4, kNoParity, kOneStopBit, 0), std::nullopt},
      {dcb(9600, 8, 5, kOneStopBit, 0), std::nullopt},
      {dcb(9600, 8, kNoParity, 3, 0), std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LineSettingsFromDcb(c.dcb), c.expected) << c.dcb.baud_rate << " " << int(c.dcb.byte_size);
  }
  for (uint8_t p = kNoParity; p <= kSpaceParity; ++p) EXPECT_EQ(ParityFromWire(*ParityToWire(p)), p);
  for (uint8_t s = kOneStopBit; s <= kTwoStopBits; ++s) {
    EXPECT_EQ(StopBitsFromWire(*StopBitsToWire(s)), s);
  }
  EXPECT_FALSE(ParityFromWire(0).has_value());
  EXPECT_FALSE(StopBitsFromWire(4).has_value());
}

// ---- Parser ----

// Writes every event as text; adjacent data runs are joined, since where a
// run is cut depends only on how the stream was sliced.
class EventLog final : public TelnetHandler {
 public:
  void OnData(const uint8_t* data, size_t length) override {
    if (events_.empty() || events_.back().rfind("D:", 0) != 0) events_.push_back("D:");
    std::string& d = events_.back();
    d += (d.size() > 2 ? " " : "") + Hex(Bytes(data, data + length));
  }
  void OnNegotiation(uint8_t verb, uint8_t option) override {
    events_.push_back("N:" + Hex({verb, option}));
  }
  void OnSubnegotiation(uint8_t option, const uint8_t* payload, size_t length) override {
    Bytes all{option};
    all.insert(all.end(), payload, payload + length);
    events_.push_back("S:" + Hex(all));
  }
  void OnCommand(uint8_t command) override { events_.push_back("C:" + Hex({command})); }
  void OnMalformed() override { events_.push_back("M"); }
  std::string Text() const {
    std::string out;
    for (const auto& e : events_) out += (out.empty() ? "" : " | ") + e;
    return out;
  }

 private:
  std::vector<std::string> events_;
};

struct ParseCase {
  const char* name;
  Bytes wire;
  const char* events;
};
void PrintTo(const ParseCase& c, std::ostream* os) { *os << c.name; }

Bytes LongSubnegotiation() {
  Bytes wire{kIac, kSb, kOptionComPort};
  wire.insert(wire.end(), kMaxSubnegotiation + 10, 0x11);
  wire.insert(wire.end(), {kIac, kSe, 0x42});
  return wire;
}

class Rfc2217Parse : public ::testing::TestWithParam<ParseCase> {};

// The same events whether the stream comes whole, cut at any one point, or
// one byte at a time.
TEST_P(Rfc2217Parse, GivesTheSameEventsForEverySplit) {
  const ParseCase& c = GetParam();
  const Bytes& wire = c.wire;
  {
    TelnetParser parser;
    EventLog log;
    parser.Feed(wire.data(), wire.size(), log);
    EXPECT_EQ(log.Text(), c.events) << "whole";
  }
  for (size_t cut = 0; cut <= wire.size(); ++cut) {
    TelnetParser parser;
    EventLog log;
    parser.Feed(wire.data(), cut, log);
    parser.Feed(wire.data() + cut, wire.size() - cut, log);
    EXPECT_EQ(log.Text(), c.events) << "cut at " << cut;
  }
  TelnetParser parser;
  EventLog log;
  for (uint8_t b : wire) parser.Feed(&b, 1, log);
  EXPECT_EQ(log.Text(), c.events) << "byte by byte";
}

INSTANTIATE_TEST_SUITE_P(
    Streams, Rfc2217Parse,
    ::testing::Values(
        ParseCase{"data", {0x41, 0x00, 0x42}, "D:41 00 42"},
        ParseCase{"doubled iac", {0x41, 0xFF, 0xFF, 0x42, 0xFF, 0xFF}, "D:41 FF 42 FF"},
        ParseCase{"negotiations", {0xFF, 0xFD, 0x2C, 0xFF, 0xFB, 0x00}, "N:FD 2C | N:FB 00"},
        ParseCase{"modem state with escaped ff",
                  {0x10, 0xFF, 0xFA, 0x2C, 0x6B, 0xFF, 0xFF, 0xFF, 0xF0, 0x20},
                  "D:10 | S:2C 6B FF | D:20"},
        ParseCase{"baud reply", {0xFF, 0xFA, 0x2C, 0x65, 0x00, 0x01, 0xC2, 0x00, 0xFF, 0xF0},
                  "S:2C 65 00 01 C2 00"},
        ParseCase{"other commands", {0xFF, 0xF1, 0x41, 0xFF, 0xF9, 0xFF, 0xF0}, "C:F1 | D:41 | C:F9 | C:F0"},
        ParseCase{"subnegotiation cut by a command",
                  {0xFF, 0xFA, 0x2C, 0x01, 0xFF, 0xFB, 0x03, 0x41}, "M | N:FB 03 | D:41"},
        ParseCase{"empty subnegotiation", {0xFF, 0xFA, 0xFF, 0xF0, 0x41}, "M | D:41"},
        ParseCase{"overlong subnegotiation dropped", LongSubnegotiation(), "M | D:42"}),
    [](const ::testing::TestParamInfo<ParseCase>& info) {
      std::string name = info.param.name;
      for (char& ch : name) {
        if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
      }
      return name;
    });

TEST(Rfc2217Parse, SubnegotiationThatNeverEndsSwallowsDataWithinItsCap) {
  TelnetParser parser;
  EventLog log;
  const Bytes start{kIac, kSb, kOptionComPort, kServerOffset + kNotifyModemState};
  parser.Feed(start.data(), start.size(), log);
  const Bytes flood(100000, 0x55);
  for (int i = 0; i < 10; ++i) parser.Feed(flood.data(), flood.size(), log);
  EXPECT_TRUE(parser.InSubnegotiation());
  EXPECT_LE(parser.BufferedSubnegotiation(), kMaxSubnegotiation);
  EXPECT_EQ(log.Text(), "");
  const Bytes end{kIac, kSe, 0x41};
  parser.Feed(end.data(), end.size(), log);
  EXPECT_EQ(log.Text(), "M | D:41");
  EXPECT_FALSE(parser.InSubnegotiation());
}

// ---- Option negotiation ----

TEST(Rfc2217Options, AnswersOnlyWhatTheStateCallsFor) {
  struct Step {
    uint8_t verb;
    uint8_t option;
    const char* reply;
  };
  struct Case {
    const char* name;
    bool request_local_com_port;
    std::vector<Step> steps;
    bool com_port_on;
    bool com_port_refused;
  };
  const Case cases[] = {
      {"request accepted", true, {{kDo, kOptionComPort, ""}, {kDo, kOptionComPort, ""}}, true, false},
      {"request refused", true, {{kDont, kOptionComPort, ""}}, false, true},
      {"on, then switched off", true,
       {{kDo, kOptionComPort, ""}, {kDont, kOptionComPort, "FF FC 2C"}}, false, true},
      {"unasked do for an allowed option", false, {{kDo, kOptionComPort, "FF FB 2C"}}, true, false},
      {"echo offered, refused once", false,
       {{kWill, kOptionEcho, "FF FE 01"}, {kWont, kOptionEcho, ""}}, false, false},
      {"unknown option asked of us", false, {{kDo, 0x18, "FF FC 18"}}, false, false},
      {"sga offered, agreed once", false,
       {{kWill, kOptionSga, "FF FD 03"}, {kWill, kOptionSga, ""}}, false, false},
  };
  for (const Case& c : cases) {
    TelnetOptions options;
    options.AllowLocal(kOptionComPort);
    options.AllowRemote(kOptionSga);
    Bytes out;
    if (c.request_local_com_port) {
      options.RequestLocal(kOptionComPort, &out);
      EXPECT_EQ(Hex(out), "FF FB 2C") << c.name;
      options.RequestLocal(kOptionComPort, &out);  // asked already: nothing more
      EXPECT_EQ(out.size(), 3u) << c.name;
    }
    for (const Step& s : c.steps) {
      out.clear();
      options.Receive(s.verb, s.option, &out);
      EXPECT_EQ(Hex(out), s.reply) << c.name << " after " << Hex({s.verb, s.option});
    }
    EXPECT_EQ(options.LocalEnabled(kOptionComPort), c.com_port_on) << c.name;
    EXPECT_EQ(options.LocalRefused(kOptionComPort), c.com_port_refused) << c.name;
  }
}

// A client and a server policy built from the same class settle in a few
// exchanges, with no option bouncing back and forth.
TEST(Rfc2217Options, ClientAndServerSettleWithoutLooping) {
  ComPortClient client;
  TelnetOptions server;
  server.AllowRemote(kOptionComPort);
  server.AllowRemote(kOptionBinary);
  server.AllowLocal(kOptionBinary);
  server.AllowLocal(kOptionSga);
  server.AllowLocal(kOptionEcho);
  Bytes to_client;
  server.RequestLocal(kOptionEcho, &to_client);  // servers often offer echo
  server.RequestLocal(kOptionSga, &to_client);
  client.Start();
  class Negotiations final : public TelnetHandler {
   public:
    explicit Negotiations(TelnetOptions& o, Bytes& out) : options(o), reply(out) {}
    void OnData(const uint8_t*, size_t) override {}
    void OnNegotiation(uint8_t verb, uint8_t option) override { options.Receive(verb, option, &reply); }
    void OnSubnegotiation(uint8_t, const uint8_t*, size_t) override {}
    TelnetOptions& options;
    Bytes& reply;
  };
  TelnetParser server_parser;
  int rounds = 0;
  while ((!client.outgoing().empty() || !to_client.empty()) && rounds < 10) {
    Bytes to_server = std::move(client.outgoing());
    client.outgoing().clear();
    client.Receive(to_client.data(), to_client.size());
    to_client.clear();
    Negotiations handler(server, to_client);
    server_parser.Feed(to_server.data(), to_server.size(), handler);
    ++rounds;
  }
  EXPECT_LT(rounds, 4);
  EXPECT_TRUE(client.ComPortAccepted());
  EXPECT_TRUE(server.RemoteEnabled(kOptionComPort));
  EXPECT_TRUE(server.RemoteEnabled(kOptionBinary));
  EXPECT_TRUE(server.LocalEnabled(kOptionBinary));
  EXPECT_TRUE(server.LocalEnabled(kOptionSga));
  EXPECT_FALSE(server.LocalEnabled(kOptionEcho));
}

// ---- Client bookkeeping ----

class Rfc2217Client : public ::testing::Test {
 protected:
  void Feed(const Bytes& wire) { client_.Receive(wire.data(), wire.size()); }
  static Bytes Reply(uint8_t command, const Bytes& value) {
    Bytes wire;
    AppendComPort(static_cast<uint8_t>(kServerOffset + command), value, &wire);
    return wire;
  }
  std::string TakeInput() {
    Bytes buffer(client_.input_size());
    buffer.resize(client_.TakeInput(buffer.data(), buffer.size()));
    return Hex(buffer);
  }
  ComPortClient client_;
};

TEST_F(Rfc2217Client, OpensWithComPortBinaryAndSgaAndNeedsDoComPort) {
  client_.Start();
  EXPECT_EQ(Hex(client_.outgoing()), "FF FB 2C FF FB 00 FF FD 00 FF FB 03 FF FD 03");
  client_.outgoing().clear();
  // What a typical server sends first: it offers echo, SGA and the option
  // itself, asks for binary; none of that is the DO the client waits for.
  Feed({0xFF, 0xFB, 0x01, 0xFF, 0xFB, 0x03, 0xFF, 0xFD, 0x00, 0xFF, 0xFB, 0x2C});
  EXPECT_FALSE(client_.ComPortAccepted());
  EXPECT_EQ(Hex(client_.outgoing()), "FF FE 01 FF FD 2C");
  Feed({0xFF, 0xFD, 0x2C});
  EXPECT_TRUE(client_.ComPortAccepted());
  EXPECT_FALSE(client_.ComPortRefused());
}

TEST_F(Rfc2217Client, MatchesRepliesAndLearnsWhichOnesNeverCome) {
  client_.SendCommand(kSetControl, {kControlDtrOn}, true);
  client_.SendCommand(kSetControl, {kControlRtsOff}, true);
  client_.SendCommand(kPurgeData, {kPurgeBoth}, true);
  client_.SendCommand(kSetModemStateMask, {0x33}, false);
  // Replies out of order: each SET-CONTROL reply is matched by its value.
  Feed(Reply(kSetControl, {kControlRtsOff}));
  EXPECT_TRUE(client_.AwaitingReplies());
  Feed(Reply(kSetControl, {kControlDtrOn}));
  EXPECT_TRUE(client_.AwaitingReplies());  // the purge is still out
  client_.GiveUpOnReplies();
  EXPECT_FALSE(client_.AwaitingReplies());
  client_.SendCommand(kPurgeData, {kPurgeBoth}, true);
  EXPECT_FALSE(client_.AwaitingReplies()) << "a server that skipped it once is not waited for again";
  client_.SendCommand(kSetControl, {kControlDtrOff}, true);
  EXPECT_TRUE(client_.AwaitingReplies());
}

TEST_F(Rfc2217Client, RefusesOnlyWellFormedDifferentSettings) {
  struct Case {
    const char* name;
    uint8_t command;
    Bytes asked;
    Bytes reply;
    bool refused;
  };
  const Case cases[] = {
      {"same speed", kSetBaudRate, BaudRateValue(115200), BaudRateValue(115200), false},
      {"other speed", kSetBaudRate, BaudRateValue(115200), BaudRateValue(9600), true},
      {"8-byte speed reply", kSetBaudRate, BaudRateValue(115200), Bytes(8, 0x01), false},
      {"empty reply", kSetDataSize, {8}, {}, false},
      {"other parity", kSetParity, {kParityNone}, {kParityEven}, true},
      {"query", kSetStopSize, {0}, {kStopTwo}, false},
  };
  for (const Case& c : cases) {
    ComPortClient client;
    client.SendCommand(c.command, c.asked, true);
    Bytes wire = Reply(c.command, c.reply);
    client.Receive(wire.data(), wire.size());
    EXPECT_FALSE(client.AwaitingReplies()) << c.name;
    EXPECT_EQ(client.TakeSettingRefused(), c.refused) << c.name;
    EXPECT_FALSE(client.TakeSettingRefused()) << c.name;
    EXPECT_EQ(client.LastReply(c.command), c.reply) << c.name;
  }
}

TEST_F(Rfc2217Client, KeepsModemStateLineErrorsAndSuspension) {
  EXPECT_FALSE(client_.modem_state_known());
  Bytes notice = Reply(kNotifyModemState, {kModemDsr | kModemDeltaDsr});
  Feed(Bytes(notice.begin(), notice.begin() + 4));  // split inside the notice
  EXPECT_FALSE(client_.modem_state_known());
  Feed(Bytes(notice.begin() + 4, notice.end()));
  EXPECT_EQ(client_.modem_state(), kModemDsr | kModemDeltaDsr);
  Feed(Reply(kNotifyModemState, {kModemDeltaDsr | kModemDeltaCts}));  // both lines dropped
  EXPECT_EQ(client_.modem_state() & (kModemDsr | kModemCts), 0);
  Feed(Reply(kNotifyModemState, {0xFF}));
  EXPECT_EQ(client_.modem_state(), 0xFF);

  Feed(Reply(kNotifyLineState, {kLineFramingError | kLineOverrunError}));
  Feed(Reply(kNotifyLineState, {kLineBreak}));
  EXPECT_EQ(client_.TakeLineErrors(), kErrorFraming | kErrorOverrun | kErrorBreak);
  EXPECT_EQ(client_.TakeLineErrors(), 0u);

  Feed(Reply(kFlowControlSuspend, {}));
  EXPECT_TRUE(client_.suspended());
  Feed(Reply(kFlowControlResume, {}));
  EXPECT_FALSE(client_.suspended());
}

TEST_F(Rfc2217Client, PurgeReplyDropsOnlyDataReceivedBeforeIt) {
  client_.SendCommand(kPurgeData, {kPurgeBoth}, true);
  Bytes wire{0x01, 0x02};
  Bytes reply = Reply(kPurgeData, {kPurgeBoth});
  wire.insert(wire.end(), reply.begin(), reply.end());
  wire.insert(wire.end(), {0x03, 0xFF, 0xFF});
  Feed(wire);
  EXPECT_FALSE(client_.AwaitingReplies());
  EXPECT_EQ(TakeInput(), "03 FF");
}

TEST_F(Rfc2217Client, BoundsReceivedDataAndQueuedOutput) {
  ComPortClient small(8);
  const Bytes flood(20, 0x33);
  small.Receive(flood.data(), flood.size());
  EXPECT_EQ(small.input_size(), 8u);
  EXPECT_EQ(small.TakeLineErrors(), kErrorRxOverflow);

  // An escaped 0xFF is never cut in half by the limit.
  const uint8_t data[] = {0x01, 0x02, 0x03, 0xFF};
  EXPECT_EQ(client_.QueueData(data, sizeof(data), 4), 3u);
  EXPECT_EQ(Hex(client_.outgoing()), "01 02 03");
  EXPECT_EQ(client_.QueueData(data + 3, 1, 5), 1u);
  EXPECT_EQ(Hex(client_.outgoing()), "01 02 03 FF FF");
}

}  // namespace
}  // namespace velloquin::rfc2217
