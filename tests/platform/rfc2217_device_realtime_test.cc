// The network serial port against servers on 127.0.0.1 that this test runs
// on a thread of its own: a well-behaved one (with the quirks that real
// servers have, on demand) and scripted bad ones. Real sockets, real time,
// short time-outs.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cerrno>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/rfc2217_device.h"
#include "platform/rfc2217_protocol.h"

namespace velloquin {
namespace {

using rfc2217::Bytes;
namespace wire = rfc2217;

constexpr uint32_t kMaxDword = 0xFFFFFFFF;

Rfc2217Options ShortOptions() {
  Rfc2217Options options;
  options.connect_timeout_ms = 1000;
  options.negotiation_timeout_ms = 200;
  options.reply_timeout_ms = 100;
  options.write_stall_limit_ms = 500;
  return options;
}

int64_t Now() { return SystemClock::Instance().NowMs(); }

// Listens on 127.0.0.1 (a free port) and runs `serve` for each connection,
// one after the other, on its own thread. `serve` should return soon after
// `stop` is set.
class LoopbackServer {
 public:
  using Serve = std::function<void(int fd, const std::atomic<bool>& stop)>;
  explicit LoopbackServer(Serve serve) : serve_(std::move(serve)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener_, 4) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      ADD_FAILURE() << "cannot listen on loopback, errno " << errno;
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~LoopbackServer() {
    stop_ = true;
    thread_.join();
    ::close(listener_);
  }
  std::string Name() const { return "rfc2217://127.0.0.1:" + std::to_string(port_); }
  int connections() const { return connections_; }

 private:
  void Run() {
    while (!stop_) {
      pollfd entry{listener_, POLLIN, 0};
      if (::poll(&entry, 1, 10) <= 0) continue;
      int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      ++connections_;
      serve_(fd, stop_);
      ::close(fd);
    }
  }

  Serve serve_;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::thread thread_;
};

// Reads what is there within `ms`; false once the peer has closed.
bool ReadFor(int fd, int ms, Bytes* into) {
  pollfd entry{fd, POLLIN, 0};
  if (::poll(&entry, 1, ms) <= 0) return true;
  uint8_t chunk[4096];
  ssize_t n = ::recv(fd, chunk, sizeof(chunk), MSG_DONTWAIT);
  if (n == 0) return false;
  if (n > 0 && into) into->insert(into->end(), chunk, chunk + n);
  return true;
}

void SendAll(int fd, const Bytes& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += static_cast<size_t>(n);
  }
}

// Waits for the client's WILL COM-PORT-OPTION and answers it with `answer`
// (DO or DONT).
bool AnswerComPort(int fd, uint8_t answer, const std::atomic<bool>& stop) {
  Bytes seen;
  const Bytes will{wire::kIac, wire::kWill, wire::kOptionComPort};
  while (!stop && std::search(seen.begin(), seen.end(), will.begin(), will.end()) == seen.end()) {
    if (!ReadFor(fd, 10, &seen)) return false;
  }
  SendAll(fd, {wire::kIac, answer, wire::kOptionComPort});
  return true;
}

// A com-port server made of the protocol pieces, with the faults of real
// servers on demand. The test thread drives it through the thread-safe calls.
struct Quirks {
  bool answer_control = true;    // reply to SET-CONTROL
  bool answer_purge = true;      // reply to PURGE-DATA
  size_t baud_reply_bytes = 4;   // some servers send 8
  uint32_t forced_baud = 0;      // non-zero: reply with this speed whatever was asked
  bool stall_after_open = false; // stop reading once the first setting came
};

class ComPortServer final : private wire::TelnetHandler {
 public:
  explicit ComPortServer(Quirks quirks = {})
      : quirks_(quirks), server_([this](int fd, const std::atomic<bool>& stop) { Serve(fd, stop); }) {}
  std::string Name() const { return server_.Name(); }

  void SendData(const Bytes& data) {
    std::lock_guard<std::mutex> lock(mutex_);
    wire::AppendEscaped(data.data(), data.size(), &to_client_);
  }
  void SendModemState(uint8_t state) {
    std::lock_guard<std::mutex> lock(mutex_);
    wire::AppendComPort(wire::kServerOffset + wire::kNotifyModemState, {state}, &to_client_);
  }
  void Hangup() { hangup_ = true; }
  Bytes Data() {
    std::lock_guard<std::mutex> lock(mutex_);
    return data_;
  }
  // Each com-port command as "<command>:<value bytes in hex>".
  std::vector<std::string> Commands() {
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
  }
  bool WaitForCommands(size_t count, int ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(ms),
                             [&] { return commands_.size() >= count; });
  }

 private:
  void Serve(int fd, const std::atomic<bool>& stop) {
    hangup_ = false;
    // A fresh Telnet session per connection, with the server's side of the
    // option: it agrees to the client performing COM-PORT-OPTION.
    options_ = wire::TelnetOptions();
    options_.AllowRemote(wire::kOptionComPort);
    options_.AllowRemote(wire::kOptionBinary);
    options_.AllowLocal(wire::kOptionBinary);
    options_.AllowLocal(wire::kOptionSga);
    options_.AllowRemote(wire::kOptionSga);
    parser_ = wire::TelnetParser();
    while (!stop && !hangup_) {
      Bytes in;
      if (!stalled_ && !ReadFor(fd, 5, &in)) break;
      if (stalled_) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      Bytes out;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        reply_ = &out;
        parser_.Feed(in.data(), in.size(), *this);
        reply_ = nullptr;
        out.insert(out.end(), to_client_.begin(), to_client_.end());
        to_client_.clear();
      }
      changed_.notify_all();
      SendAll(fd, out);
    }
  }
  void OnData(const uint8_t* data, size_t length) override { data_.insert(data_.end(), data, data + length); }
  void OnNegotiation(uint8_t verb, uint8_t option) override { options_.Receive(verb, option, reply_); }
  void OnSubnegotiation(uint8_t option, const uint8_t* payload, size_t length) override {
    if (option != wire::kOptionComPort || length == 0) return;
    const uint8_t command = payload[0];
    Bytes value(payload + 1, payload + length);
    std::string text = std::to_string(command) + ":";
    for (uint8_t b : value) text += "0123456789ABCDEF"[b >> 4], text += "0123456789ABCDEF"[b & 15];
    commands_.push_back(text);
    if (quirks_.stall_after_open && command == wire::kSetBaudRate) stalled_ = true;
    bool answer = command <= wire::kSetStopSize || command == wire::kSetControl ||
                  command == wire::kPurgeData;
    if (command == wire::kSetControl && !quirks_.answer_control) answer = false;
    if (command == wire::kPurgeData && !quirks_.answer_purge) answer = false;
    if (command == wire::kSetBaudRate) {
      if (quirks_.forced_baud != 0) value = wire::BaudRateValue(quirks_.forced_baud);
      value.resize(quirks_.baud_reply_bytes, 0);
    }
    if (command == wire::kNotifyModemState) {
      wire::AppendComPort(wire::kServerOffset + wire::kNotifyModemState, {0}, reply_);
    }
    if (answer) wire::AppendComPort(wire::kServerOffset + command, value, reply_);
  }

  const Quirks quirks_;
  std::mutex mutex_;
  std::condition_variable changed_;
  wire::TelnetParser parser_;
  wire::TelnetOptions options_;
  Bytes* reply_ = nullptr;
  Bytes to_client_, data_;
  std::vector<std::string> commands_;
  std::atomic<bool> hangup_{false};
  std::atomic<bool> stalled_{false};
  LoopbackServer server_;  // last: its thread starts once the rest is built
};

CommConfigRecord ConfigFor(uint32_t baud, uint8_t stop_bits, uint32_t flags = kDcbBinary) {
  CommConfigRecord config;
  config.size = kCommConfigSize;
  config.dcb.length = kDcbSize;
  config.dcb.baud_rate = baud;
  config.dcb.byte_size = 8;
  config.dcb.parity = kNoParity;
  config.dcb.stop_bits = stop_bits;
  config.dcb.flags = flags;
  return config;
}

class Rfc2217Realtime : public ::testing::Test {
 protected:
  std::unique_ptr<SerialDevice> Open(const std::string& name, int* error) {
    return opener_.Open(name, error);
  }
  std::unique_ptr<SerialDevice> OpenOk(const std::string& name) {
    int error = 0;
    auto device = opener_.Open(name, &error);
    EXPECT_NE(device, nullptr) << "open failed, errno " << error;
    return device;
  }
  Rfc2217Opener opener_{SystemClock::Instance(), ShortOptions()};
};

// ---- Servers that do not take the option ----

TEST_F(Rfc2217Realtime, OpenFailsWithinItsTimeWhenTheServerDoesNotTakeTheOption) {
  struct Case {
    const char* name;
    LoopbackServer::Serve serve;
    int error;
    int64_t min_ms, max_ms;
  };
  const Case cases[] = {
      {"silent", [](int fd, const std::atomic<bool>& stop) { while (!stop && ReadFor(fd, 10, nullptr)) {} },
       EPROTO, 200, 1500},
      {"refuses", [](int fd, const std::atomic<bool>& stop) {
         AnswerComPort(fd, wire::kDont, stop);
         while (!stop && ReadFor(fd, 10, nullptr)) {}
       }, EPROTONOSUPPORT, 0, 150},
      {"closes at once", [](int, const std::atomic<bool>&) {}, ECONNRESET, 0, 150},
      {"talks garbage", [](int fd, const std::atomic<bool>& stop) {
         Bytes junk;
         for (int i = 0; i < 4096; ++i) junk.push_back(static_cast<uint8_t>(i * 37 + 11));
         while (!stop && ReadFor(fd, 1, nullptr)) SendAll(fd, junk);
       }, EPROTO, 200, 1500},
  };
  for (const Case& c : cases) {
    LoopbackServer server(c.serve);
    int error = 0;
    const int64_t start = Now();
    EXPECT_EQ(Open(server.Name(), &error), nullptr) << c.name;
    const int64_t took = Now() - start;
    EXPECT_EQ(error, c.error) << c.name;
    EXPECT_GE(took, c.min_ms) << c.name;
    EXPECT_LE(took, c.max_ms) << c.name;
  }
}

TEST_F(Rfc2217Realtime, OpenFailsWhenNobodyListensAndIsExclusivePerAddress) {
  std::string name;
  {
    ComPortServer server;
    name = server.Name();
    auto first = OpenOk(name);
    int error = 0;
    EXPECT_EQ(Open(name, &error), nullptr);
    EXPECT_EQ(error, EBUSY);
    EXPECT_EQ(first->Close(), 0);
    EXPECT_EQ(first->Close(), EBADF);
    auto second = OpenOk(name);  // free again once closed
  }
  int error = 0;
  EXPECT_EQ(Open(name, &error), nullptr);
  EXPECT_EQ(error, ECONNREFUSED);
}

// ---- A working server ----

TEST_F(Rfc2217Realtime, SendsOnlyChangedSettingsAndDrivesLines) {
  ComPortServer server;
  auto device = OpenOk(server.Name());
  ASSERT_NE(device, nullptr);
  // The opening: lines and errors reported, buffers purged, lines polled.
  EXPECT_EQ(server.Commands(), (std::vector<std::string>{"11:33", "10:1E", "12:03", "7:"}));
  const size_t opened = server.Commands().size();
  EXPECT_EQ(device->SetConfig(ConfigFor(19200, kTwoStopBits)), 0);
  EXPECT_EQ(device->SetConfig(ConfigFor(19200, kTwoStopBits)), 0);  // nothing new
  EXPECT_EQ(device->SetConfig(ConfigFor(115200, kOneStopBit, kDcbBinary | kDcbDtrControlEnable)), 0);
  EXPECT_EQ(device->EscapeFunction(LineFunction::kSetRts), 0);
  EXPECT_EQ(device->EscapeFunction(LineFunction::kClearDtr), 0);
  CommConfigRecord applied;
  EXPECT_EQ(device->GetConfig(&applied), 0);
  EXPECT_EQ(applied.dcb.baud_rate, 115200u);
  const std::vector<std::string> all = server.Commands();
  const std::vector<std::string> sent(all.begin() + static_cast<std::ptrdiff_t>(opened), all.end());
  EXPECT_EQ(sent, (std::vector<std::string>{
                      "1:00004B00", "2:08", "3:01", "4:02", "5:01", "5:09", "5:0C",  // 19200 8N2, no flow, DTR and RTS off
                      "1:0001C200", "4:01", "5:08",                              // 115200, 1 stop, DTR on
                      "5:0B", "5:09"}));
  EXPECT_EQ(device->Close(), 0);
  EXPECT_TRUE(server.WaitForCommands(all.size() + 2, 1000));
  const std::vector<std::string> closing = server.Commands();
  EXPECT_EQ(std::vector<std::string>(closing.end() - 2, closing.end()),
            (std::vector<std::string>{"5:09", "5:0C"}))
      << "closing drops DTR and RTS";
}

TEST_F(Rfc2217Realtime, CarriesEveryByteBothWaysAndReportsModemLines) {
  ComPortServer server;
  auto device = OpenOk(server.Name());
  ASSERT_NE(device, nullptr);
  CommTimeoutValues timeouts{0, 0, 500, 0, 500};
  device->SetTimeouts(timeouts);
  Bytes all;
  for (int i = 0; i < 600; ++i) all.push_back(static_cast<uint8_t>(i));  // every value, 0xFF too
  IoResult w = device->Write(all.data(), static_cast<uint32_t>(all.size()));
  EXPECT_TRUE(w.ok);
  EXPECT_EQ(w.count, all.size());
  server.SendData(all);
  Bytes got(all.size());
  IoResult r = device->Read(got.data(), static_cast<uint32_t>(got.size()));
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.count, all.size());
  EXPECT_EQ(got, all);
  const int64_t until = Now() + 1000;
  while (server.Data().size() < all.size() && Now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(server.Data(), all);

  struct Step {
    uint8_t state;
    uint32_t expected;
  };
  const Step steps[] = {
      {wire::kModemDsr | wire::kModemDeltaDsr, kModemDsrOn},
      {wire::kModemDsr | wire::kModemCts | wire::kModemDeltaCts, kModemDsrOn | kModemCtsOn},
      {wire::kModemDeltaDsr | wire::kModemDeltaCts, 0},
  };
  for (const Step& s : steps) {
    server.SendModemState(s.state);
    uint32_t status = 0xDEAD;
    const int64_t deadline = Now() + 1000;
    do {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      ASSERT_EQ(device->GetModemStatus(&status), 0);
    } while (status != s.expected && Now() < deadline);
    EXPECT_EQ(status, s.expected) << int(s.state);
  }
}

// ---- Read time-outs ----

TEST_F(Rfc2217Realtime, ReadKeepsTheTimeoutMeaning) {
  struct Case {
    const char* name;
    CommTimeoutValues timeouts;
    uint32_t size;
    int first_after_ms;  // the server sends 3 bytes after this, then 3 more 300 ms later
    uint32_t expected;
    int64_t min_ms, max_ms;
  };
  const Case cases[] = {
      {"total time-out, nothing comes", {0, 0, 150, 0, 0}, 10, -1, 0, 150, 400},
      {"total grows with size", {0, 20, 50, 0, 0}, 10, -1, 0, 250, 500},
      {"interval ends it after a pause", {50, 0, 2000, 0, 0}, 10, 50, 3, 90, 300},
      {"at once, with what is there", {kMaxDword, 0, 0, 0, 0}, 10, -1, 0, 0, 50},
      {"first byte ends it", {kMaxDword, kMaxDword, 1000, 0, 0}, 10, 50, 3, 40, 300},
      {"whole size before the deadline", {0, 0, 1000, 0, 0}, 6, 0, 6, 290, 800},
  };
  for (const Case& c : cases) {
    ComPortServer server;
    auto device = OpenOk(server.Name());
    ASSERT_NE(device, nullptr) << c.name;
    device->SetTimeouts(c.timeouts);
    std::thread feeder;
    if (c.first_after_ms >= 0) {
      feeder = std::thread([&server, &c] {
        std::this_thread::sleep_for(std::chrono::milliseconds(c.first_after_ms));
        server.SendData({1, 2, 3});
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        server.SendData({4, 5, 6});
      });
    }
    Bytes buffer(c.size);
    const int64_t start = Now();
    IoResult r = device->Read(buffer.data(), c.size);
    const int64_t took = Now() - start;
    if (feeder.joinable()) feeder.join();
    EXPECT_TRUE(r.ok) << c.name;
    EXPECT_EQ(r.count, c.expected) << c.name;
    EXPECT_GE(took, c.min_ms) << c.name;
    EXPECT_LE(took, c.max_ms) << c.name;
  }
}

// ---- Servers with the faults of real ones ----

TEST_F(Rfc2217Realtime, MissingAndMalformedRepliesCostOneShortWait) {
  Quirks quirks;
  quirks.answer_control = false;
  quirks.answer_purge = false;
  quirks.baud_reply_bytes = 8;
  ComPortServer server(quirks);
  const int64_t open_start = Now();
  auto device = OpenOk(server.Name());
  ASSERT_NE(device, nullptr);
  EXPECT_LE(Now() - open_start, 500);  // one reply wait for the purge, not more
  int64_t start = Now();
  EXPECT_EQ(device->EscapeFunction(LineFunction::kSetDtr), 0);
  EXPECT_GE(Now() - start, 90);  // waited for the reply that never comes ...
  start = Now();
  EXPECT_EQ(device->EscapeFunction(LineFunction::kClearDtr), 0);
  EXPECT_EQ(device->SetConfig(ConfigFor(115200, kOneStopBit)), 0);  // 8-byte speed reply taken
  EXPECT_LE(Now() - start, 80);  // ... but only once
  EXPECT_TRUE(server.WaitForCommands(11, 1000));
}

TEST_F(Rfc2217Realtime, SpeedTheServerDoesNotTakeIsRefused) {
  Quirks quirks;
  quirks.forced_baud = 9600;
  ComPortServer server(quirks);
  auto device = OpenOk(server.Name());
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(device->SetConfig(ConfigFor(115200, kOneStopBit)), EINVAL);
  EXPECT_EQ(device->SetConfig(ConfigFor(9600, kOneStopBit)), 0);
}

TEST_F(Rfc2217Realtime, LostConnectionFailsAfterTheDataThatCameBeforeIt) {
  ComPortServer server;
  auto device = OpenOk(server.Name());
  ASSERT_NE(device, nullptr);
  device->SetTimeouts({0, 0, 300, 0, 300});
  server.SendData({'O', 'K'});
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  server.Hangup();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  uint8_t buffer[8];
  IoResult r = device->Read(buffer, sizeof(buffer));
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.count, 2u);
  r = device->Read(buffer, sizeof(buffer));
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, ECONNRESET);
  EXPECT_FALSE(device->Write(buffer, 1).ok);
  uint32_t status = 0;
  EXPECT_EQ(device->GetModemStatus(&status), ECONNRESET);
  EXPECT_EQ(device->Close(), 0);
  auto again = OpenOk(server.Name());  // the server takes the next connection
}

TEST_F(Rfc2217Realtime, StalledServerEndsWritesAtTheirDeadline) {
  Quirks quirks;
  quirks.stall_after_open = true;
  ComPortServer server(quirks);
  auto device = OpenOk(server.Name());
  ASSERT_NE(device, nullptr);
  device->SetConfig(ConfigFor(19200, kTwoStopBits));  // the server stops reading here
  Bytes block(1 << 20, 0x5A);
  device->SetTimeouts({0, 0, 0, 0, 200});
  int64_t start = Now();
  IoResult w = device->Write(block.data(), static_cast<uint32_t>(block.size()));
  EXPECT_TRUE(w.ok);
  EXPECT_LT(w.count, block.size());
  EXPECT_LE(Now() - start, 600);
  CommStatus status;
  EXPECT_EQ(device->GetStatus(&status), 0);
  EXPECT_GT(status.out_queue, 0u) << "written " << w.count;
  // Without a write time-out the stall limit ends it, as a failure.
  device->SetTimeouts({0, 0, 0, 0, 0});
  start = Now();
  w = device->Write(block.data(), static_cast<uint32_t>(block.size()));
  EXPECT_FALSE(w.ok);
  EXPECT_EQ(w.error, ETIMEDOUT);
  EXPECT_LE(Now() - start, 1200);
}

// Flooding, garbage, and a sub-negotiation that never ends: every call still
// ends by its time-out and nothing grows without bound.
TEST_F(Rfc2217Realtime, HostileStreamsNeverHoldACallBeyondItsTimeout) {
  struct Case {
    const char* name;
    Bytes start;   // sent once after DO COM-PORT-OPTION
    Bytes repeat;  // then sent over and over
    uint32_t expected_read;
  };
  Bytes garbage;
  for (int i = 0; i < 4096; ++i) garbage.push_back(static_cast<uint8_t>((i * 131) ^ (i >> 3)));
  const Case cases[] = {
      {"flood of data", {}, Bytes(8192, 0x41), 64},
      {"endless sub-negotiation", {wire::kIac, wire::kSb, wire::kOptionComPort, 107}, Bytes(8192, 0x42), 0},
      {"garbage", {}, garbage, 64},
  };
  for (const Case& c : cases) {
    LoopbackServer server([&c](int fd, const std::atomic<bool>& stop) {
      if (!AnswerComPort(fd, wire::kDo, stop)) return;
      // Lets the client see the DO on its own: a refusal hidden in the
      // garbage must not arrive in the same read.
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      SendAll(fd, c.start);
      while (!stop && ReadFor(fd, 0, nullptr)) {
        pollfd entry{fd, POLLOUT, 0};
        if (::poll(&entry, 1, 10) > 0) ::send(fd, c.repeat.data(), c.repeat.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      }
    });
    auto device = OpenOk(server.Name());
    ASSERT_NE(device, nullptr) << c.name;
    device->SetTimeouts({0, 0, 200, 0, 200});
    for (int round = 0; round < 5; ++round) {
      uint8_t buffer[64];
      int64_t start = Now();
      IoResult r = device->Read(buffer, sizeof(buffer));
      EXPECT_TRUE(r.ok) << c.name;
      if (c.expected_read == 0) {
        EXPECT_EQ(r.count, 0u) << c.name;
      }
      EXPECT_LE(Now() - start, 500) << c.name;
      uint32_t lines = 0;
      start = Now();
      device->GetModemStatus(&lines);
      CommStatus status;
      device->GetStatus(&status);
      EXPECT_LE(Now() - start, 200) << c.name;
      EXPECT_LE(status.in_queue, wire::kMaxClientInput) << c.name;
    }
    EXPECT_EQ(device->EscapeFunction(LineFunction::kSetDtr), 0) << c.name;
  }
}

}  // namespace
}  // namespace velloquin
