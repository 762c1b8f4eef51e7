// A simulated printer served over loopback by the RFC 2217 server, in real
// time: our own network serial client against it (settings, lines, modem
// notices, data, XOFF holding the client back across the network), one client
// at a time, and clients that misbehave (flood, never end a sub-negotiation,
// never read).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bootloader/commands.h"
#include "platform/rfc2217_device.h"
#include "sim/rfc2217_server.h"
#include "sim/sim_station.h"

namespace velloquin::sim {
namespace {

using rfc2217::Bytes;
namespace wire = rfc2217;
using Steady = std::chrono::steady_clock;

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Rfc2217Options ClientOptions() {
  Rfc2217Options options;
  options.connect_timeout_ms = 1000;
  options.negotiation_timeout_ms = 1000;
  options.write_stall_limit_ms = 5000;
  return options;
}

// A configuration from a mode text, as the channel builds one.
CommConfigRecord Mode(std::string_view text) {
  CommConfigRecord config;
  config.size = kCommConfigSize;
  config.dcb.length = kDcbSize;
  config.dcb.flags = kDcbBinary;
  EXPECT_TRUE(BuildCommDcb(text, &config.dcb)) << text;
  return config;
}

// Polls `done` every 2 ms for up to `ms`; whether it came true.
bool WaitFor(const std::function<bool()>& done, int ms = 3000) {
  const auto deadline = Steady::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (Steady::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

class ServedPrinter : public ::testing::Test {
 protected:
  void Serve(const std::string& spec, Rfc2217ServerOptions options = {}) {
    std::string error;
    printer_ =
        SimPrinter::FromSpec(spec, &SystemClock::Instance(), testing::TestKeyTable(), &error);
    ASSERT_NE(printer_, nullptr) << error;
    int error_number = 0;
    server_ = Rfc2217Server::Start(
        INADDR_LOOPBACK, 0, [printer = printer_](int* e) { return printer->Open(e); },
        SystemClock::Instance(), options, &error_number);
    ASSERT_NE(server_, nullptr) << "errno " << error_number;
  }
  std::string Name() const { return "rfc2217://127.0.0.1:" + std::to_string(server_->port()); }
  std::unique_ptr<SerialDevice> Connect(Rfc2217Opener& opener) {
    int error = 0;
    auto device = opener.Open(Name(), &error);
    EXPECT_NE(device, nullptr) << "open failed, errno " << error;
    return device;
  }
  int Count(SimEventKind kind) {
    const std::vector<SimEvent> events = printer_->Events();
    return static_cast<int>(std::count_if(events.begin(), events.end(),
                                          [kind](const SimEvent& e) { return e.kind == kind; }));
  }
  uint32_t Modem(SerialDevice& device) {
    uint32_t status = 0xDEAD;
    EXPECT_EQ(device.GetModemStatus(&status), 0);
    return status;
  }

  Rfc2217Opener opener_{SystemClock::Instance(), ClientOptions()};
  std::shared_ptr<SimPrinter> printer_;
  std::unique_ptr<Rfc2217Server> server_;
};

TEST_F(ServedPrinter, SettingsAndLinesReachTheSimulatedPort) {
  Serve("sim:");
  auto device = Connect(opener_);
  ASSERT_NE(device, nullptr);
  struct Case {
    const char* name;
    CommConfigRecord config;
    int result;
    LineFrame frame;  // what the simulated port runs with afterwards
    bool dtr, rts;
  };
  const Case cases[] = {
      {"printer mode", Mode("baud=19200 parity=N data=8 stop=2 dtr=on rts=off"), 0,
       kPrinterModeFrame, true, false},
      {"boot loader, XON/XOFF", Mode("baud=115200 parity=N data=8 stop=1 xon=on dtr=off rts=on"), 0,
       kBootLoaderFrame, false, true},
      {"a speed the port cannot run", Mode("baud=12345 parity=N data=8 stop=1 dtr=off rts=off"),
       EINVAL, kBootLoaderFrame, false, false},
      {"other frame", Mode("baud=9600 parity=E data=7 stop=1.5 dtr=off rts=off"), 0,
       LineFrame{9600, 7, kEvenParity, kOne5StopBits}, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(device->SetConfig(c.config), c.result);
    const LineSettingsChange last = printer_->LineSettings().back();
    EXPECT_EQ(last.frame, c.frame);
    EXPECT_EQ((last.dcb_flags & kDcbOutX) != 0,
              (c.config.dcb.flags & kDcbOutX) != 0 && c.result == 0);
    const std::vector<LineLevelChange> levels = printer_->LineLevels();
    for (ControlLine line : {ControlLine::kDtr, ControlLine::kRts}) {
      auto it = std::find_if(levels.rbegin(), levels.rend(),
                             [line](const LineLevelChange& l) { return l.line == line; });
      ASSERT_NE(it, levels.rend());
      EXPECT_EQ(it->on, line == ControlLine::kDtr ? c.dtr : c.rts);
    }
  }
  // Line functions arrive as they are called.
  for (LineFunction f : {LineFunction::kSetDtr, LineFunction::kClearDtr, LineFunction::kSetRts}) {
    EXPECT_EQ(device->EscapeFunction(f), 0);
    const LineLevelChange last = printer_->LineLevels().back();
    EXPECT_EQ(last.cause, LineCause::kEscape);
    EXPECT_EQ(last.line, f == LineFunction::kSetRts ? ControlLine::kRts : ControlLine::kDtr);
    EXPECT_EQ(last.on, f != LineFunction::kClearDtr);
  }
  // A fresh connection reports what the port runs with.
  ASSERT_EQ(device->Close(), 0);
  auto again = Connect(opener_);
  ASSERT_NE(again, nullptr);
  CommConfigRecord config;
  ASSERT_EQ(again->GetConfig(&config), 0);
  EXPECT_EQ(config.dcb.baud_rate, 9600u);
  EXPECT_EQ(config.dcb.byte_size, 7);
  EXPECT_EQ(config.dcb.parity, kEvenParity);
  EXPECT_EQ(config.dcb.stop_bits, kOne5StopBits);
}

TEST_F(ServedPrinter, ModemLinesAreNotifiedAsTheyChange) {
  Serve("sim:");
  auto device = Connect(opener_);
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(Modem(*device), kModemDsrOn) << "known from the open on";
  struct Step {
    const char* what;
    std::function<void()> act;
    uint32_t expected;
  };
  const Step steps[] = {
      {"button held", [&] { printer_->SetButton(true); }, kModemDsrOn | kModemCtsOn},
      {"button released", [&] { printer_->SetButton(false); }, kModemDsrOn},
      {"button held again", [&] { printer_->SetButton(true); }, kModemDsrOn | kModemCtsOn},
      {"both drop at once",
       [&] {
         printer_->SetButton(false);
         printer_->Unplug();
       },
       0},
  };
  for (const Step& s : steps) {
    s.act();
    uint32_t status = 0;
    EXPECT_TRUE(WaitFor([&] { return (status = Modem(*device)) == s.expected; }, 2000))
        << s.what << ": " << status;
  }
}

TEST_F(ServedPrinter, ThePrinterAnswersAcrossTheNetwork) {
  Serve("sim:");
  auto device = Connect(opener_);
  ASSERT_NE(device, nullptr);
  ASSERT_EQ(device->SetConfig(Mode(kPrinterModeSettings)), 0);
  device->SetTimeouts({0, 0, 1000, 0, 1000});
  IoResult w = device->Write(BootModeCheck.data(), static_cast<uint32_t>(BootModeCheck.size()));
  EXPECT_TRUE(w.ok);
  uint8_t reply = 0;
  IoResult r = device->Read(&reply, 1);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.count, 1u);
  EXPECT_EQ(reply, kBootModeReply);
  EXPECT_EQ(Count(SimEventKind::kBootModeCheck), 1);
}

// The printer empties its buffer slower than the line fills it and says
// XOFF; the port holds, the server stops reading, and the client's writes
// wait: the image arrives whole, and only a bounded amount is ever ahead.
TEST_F(ServedPrinter, XoffHoldsTheClientBackAcrossTheNetwork) {
  Serve("sim:shift_ms=0,buffer=1024,consume=8000");
  auto device = Connect(opener_);
  ASSERT_NE(device, nullptr);
  ASSERT_EQ(device->SetConfig(Mode(kPrinterModeSettings)), 0);
  device->Write(BaudShiftCommand.data(), static_cast<uint32_t>(BaudShiftCommand.size()));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_EQ(device->SetConfig(Mode(std::string(kDownloadSettings) + " xon=on")), 0);
  const std::vector<uint8_t> image = testing::TestImage(32000);
  size_t written = 0, most_ahead = 0;
  bool held_seen = false;
  const auto start = Steady::now();
  while (written < image.size()) {
    const uint32_t length = static_cast<uint32_t>(std::min<size_t>(1000, image.size() - written));
    IoResult result = device->Write(image.data() + written, length);
    ASSERT_TRUE(result.ok) << result.error;
    written += result.count;
    CommStatus status;
    ASSERT_EQ(device->GetStatus(&status), 0);
    held_seen = held_seen || (status.hold & kHoldXoffHold);
    // Past the client's socket, not yet at the printer.
    const size_t arrived = printer_->Printer(1).received_image.size();
    most_ahead =
        std::max(most_ahead, written - std::min<size_t>(written, status.out_queue + arrived));
  }
  const double write_s = std::chrono::duration<double>(Steady::now() - start).count();
  // As the station does before it closes: wait until nothing is left unsent.
  CommStatus status;
  EXPECT_TRUE(WaitFor([&] { return device->GetStatus(&status) == 0 && status.out_queue == 0; }));
  ASSERT_EQ(device->Close(), 0);
  EXPECT_TRUE(WaitFor([&] { return !server_->connected(); }, 5000));
  EXPECT_EQ(printer_->Printer(1).received_image, image);
  EXPECT_GE(Count(SimEventKind::kXoff), 1);
  EXPECT_EQ(Count(SimEventKind::kOverrun), 0);
  EXPECT_TRUE(held_seen) << "the client is told while the port holds";
  // Between the client and the printer: the server's small socket buffer,
  // its backlog and the port's queue; nothing like the image.
  EXPECT_LE(most_ahead, 16u * 1024) << "written in " << write_s << " s";
  EXPECT_LE(server_->max_buffered_for_port(), 2048u);
  RecordProperty("most_ahead_bytes", static_cast<int>(most_ahead));
}

TEST_F(ServedPrinter, OneClientAtATimeAndTheNextAfterIt) {
  Serve("sim:");
  auto first = Connect(opener_);
  ASSERT_NE(first, nullptr);
  Rfc2217Options impatient = ClientOptions();
  impatient.negotiation_timeout_ms = 300;
  Rfc2217Opener other(SystemClock::Instance(), impatient);
  int error = 0;
  EXPECT_EQ(other.Open(Name(), &error), nullptr);
  EXPECT_EQ(error, EPROTO) << "waits in the backlog, unanswered";
  EXPECT_EQ(Count(SimEventKind::kPortOpened), 1);

  // The first goes: the port is closed as a station closes it, and the next
  // client (not the one that gave up meanwhile) gets it.
  ASSERT_EQ(first->Close(), 0);
  EXPECT_TRUE(WaitFor([&] { return Count(SimEventKind::kPortClosed) == 1; }));
  const std::vector<LineLevelChange> levels = printer_->LineLevels();
  ASSERT_GE(levels.size(), 2u);
  EXPECT_FALSE(levels.back().on);
  auto second = Connect(other);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(Count(SimEventKind::kPortOpened), 2);
  EXPECT_EQ(server_->clients(), 2);
  EXPECT_EQ(Modem(*second), kModemDsrOn);
}

// ---- Clients that misbehave, on raw sockets ----

class RawClient {
 public:
  explicit RawClient(uint16_t port, int receive_buffer = 0) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receive_buffer > 0) {
      ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof(receive_buffer));
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    EXPECT_EQ(::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  }
  ~RawClient() { Close(); }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  // Sends what the socket takes without waiting; -1 once the server is gone.
  ssize_t SendSome(const Bytes& bytes) {
    ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
    return n;
  }
  // Reads for `ms` and returns what came.
  Bytes ReadFor(int ms) {
    Bytes got;
    const auto deadline = Steady::now() + std::chrono::milliseconds(ms);
    while (Steady::now() < deadline) {
      pollfd entry{fd_, POLLIN, 0};
      if (::poll(&entry, 1, 5) <= 0) continue;
      uint8_t chunk[4096];
      ssize_t n = ::recv(fd_, chunk, sizeof(chunk), MSG_DONTWAIT);
      if (n <= 0) break;
      got.insert(got.end(), chunk, chunk + n);
    }
    return got;
  }

 private:
  int fd_ = -1;
};

Bytes ComPort(uint8_t code, const Bytes& value) {
  Bytes out;
  wire::AppendComPort(code, value, &out);
  return out;
}

bool Contains(const Bytes& haystack, const Bytes& needle) {
  return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
         haystack.end();
}

Rfc2217ServerOptions ImpatientServer() {
  Rfc2217ServerOptions options;
  options.stall_limit_ms = 300;
  options.closing_limit_ms = 300;
  return options;
}

TEST_F(ServedPrinter, AFloodingClientIsHeldToABoundAndTheNextIsServed) {
  Serve("sim:", ImpatientServer());
  {
    RawClient flood(server_->port());
    flood.SendSome({wire::kIac, wire::kWill, wire::kOptionComPort});
    flood.SendSome(ComPort(wire::kSetBaudRate, wire::BaudRateValue(115200)));
    const Bytes block(64 * 1024, 0x41);
    size_t sent = 0;
    const auto until = Steady::now() + std::chrono::milliseconds(1000);
    while (Steady::now() < until) {
      ssize_t n = flood.SendSome(block);
      ASSERT_GE(n, 0);
      sent += static_cast<size_t>(n);
      if (n == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_LE(server_->max_buffered_for_port(), 2048u) << sent << " bytes sent";
  }
  // It hangs up with much unsent: the rest is dropped after closing_limit_ms.
  EXPECT_TRUE(WaitFor([&] { return !server_->connected(); }, 5000));
  auto next = Connect(opener_);
  ASSERT_NE(next, nullptr);
  EXPECT_EQ(Modem(*next), kModemDsrOn);
}

TEST_F(ServedPrinter, ASubnegotiationWithoutEndCostsNothingAndIsForgotten) {
  Serve("sim:", ImpatientServer());
  RawClient client(server_->port());
  client.SendSome({wire::kIac, wire::kWill, wire::kOptionComPort, wire::kIac, wire::kSb,
                   wire::kOptionComPort, wire::kSetBaudRate});
  const Bytes junk(64 * 1024, 0x41);
  size_t sent = 0;
  const auto until = Steady::now() + std::chrono::milliseconds(3000);
  while (sent < 1024 * 1024 && Steady::now() < until) {
    ssize_t n = client.SendSome(junk);
    ASSERT_GE(n, 0);
    sent += static_cast<size_t>(n);
  }
  EXPECT_EQ(sent, 1024u * 1024) << "the server keeps reading it";
  EXPECT_EQ(server_->max_buffered_for_port(), 0u);
  client.ReadFor(50);
  client.SendSome(Bytes{wire::kIac, wire::kSe} +
                  ComPort(wire::kSetBaudRate, wire::BaudRateValue(0)));
  Bytes reply = ComPort(wire::kServerOffset + wire::kSetBaudRate, wire::BaudRateValue(9600));
  EXPECT_TRUE(Contains(client.ReadFor(500), reply));
}

TEST_F(ServedPrinter, AClientThatNeverReadsIsDropped) {
  Serve("sim:", ImpatientServer());
  {
    RawClient client(server_->port(), 2048);
    client.SendSome({wire::kIac, wire::kWill, wire::kOptionComPort});
    // Every signature request is answered with 30-odd bytes it never reads.
    Bytes asks;
    for (int i = 0; i < 1000; ++i) asks = asks + ComPort(wire::kSignature, {});
    const auto until = Steady::now() + std::chrono::milliseconds(5000);
    while (server_->connected() || server_->clients() == 0) {
      ASSERT_LT(Steady::now(), until) << "still served";
      if (client.SendSome(asks) < 0) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  auto next = Connect(opener_);
  ASSERT_NE(next, nullptr);
  EXPECT_EQ(server_->clients(), 2);
}

}  // namespace
}  // namespace velloquin::sim
