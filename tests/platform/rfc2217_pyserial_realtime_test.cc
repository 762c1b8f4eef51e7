// Interoperability with a peer written elsewhere: pyserial's RFC 2217 server
// (PortManager) in front of a fake serial device that records every setter
// (tests/platform/pyserial/rfc2217_server.py). Our client's settings, line
// changes and data must arrive there, and the lines it drives must reach
// GetModemStatus and the channel's GetLineStatus.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "iocomm/io_comm.h"
#include "platform/rfc2217_device.h"
#include "support/memory_settings_store.h"
#include "support/recording_log.h"

extern char** environ;

namespace velloquin {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr char kPython[] = "/usr/bin/python3";

// Runs a program with argv; returns its exit status, or -1.
int RunToEnd(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Hex(const Bytes& bytes) {
  std::string out;
  char cell[3];
  for (uint8_t b : bytes) {
    std::snprintf(cell, sizeof(cell), "%02x", b);
    out += cell;
  }
  return out;
}

// The pyserial server script as a child process, spoken to by lines.
class PySerialPeer {
 public:
  // "" when running; otherwise why it cannot run here.
  std::string Start() {
    if (::access(kPython, X_OK) != 0) return std::string(kPython) + " is missing";
    if (RunToEnd({kPython, "-c", "import serial.rfc2217"}) != 0) {
      return "the Python module serial (Debian package python3-serial) is missing";
    }
    const std::string script =
        (std::filesystem::path(__FILE__).parent_path() / "pyserial" / "rfc2217_server.py").string();
    int to_child[2], from_child[2];
    if (::pipe2(to_child, O_CLOEXEC) != 0 || ::pipe2(from_child, O_CLOEXEC) != 0) return "no pipes";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, to_child[0], 0);
    posix_spawn_file_actions_adddup2(&actions, from_child[1], 1);
    std::vector<std::string> args = {kPython, "-u", script};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int spawned = ::posix_spawn(&pid_, kPython, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(to_child[0]);
    ::close(from_child[1]);
    to_ = to_child[1];
    from_ = from_child[0];
    if (spawned != 0) {
      pid_ = -1;
      return "cannot start " + script;
    }
    const int index = WaitForPrefix("PORT ", 5000);
    if (index < 0) return "the script did not start listening";
    port_ = std::stoi(lines_[static_cast<size_t>(index)].substr(5));
    return "";
  }

  ~PySerialPeer() {
    if (to_ >= 0) {
      Command("quit");
      ::close(to_);
    }
    if (pid_ > 0) {
      int status = 0;
      for (int i = 0; i < 200 && ::waitpid(pid_, &status, WNOHANG) == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      if (::waitpid(pid_, &status, WNOHANG) == 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
      }
    }
    if (from_ >= 0) ::close(from_);
  }

  std::string Name() const { return "rfc2217://127.0.0.1:" + std::to_string(port_); }

  void Command(const std::string& line) {
    const std::string text = line + "\n";
    if (::write(to_, text.data(), text.size()) < 0) ADD_FAILURE() << "cannot write to the script";
  }

  // Index of the first line from `from` on that starts with `prefix`, or -1
  // after `timeout_ms`.
  int WaitForPrefix(const std::string& prefix, int timeout_ms, size_t from = 0) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      for (size_t i = from; i < lines_.size(); ++i) {
        if (lines_[i].rfind(prefix, 0) == 0) return static_cast<int>(i);
      }
      from = lines_.size();
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !ReadSome(static_cast<int>(left.count()))) return -1;
    }
  }

  // The "SET ..." lines from line `from` on, once the script has gone quiet.
  std::vector<std::string> Settings(size_t from = 0) {
    while (ReadSome(20)) {
    }
    std::vector<std::string> out;
    for (size_t i = from; i < lines_.size(); ++i) {
      if (lines_[i].rfind("SET ", 0) == 0) out.push_back(lines_[i].substr(4));
    }
    return out;
  }
  size_t LineCount() const { return lines_.size(); }

  // The bytes of all "DATA" lines, once at least `count` have come.
  Bytes DataReceived(size_t count, int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    Bytes data;
    while (true) {
      data.clear();
      for (const auto& line : lines_) {
        if (line.rfind("DATA ", 0) != 0) continue;
        for (size_t i = 5; i + 1 < line.size(); i += 2) {
          data.push_back(static_cast<uint8_t>(std::stoi(line.substr(i, 2), nullptr, 16)));
        }
      }
      if (data.size() >= count || std::chrono::steady_clock::now() >= deadline) return data;
      ReadSome(20);
    }
  }

 private:
  // Reads what the script has written within `timeout_ms`; false when nothing came.
  bool ReadSome(int timeout_ms) {
    pollfd entry{from_, POLLIN, 0};
    if (::poll(&entry, 1, timeout_ms) <= 0) return false;
    char chunk[4096];
    ssize_t n = ::read(from_, chunk, sizeof(chunk));
    if (n <= 0) return false;
    partial_.append(chunk, static_cast<size_t>(n));
    for (size_t end; (end = partial_.find('\n')) != std::string::npos;) {
      lines_.push_back(partial_.substr(0, end));
      partial_.erase(0, end + 1);
    }
    return true;
  }

  pid_t pid_ = -1;
  int to_ = -1, from_ = -1;
  int port_ = 0;
  std::string partial_;
  std::vector<std::string> lines_;
};

CommConfigRecord ConfigFor(uint32_t baud, uint8_t size, uint8_t parity, uint8_t stop_bits,
                           uint32_t flags) {
  CommConfigRecord config;
  config.size = kCommConfigSize;
  config.dcb.length = kDcbSize;
  config.dcb.baud_rate = baud;
  config.dcb.byte_size = size;
  config.dcb.parity = parity;
  config.dcb.stop_bits = stop_bits;
  config.dcb.flags = kDcbBinary | flags;
  return config;
}

class Rfc2217PySerial : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::string why = peer_.Start(); !why.empty()) GTEST_SKIP() << "pyserial peer: " << why;
  }
  std::unique_ptr<SerialDevice> OpenDevice() {
    int error = 0;
    auto device = opener_.Open(peer_.Name(), &error);
    EXPECT_NE(device, nullptr) << "open failed, errno " << error;
    return device;
  }
  PySerialPeer peer_;
  Rfc2217Opener opener_{SystemClock::Instance()};
};

TEST_F(Rfc2217PySerial, SettingsAndLineChangesArrive) {
  auto device = OpenDevice();
  ASSERT_NE(device, nullptr);
  EXPECT_GE(peer_.WaitForPrefix("PURGE output", 2000), 0) << "the open purges both buffers";
  const size_t opened = peer_.LineCount();
  struct Step {
    const char* what;
    std::function<int()> call;
    std::vector<std::string> expected;
  };
  const Step steps[] = {
      {"printer-mode line", [&] { return device->SetConfig(ConfigFor(19200, 8, kNoParity, kTwoStopBits, 0)); },
       {"baudrate 19200", "bytesize 8", "parity N", "stopbits 2", "xonxoff False", "rtscts False",
        "dtr False", "rts False"}},
      {"same again", [&] { return device->SetConfig(ConfigFor(19200, 8, kNoParity, kTwoStopBits, 0)); }, {}},
      {"DTR on", [&] { return device->EscapeFunction(LineFunction::kSetDtr); }, {"dtr True"}},
      {"RTS on", [&] { return device->EscapeFunction(LineFunction::kSetRts); }, {"rts True"}},
      {"RTS off", [&] { return device->EscapeFunction(LineFunction::kClearRts); }, {"rts False"}},
      {"DTR off", [&] { return device->EscapeFunction(LineFunction::kClearDtr); }, {"dtr False"}},
      {"boot-loader speed, XON/XOFF",
       [&] { return device->SetConfig(ConfigFor(115200, 8, kNoParity, kOneStopBit, kDcbOutX | kDcbInX)); },
       {"baudrate 115200", "stopbits 1", "xonxoff True"}},
      {"hardware flow",
       [&] {
         return device->SetConfig(ConfigFor(115200, 8, kNoParity, kOneStopBit,
                                            kDcbOutxCtsFlow | kDcbDtrControlEnable | kDcbRtsControlHandshake));
       },
       {"rtscts True", "dtr True"}},
      {"other frame", [&] { return device->SetConfig(ConfigFor(9600, 7, kEvenParity, kOne5StopBits, 0)); },
       {"baudrate 9600", "bytesize 7", "parity E", "stopbits 1.5", "xonxoff False", "rtscts False",
        "dtr False", "rts False"}},
  };
  for (const Step& s : steps) {
    const size_t before = peer_.Settings(opened).size();
    EXPECT_EQ(s.call(), 0) << s.what;
    // Every call waits for the server's reply, which pyserial sends after
    // calling the setter: the lines are there already (or in the pipe).
    std::vector<std::string> seen = peer_.Settings(opened);
    seen.erase(seen.begin(), seen.begin() + static_cast<std::ptrdiff_t>(before));
    EXPECT_EQ(seen, s.expected) << s.what;
  }
}

TEST_F(Rfc2217PySerial, FreshPortReportsTheSettingsTheServerRunsWith) {
  auto first = OpenDevice();
  ASSERT_NE(first, nullptr);
  ASSERT_EQ(first->SetConfig(ConfigFor(19200, 7, kOddParity, kTwoStopBits, 0)), 0);
  ASSERT_EQ(first->Close(), 0);
  auto second = OpenDevice();
  ASSERT_NE(second, nullptr);
  CommConfigRecord config;
  ASSERT_EQ(second->GetConfig(&config), 0);
  EXPECT_EQ(config.size, kCommConfigSize);
  EXPECT_EQ(config.dcb.baud_rate, 19200u);
  EXPECT_EQ(config.dcb.byte_size, 7);
  EXPECT_EQ(config.dcb.parity, kOddParity);
  EXPECT_EQ(config.dcb.stop_bits, kTwoStopBits);
}

TEST_F(Rfc2217PySerial, DataCrossesBothWaysWithEveryByteValue) {
  auto device = OpenDevice();
  ASSERT_NE(device, nullptr);
  device->SetTimeouts({0, 0, 2000, 0, 2000});
  Bytes all;
  for (int i = 0; i < 512; ++i) all.push_back(static_cast<uint8_t>(i));
  IoResult w = device->Write(all.data(), static_cast<uint32_t>(all.size()));
  EXPECT_TRUE(w.ok);
  EXPECT_EQ(w.count, all.size());
  EXPECT_EQ(Hex(peer_.DataReceived(all.size(), 3000)), Hex(all));

  peer_.Command("send " + Hex(all));
  Bytes got(all.size());
  IoResult r = device->Read(got.data(), static_cast<uint32_t>(got.size()));
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.count, all.size());
  EXPECT_EQ(Hex(got), Hex(all));
}

// Through the whole channel: a COM name mapped to the network port, its
// line state following the lines the script drives, its DTR arriving there.
TEST_F(Rfc2217PySerial, ChannelSeesModemLinesAndDrivesDtr) {
  testing_support::MemorySettingsStore settings;
  settings.SetText(testing_support::kChannelKey + "\\Ports", "COM7", peer_.Name());
  testing_support::RecordingLog log;
  ReconnectBackoff backoff;
  ChannelEnv env;
  env.clock = &SystemClock::Instance();
  env.serial = &opener_;
  env.settings = &settings;
  env.log = &log;
  env.backoff = &backoff;
  IOComm channel(env);
  ASSERT_NE(channel.OpenPort("COM7:", "baud=19200 parity=N data=8 stop=2", 0), 0);
  channel.SetHandshake(0);
  EXPECT_GE(peer_.WaitForPrefix("SET baudrate 19200", 2000), 0);
  const size_t before = peer_.LineCount();
  EXPECT_EQ(channel.ClearDtr(0), 1);
  EXPECT_GE(peer_.WaitForPrefix("SET dtr True", 2000, before), 0);

  struct Step {
    const char* command;
    uint32_t expected;
  };
  const Step steps[] = {
      {"dsr 1", LineConnected | LineDsr},
      {"cts 1", LineConnected | LineDsr | LineCts},
      {"dsr 0", LineConnected | LineCts},
      {"lines 1 0", LineConnected | LineDsr},
      {"lines 0 0", 0},  // both change at once to off: seen only through the change bits
  };
  for (const Step& s : steps) {
    peer_.Command(s.command);
    uint32_t lines = 0xDEAD;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while ((lines = channel.GetLineStatus()) != s.expected && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(lines, s.expected) << s.command;
  }
  EXPECT_EQ(channel.Close(), 1);
}

TEST_F(Rfc2217PySerial, MeasuresLineAndSpeedRoundTrips) {
  auto device = OpenDevice();
  ASSERT_NE(device, nullptr);
  constexpr int kRounds = 100;
  using Steady = std::chrono::steady_clock;
  // A measurement with the steady clock itself, not a pause or a time-out.
  auto mean_ms = [](Steady::duration d) {
    return std::chrono::duration<double, std::milli>(d).count() / kRounds;
  };
  auto start = Steady::now();
  for (int i = 0; i < kRounds; ++i) {
    EXPECT_EQ(device->EscapeFunction(i % 2 ? LineFunction::kSetDtr : LineFunction::kClearDtr), 0);
  }
  const double dtr_ms = mean_ms(Steady::now() - start);
  start = Steady::now();
  for (int i = 0; i < kRounds; ++i) {
    EXPECT_EQ(device->SetConfig(ConfigFor(i % 2 ? 19200 : 115200, 8, kNoParity, kOneStopBit, 0)), 0);
  }
  const double speed_ms = mean_ms(Steady::now() - start);
  RecordProperty("dtr_round_trip_us", static_cast<int>(dtr_ms * 1000));
  RecordProperty("speed_round_trip_us", static_cast<int>(speed_ms * 1000));
  std::printf("pyserial server over loopback: DTR change %.3f ms, speed change %.3f ms (mean of %d)\n",
              dtr_ms, speed_ms, kRounds);
  // Each one is a reply, not a time-out (which would take 300 ms).
  EXPECT_LT(dtr_ms, 100.0);
  EXPECT_LT(speed_ms, 100.0);
}

}  // namespace
}  // namespace velloquin
