// The server side of one RFC 2217 connection over a simulated port, in
// virtual time and byte for byte: negotiation, every setting and its reply,
// control lines, modem notices, data in its order with the commands, 0xFF in
// both directions, XOFF hold, purge, and the bounds on what it takes in.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "bootloader/commands.h"
#include "sim/rfc2217_server.h"
#include "sim/sim_station.h"
#include "sim/wire_frame.h"

namespace velloquin::sim {
namespace {

using rfc2217::Bytes;
namespace wire = rfc2217;

Bytes Command(uint8_t code, const Bytes& value) {
  Bytes out;
  wire::AppendComPort(code, value, &out);
  return out;
}
Bytes Reply(uint8_t code, const Bytes& value) {
  return Command(static_cast<uint8_t>(code + wire::kServerOffset), value);
}
Bytes Data(const Bytes& data) {
  Bytes out;
  wire::AppendEscaped(data.data(), data.size(), &out);
  return out;
}
Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class ServerSession : public ::testing::Test {
 protected:
  void SetUp() override { Open("sim:"); }

  void Open(const std::string& spec) {
    session_.reset();
    port_.reset();
    std::string error;
    bench_ = SimPrinter::FromSpec(spec, &clock_, testing::TestKeyTable(), &error);
    ASSERT_NE(bench_, nullptr) << error;
    int error_number = 0;
    port_ = bench_->Open(&error_number);
    ASSERT_NE(port_, nullptr) << error_number;
    session_ = std::make_unique<ComPortSession>(*port_, clock_, options_);
    ASSERT_EQ(session_->Start(), 0);
    opening_ = Take();
  }
  Bytes Take() {
    Bytes out;
    out.swap(session_->outgoing());
    return out;
  }
  // Feeds `in`, runs one turn of the server, and returns what it sends.
  Bytes Exchange(const Bytes& in) {
    session_->Receive(in.data(), in.size());
    session_->Service();
    return Take();
  }
  // The client's WILL COM-PORT-OPTION; returns the server's answer.
  Bytes Agree() { return Exchange({wire::kIac, wire::kWill, wire::kOptionComPort}); }
  // Lets `ms` pass, serving every millisecond; returns what was sent.
  Bytes Run(int64_t ms) {
    Bytes out;
    for (int64_t i = 0; i < ms; ++i) {
      clock_.SleepMs(1);
      out = out + Exchange({});
    }
    return out;
  }
  // The baud shift at the printer's 19200 8N2: with shift_ms=0 the printer
  // listens for the stream at 115200 8N2 right after it.
  void ShiftIntoDownload() {
    Exchange(Command(wire::kSetBaudRate, wire::BaudRateValue(19200)) +
             Command(wire::kSetStopSize, {wire::kStopTwo}) + Data(BaudShiftCommand));
    Run(10);
  }
  Dcb PortDcb() {
    CommConfigRecord config;
    EXPECT_EQ(port_->GetConfig(&config), 0);
    return config.dcb;
  }
  uint32_t Queued() {
    CommStatus status;
    EXPECT_EQ(port_->GetStatus(&status), 0);
    return status.out_queue;
  }

  VirtualClock clock_;
  Rfc2217ServerOptions options_;
  std::shared_ptr<SimPrinter> bench_;
  std::unique_ptr<SerialDevice> port_;
  std::unique_ptr<ComPortSession> session_;
  Bytes opening_;
};

TEST_F(ServerSession, AgreesToTheComPortOptionAndSendsTheLinesAtOnce) {
  EXPECT_EQ(opening_, (Bytes{0xFF, 0xFB, 0x00, 0xFF, 0xFD, 0x00, 0xFF, 0xFB, 0x03}))
      << "binary both ways, SGA";
  // DSR is on (a printer is plugged in), with its change bit: first notice.
  EXPECT_EQ(Agree(), (Bytes{wire::kIac, wire::kDo, wire::kOptionComPort} +
                      Reply(wire::kNotifyModemState, {0x22})));
  EXPECT_EQ(Exchange({wire::kIac, wire::kDo, wire::kOptionComPort}), (Bytes{0xFF, 0xFB, 0x2C}));
  EXPECT_EQ(Exchange({wire::kIac, wire::kDo, wire::kOptionEcho}), (Bytes{0xFF, 0xFC, 0x01}));
  EXPECT_EQ(Exchange({wire::kIac, wire::kWill, wire::kOptionEcho}), (Bytes{0xFF, 0xFE, 0x01}));
  // The client's answers to our own requests are not answered again.
  EXPECT_EQ(Exchange({wire::kIac, wire::kDo, wire::kOptionBinary, wire::kIac, wire::kWill,
                      wire::kOptionBinary}),
            Bytes{});
  EXPECT_EQ(Exchange(Command(wire::kNotifyModemState, {})), Reply(wire::kNotifyModemState, {0x20}))
      << "asked again: no change bits now";
  EXPECT_EQ(Exchange(Command(wire::kSignature, {})),
            Reply(wire::kSignature, Bytes{'V', 'e', 'l', 'l', 'o', 'q', 'u', 'i', 'n', ' ', 's',
                                          'i', 'm', 'u', 'l', 'a', 't', 'e', 'd', ' ', 's', 'e',
                                          'r', 'i', 'a', 'l', ' ', 'p', 'o', 'r', 't'}));
}

TEST_F(ServerSession, EverySettingIsAppliedAndAnsweredWithTheValueInEffect) {
  struct Case {
    const char* name;
    uint8_t code;
    Bytes value;
    Bytes reply;
    uint32_t baud;
    uint8_t size, parity, stop;
    uint32_t flags_set;  // DCB flags that must be on afterwards
  };
  const uint32_t kNoFlags = 0;
  const Case cases[] = {
      {"speed", wire::kSetBaudRate, wire::BaudRateValue(19200), wire::BaudRateValue(19200), 19200,
       8, kNoParity, kOneStopBit, kNoFlags},
      {"speed the port cannot run", wire::kSetBaudRate, wire::BaudRateValue(12345),
       wire::BaudRateValue(9600), 9600, 8, kNoParity, kOneStopBit, kNoFlags},
      {"speed with 0xFF bytes", wire::kSetBaudRate, wire::BaudRateValue(0x0001FFFF),
       wire::BaudRateValue(9600), 9600, 8, kNoParity, kOneStopBit, kNoFlags},
      {"speed asked", wire::kSetBaudRate, wire::BaudRateValue(0), wire::BaudRateValue(9600), 9600,
       8, kNoParity, kOneStopBit, kNoFlags},
      {"speed of 8 bytes is a question", wire::kSetBaudRate, Bytes(8, 1), wire::BaudRateValue(9600),
       9600, 8, kNoParity, kOneStopBit, kNoFlags},
      {"data size", wire::kSetDataSize, {7}, {7}, 9600, 7, kNoParity, kOneStopBit, kNoFlags},
      {"data size 9", wire::kSetDataSize, {9}, {8}, 9600, 8, kNoParity, kOneStopBit, kNoFlags},
      {"parity even",
       wire::kSetParity,
       {wire::kParityEven},
       {wire::kParityEven},
       9600,
       8,
       kEvenParity,
       kOneStopBit,
       kNoFlags},
      {"parity unknown",
       wire::kSetParity,
       {9},
       {wire::kParityNone},
       9600,
       8,
       kNoParity,
       kOneStopBit,
       kNoFlags},
      {"two stop bits",
       wire::kSetStopSize,
       {wire::kStopTwo},
       {wire::kStopTwo},
       9600,
       8,
       kNoParity,
       kTwoStopBits,
       kNoFlags},
      {"one and a half",
       wire::kSetStopSize,
       {wire::kStopOneAndHalf},
       {wire::kStopOneAndHalf},
       9600,
       8,
       kNoParity,
       kOne5StopBits,
       kNoFlags},
      {"XON/XOFF out",
       wire::kSetControl,
       {wire::kControlFlowXonXoff},
       {wire::kControlFlowXonXoff},
       9600,
       8,
       kNoParity,
       kOneStopBit,
       kDcbOutX},
      {"hardware out",
       wire::kSetControl,
       {wire::kControlFlowHardware},
       {wire::kControlFlowHardware},
       9600,
       8,
       kNoParity,
       kOneStopBit,
       kDcbOutxCtsFlow},
      {"XON/XOFF in", wire::kSetControl, {15}, {15}, 9600, 8, kNoParity, kOneStopBit, kDcbInX},
      {"hardware in",
       wire::kSetControl,
       {16},
       {16},
       9600,
       8,
       kNoParity,
       kOneStopBit,
       kDcbRtsControlHandshake},
      {"flow asked",
       wire::kSetControl,
       {wire::kControlAskFlow},
       {wire::kControlFlowNone},
       9600,
       8,
       kNoParity,
       kOneStopBit,
       kNoFlags},
      {"inbound flow asked",
       wire::kSetControl,
       {13},
       {14},
       9600,
       8,
       kNoParity,
       kOneStopBit,
       kNoFlags},
      {"no break on this port",
       wire::kSetControl,
       {wire::kControlBreakOn},
       {wire::kControlBreakOff},
       9600,
       8,
       kNoParity,
       kOneStopBit,
       kNoFlags},
      {"DTR asked",
       wire::kSetControl,
       {7},
       {wire::kControlDtrOn},
       9600,
       8,
       kNoParity,
       kOneStopBit,
       kDcbDtrControlEnable},
      {"RTS asked",
       wire::kSetControl,
       {10},
       {wire::kControlRtsOn},
       9600,
       8,
       kNoParity,
       kOneStopBit,
       kDcbRtsControlEnable},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Open("sim:");
    Agree();
    EXPECT_EQ(Exchange(Command(c.code, c.value)), Reply(c.code, c.reply));
    const Dcb dcb = PortDcb();
    EXPECT_EQ(dcb.baud_rate, c.baud);
    EXPECT_EQ(dcb.byte_size, c.size);
    EXPECT_EQ(dcb.parity, c.parity);
    EXPECT_EQ(dcb.stop_bits, c.stop);
    EXPECT_TRUE(dcb.Has(c.flags_set)) << std::hex << dcb.flags;
  }
}

TEST_F(ServerSession, ControlLinesMoveOnlyWhenTheClientMovesThem) {
  Agree();
  const size_t opened = bench_->LineLevels().size();
  EXPECT_EQ(Exchange(Command(wire::kSetControl, {wire::kControlDtrOff})),
            Reply(wire::kSetControl, {wire::kControlDtrOff}));
  EXPECT_EQ(Exchange(Command(wire::kSetControl, {wire::kControlRtsOff})),
            Reply(wire::kSetControl, {wire::kControlRtsOff}));
  std::vector<LineLevelChange> levels = bench_->LineLevels();
  ASSERT_EQ(levels.size(), opened + 2);
  EXPECT_EQ(levels[opened].line, ControlLine::kDtr);
  EXPECT_FALSE(levels[opened].on);
  EXPECT_EQ(levels[opened].cause, LineCause::kEscape);
  EXPECT_EQ(levels[opened + 1].line, ControlLine::kRts);
  EXPECT_FALSE(levels[opened + 1].on);
  // A change of speed, frame or flow reconfigures the port: the lines stay.
  Exchange(Command(wire::kSetBaudRate, wire::BaudRateValue(115200)) +
           Command(wire::kSetStopSize, {wire::kStopTwo}) +
           Command(wire::kSetControl, {wire::kControlFlowXonXoff}));
  EXPECT_EQ(bench_->LineLevels().size(), opened + 2);
  EXPECT_EQ(PortDcb().flags & (kDcbDtrControlMask | kDcbRtsControlMask), 0u);
  EXPECT_EQ(Exchange(Command(wire::kSetControl, {7}) + Command(wire::kSetControl, {10})),
            Reply(wire::kSetControl, {wire::kControlDtrOff}) +
                Reply(wire::kSetControl, {wire::kControlRtsOff}));
  Exchange(Command(wire::kSetControl, {wire::kControlDtrOn}));
  levels = bench_->LineLevels();
  EXPECT_TRUE(levels.back().on);
  EXPECT_EQ(levels.back().line, ControlLine::kDtr);
}

TEST_F(ServerSession, ModemChangesAreNotifiedAsTheMaskLetsThrough) {
  Agree();
  bench_->SetButton(true);
  EXPECT_EQ(Exchange({}), Reply(wire::kNotifyModemState, {0x31})) << "DSR, CTS and CTS changed";
  EXPECT_EQ(Exchange({}), Bytes{}) << "no change, no notice";

  // Only DSR: a change of CTS alone says nothing.
  EXPECT_EQ(Exchange(Command(wire::kSetModemStateMask, {wire::kModemDsr})),
            Reply(wire::kSetModemStateMask, {wire::kModemDsr}));
  bench_->SetButton(false);
  EXPECT_EQ(Exchange({}), Bytes{});

  // DSR and CTS without their change bits: both dropping is still sent, as 0.
  Exchange(Command(wire::kSetModemStateMask, {wire::kModemDsr | wire::kModemCts}));
  bench_->SetButton(true);
  EXPECT_EQ(Exchange({}), Reply(wire::kNotifyModemState, {0x30}));
  bench_->SetButton(false);
  bench_->Unplug();
  EXPECT_EQ(Exchange({}), Reply(wire::kNotifyModemState, {0x00}));
}

TEST_F(ServerSession, NoModemNoticesBeforeTheOptionIsAgreed) {
  bench_->SetButton(true);
  EXPECT_EQ(Exchange({}), Bytes{});
  EXPECT_EQ(Agree(), (Bytes{wire::kIac, wire::kDo, wire::kOptionComPort} +
                      Reply(wire::kNotifyModemState, {0x33})));
}

// The printer's download: baud shift at 19200 8N2, then the stream at 115200
// 8N2. Every byte value goes through, 0xFF doubled on the wire.
TEST_F(ServerSession, DataReachesThePrinterWithIacUndoubled) {
  Open("sim:shift_ms=0");
  Agree();
  ShiftIntoDownload();
  Bytes image;
  for (int i = 0; i < 2048; ++i) image.push_back(static_cast<uint8_t>(i * 7));
  Bytes wire_image = Data(image);
  ASSERT_EQ(wire_image.size(), image.size() + 8) << "eight 0xFF bytes doubled";
  // The speed change and the stream arrive in one slice, split mid-escape.
  const Bytes speed = Command(wire::kSetBaudRate, wire::BaudRateValue(115200));
  Bytes slice = speed + wire_image;
  // Inside the first doubled 0xFF.
  const size_t split =
      speed.size() +
      static_cast<size_t>(std::find(image.begin(), image.end(), wire::kIac) - image.begin()) + 1;
  ASSERT_EQ(slice[split - 1], wire::kIac);
  ASSERT_EQ(slice[split], wire::kIac);
  session_->Receive(slice.data(), split);
  session_->Receive(slice.data() + split, slice.size() - split);
  Run(300);
  ASSERT_EQ(port_->Close(), 0);
  EXPECT_EQ(bench_->Printer(1).received_image, image);
}

TEST_F(ServerSession, PortBytesGoToTheClientWithIacDoubled) {
  // A seed whose unlock challenge holds 0xFF, found with a direct station.
  Bytes challenge;
  std::string spec;
  for (int seed = 1; seed < 2000 && challenge.empty(); ++seed) {
    testing::SimStation station("sim:seed=" + std::to_string(seed));
    station.Reopen(kBootLoaderFrame);
    station.ReadTimeouts(200, 0, 0);
    station.Send(UnlockFiller);
    station.Send(UnlockRequest);
    station.Wait(50);
    Bytes got = station.Receive(4);
    if (std::find(got.begin(), got.end(), wire::kIac) != got.end()) {
      challenge = got;
      spec = "sim:seed=" + std::to_string(seed);
    }
  }
  ASSERT_FALSE(challenge.empty());
  Open(spec);
  Agree();
  Exchange(Command(wire::kSetBaudRate, wire::BaudRateValue(115200)) + Data(UnlockFiller) +
           Data(UnlockRequest));
  EXPECT_EQ(Run(50), Data(challenge));
}

// A change of speed waits for the bytes before it to leave at the old speed;
// a line change only for them to reach the port.
TEST_F(ServerSession, CommandsKeepTheirPlaceAmongTheData) {
  options_.settings_drain_limit_ms = 1000;
  Open("sim:");
  Agree();
  // 100 bytes at 9600 8N1 take 104.2 ms on the wire.
  Bytes out = Exchange(Data(Bytes(100, 0x55)) + Command(wire::kSetControl, {wire::kControlDtrOff}) +
                       Command(wire::kSetBaudRate, wire::BaudRateValue(19200)));
  EXPECT_EQ(out, Reply(wire::kSetControl, {wire::kControlDtrOff}));
  EXPECT_FALSE(bench_->LineLevels().back().on);
  EXPECT_EQ(PortDcb().baud_rate, 9600u);
  EXPECT_TRUE(session_->HasWorkForPort());
  out = Run(104);
  EXPECT_EQ(out, Bytes{}) << "still on the wire";
  out = Run(2);
  EXPECT_EQ(out, Reply(wire::kSetBaudRate, wire::BaudRateValue(19200)));
  EXPECT_EQ(PortDcb().baud_rate, 19200u);
  EXPECT_FALSE(session_->HasWorkForPort());

  // A port that does not drain in time gets the change anyway.
  options_.settings_drain_limit_ms = 20;
  Open("sim:");
  Agree();
  Exchange(Data(Bytes(100, 0x55)) + Command(wire::kSetBaudRate, wire::BaudRateValue(19200)));
  EXPECT_EQ(Run(19), Bytes{});
  EXPECT_EQ(Run(2), Reply(wire::kSetBaudRate, wire::BaudRateValue(19200)));
  EXPECT_GT(Queued(), 0u);
}

// The owner reads from the client only while the session wants input, and
// serves it after each read; this does the same with 256-byte reads from
// `data` until the session wants no more.
size_t FeedWhileWanted(ComPortSession& session, const Bytes& data, size_t fed) {
  session.Service();
  while (session.WantsInput() && fed < data.size()) {
    const size_t n = std::min<size_t>(256, data.size() - fed);
    session.Receive(data.data() + fed, n);
    fed += n;
    session.Service();
  }
  return fed;
}

TEST_F(ServerSession, TakesInputOnlyWhileThePortHasRoom) {
  Open("sim:shift_ms=0,buffer=1024,consume=2000");
  Agree();
  ShiftIntoDownload();
  Exchange(Command(wire::kSetBaudRate, wire::BaudRateValue(115200)) +
           Command(wire::kSetControl, {wire::kControlFlowXonXoff}));
  Bytes image(12000);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i % 251);
  size_t fed = FeedWhileWanted(*session_, image, 0);
  EXPECT_EQ(Queued(), kTxQueueSize);
  EXPECT_EQ(session_->buffered_for_port(), 0u) << "nothing read ahead of a full queue";
  EXPECT_FALSE(session_->WantsInput());

  bool suspended = false, resumed_after = false;
  size_t most_ahead = 0;
  for (int ms = 0; ms < 20000 && bench_->Printer(1).received_image.size() < image.size(); ++ms) {
    clock_.SleepMs(1);
    fed = FeedWhileWanted(*session_, image, fed);
    const Bytes out = Take();
    if (out == Reply(wire::kFlowControlSuspend, {})) {
      // The printer said XOFF: the port holds, the client is told, and
      // nothing more is taken in for as long as it holds.
      suspended = true;
      const size_t before = fed;
      for (int k = 0; k < 100; ++k) {
        clock_.SleepMs(1);
        fed = FeedWhileWanted(*session_, image, fed);
        ASSERT_EQ(Take(), Bytes{});
      }
      EXPECT_EQ(fed, before);
      if (fed < image.size()) {
        EXPECT_EQ(Queued(), kTxQueueSize);
      }
    } else if (out == Reply(wire::kFlowControlResume, {})) {
      resumed_after = suspended;
    } else {
      ASSERT_EQ(out, Bytes{});
    }
    most_ahead = std::max(most_ahead, fed - bench_->Printer(1).received_image.size());
  }
  EXPECT_TRUE(suspended);
  EXPECT_TRUE(resumed_after);
  EXPECT_LE(most_ahead, kTxQueueSize + 256);  // the queue and one read
  EXPECT_EQ(bench_->Printer(1).received_image, image) << "held, not lost";
}

TEST_F(ServerSession, PurgeDropsWhatHasNotReachedThePort) {
  Agree();
  Bytes out = Exchange(Data(Bytes(100, 0x41)) + Command(wire::kSetControl, {wire::kControlDtrOff}) +
                       Data(Bytes(5000, 0x42)) + Command(wire::kPurgeData, {wire::kPurgeTransmit}));
  EXPECT_EQ(out, Reply(wire::kPurgeData, {wire::kPurgeTransmit}) +
                     Reply(wire::kSetControl, {wire::kControlDtrOff}))
      << "the purge is answered at once; the line change still happens";
  EXPECT_EQ(Queued(), 0u);
  EXPECT_FALSE(session_->HasWorkForPort());
  EXPECT_EQ(Exchange(Command(wire::kPurgeData, {9})), Bytes{}) << "not a purge value";
}

TEST_F(ServerSession, MalformedInputIsBoundedAndForgotten) {
  Agree();
  // A sub-negotiation that runs on and on: nothing of it reaches the port.
  Bytes endless = {wire::kIac, wire::kSb, wire::kOptionComPort, wire::kSetBaudRate};
  endless.resize(100000, 0x41);
  EXPECT_EQ(Exchange(endless), Bytes{});
  EXPECT_EQ(Queued(), 0u);
  EXPECT_EQ(session_->buffered_for_port(), 0u);
  EXPECT_EQ(Exchange({wire::kIac, wire::kSe}), Bytes{});
  // Replies of a server, other options and empty ones are ignored.
  EXPECT_EQ(Exchange(Reply(wire::kSetBaudRate, wire::BaudRateValue(300)) +
                     Bytes{wire::kIac, wire::kSb, 24, 1, wire::kIac, wire::kSe, wire::kIac,
                           wire::kSb, wire::kIac, wire::kSe}),
            Bytes{});
  // The connection goes on as before.
  EXPECT_EQ(Exchange(Command(wire::kSetBaudRate, wire::BaudRateValue(0))),
            Reply(wire::kSetBaudRate, wire::BaudRateValue(9600)));
}

}  // namespace
}  // namespace velloquin::sim
