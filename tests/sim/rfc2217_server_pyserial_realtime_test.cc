// Interoperability the other way round: pyserial's rfc2217:// client (a peer
// nobody here wrote) against our server in front of a simulated printer
// (tests/platform/pyserial/sim_port_client.py). Its settings and line changes
// must reach the simulated port, the lines the printer drives must reach it,
// and bytes must cross both ways.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "sim/rfc2217_server.h"
#include "sim/sim_station.h"

extern char** environ;

namespace velloquin::sim {
namespace {

constexpr char kPython[] = "/usr/bin/python3";

// A child process whose standard input and output are pipes to us.
class Child {
 public:
  // Starts argv[0] with `argv`; false when it cannot be started.
  bool Start(const std::vector<std::string>& argv) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) return false;
    if (::pipe2(out, O_CLOEXEC) != 0) {
      ::close(in[0]);
      ::close(in[1]);
      return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const bool started =
        ::posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    to_ = in[1];
    from_ = out[0];
    if (!started) pid_ = -1;
    return started;
  }
  // The exit status once it has ended by itself within `ms`, else -1.
  int Wait(int ms) {
    for (int waited = 0; pid_ > 0; waited += 10) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      if (waited >= ms) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }
  ~Child() {
    if (to_ >= 0) ::close(to_);
    if (pid_ > 0 && Wait(2000) < 0 && pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (from_ >= 0) ::close(from_);
  }
  void Say(const std::string& line) {
    const std::string text = line + "\n";
    EXPECT_EQ(::write(to_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  // The next line it writes, or "" after `ms`.
  std::string NextLine(int ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    size_t end;
    while ((end = buffer_.find('\n')) == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
      pollfd entry{from_, POLLIN, 0};
      if (left <= 0 || ::poll(&entry, 1, static_cast<int>(left)) <= 0) return "";
      char chunk[1024];
      const ssize_t n = ::read(from_, chunk, sizeof(chunk));
      if (n <= 0) return "";
      buffer_.append(chunk, static_cast<size_t>(n));
    }
    std::string line = buffer_.substr(0, end);
    buffer_.erase(0, end + 1);
    return line;
  }

 private:
  pid_t pid_ = -1;
  int to_ = -1, from_ = -1;
  std::string buffer_;
};

// Why pyserial cannot run here, or "".
std::string PySerialMissing() {
  if (::access(kPython, X_OK) != 0) return std::string(kPython) + " is missing";
  Child probe;
  if (!probe.Start({kPython, "-c", "import serial.rfc2217"}) || probe.Wait(10000) != 0) {
    return "the Python module serial (Debian package python3-serial) is missing";
  }
  return "";
}

TEST(Rfc2217ServerPySerial, PySerialClientDrivesTheSimulatedPrinter) {
  if (std::string why = PySerialMissing(); !why.empty()) GTEST_SKIP() << why;
  std::string error;
  auto printer = SimPrinter::FromSpec("sim:shift_ms=0", &SystemClock::Instance(),
                                      testing::TestKeyTable(), &error);
  ASSERT_NE(printer, nullptr) << error;
  int error_number = 0;
  auto server = Rfc2217Server::Start(
      INADDR_LOOPBACK, 0, [printer](int* e) { return printer->Open(e); }, SystemClock::Instance(),
      {}, &error_number);
  ASSERT_NE(server, nullptr) << "errno " << error_number;

  const std::string script = (std::filesystem::path(__FILE__).parent_path().parent_path() /
                              "platform" / "pyserial" / "sim_port_client.py")
                                 .string();
  Child client;
  ASSERT_TRUE(client.Start({kPython, "-u", script, std::to_string(server->port())}));
  ASSERT_EQ(client.NextLine(10000), "OPEN");
  EXPECT_EQ(client.NextLine(5000), "LINES 1 0") << "DSR: a printer is plugged in";
  // The adapter button: CTS comes on, notified without being asked.
  printer->SetButton(true);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  client.Say("go");
  EXPECT_EQ(client.NextLine(5000), "LINES 1 1");
  EXPECT_EQ(client.NextLine(5000), "READ 50") << "the boot-mode check is answered 'P'";
  EXPECT_EQ(client.NextLine(10000), "SENT 2048");
  EXPECT_EQ(client.Wait(5000), 0);

  // Closing hands the port back; by then every byte has reached the printer.
  for (int i = 0; i < 500 && server->connected(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_FALSE(server->connected());
  std::vector<uint8_t> stream;
  for (int i = 0; i < 2048; ++i) stream.push_back(static_cast<uint8_t>(i));
  EXPECT_EQ(printer->Printer(1).received_image, stream);

  // Speed and frame: the printer's line first, then the download's speed.
  std::vector<LineFrame> frames;
  for (const LineSettingsChange& change : printer->LineSettings()) {
    if (frames.empty() || !(frames.back() == change.frame)) frames.push_back(change.frame);
  }
  auto at = std::find(frames.begin(), frames.end(), kPrinterModeFrame);
  ASSERT_NE(at, frames.end());
  EXPECT_NE(std::find(at, frames.end(), kDownloadFrame), frames.end());

  // DTR and RTS as pyserial set them: on at open, then off, on, and DTR off.
  std::string moves;
  for (const LineLevelChange& change : printer->LineLevels()) {
    if (change.cause != LineCause::kEscape) continue;
    moves += change.line == ControlLine::kDtr ? "D" : "R";
    moves += change.on ? "+ " : "- ";
  }
  EXPECT_EQ(moves, "D+ R+ D- R- D+ R+ D- R+ ");
}

}  // namespace
}  // namespace velloquin::sim
