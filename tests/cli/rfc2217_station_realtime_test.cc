// The station and its printers as separate processes: `velloquin-sim
// --listen` serves a simulated printer over RFC 2217 on loopback, and a row of
// `velloquin-cli` whose COM name maps to it programs that printer from
// plug-in to "*** DONE PROGRAMMING PRINTER ***". The simulator writes what its
// printer received at exit, which must be the image byte for byte. Another
// row runs the same simulated printer on a local "sim:" port, for the time
// of one cycle each way. Also the simulator's --listen arguments.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace velloquin {
namespace {

namespace fs = std::filesystem;
using Steady = std::chrono::steady_clock;

const fs::path kDemoDir = fs::path(__FILE__).parent_path().parent_path().parent_path() / "demo";

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A program started with its output going to a file, in a folder of its own
// choosing, with some environment variables set.
class Process {
 public:
  Process(const std::vector<std::string>& argv, const fs::path& output, const fs::path& dir,
          const std::vector<std::pair<std::string, std::string>>& env) {
    std::vector<std::string> environment;
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string entry = *e;
      bool replaced = false;
      for (const auto& [name, value] : env) replaced = replaced || entry.rfind(name + "=", 0) == 0;
      if (!replaced) environment.push_back(entry);
    }
    for (const auto& [name, value] : env) environment.push_back(name + "=" + value);
    std::vector<char*> args, envp;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    for (const std::string& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
    args.push_back(nullptr);
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string errors = output.string() + ".err";
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errors.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
    if (::posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Process() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  bool started() const { return pid_ > 0; }
  void Signal(int number) {
    if (pid_ > 0) ::kill(pid_, number);
  }
  // The exit code once it has ended within `ms` (128 + the signal that
  // ended it), or -1 while it runs.
  int Wait(int ms) {
    const auto deadline = Steady::now() + std::chrono::milliseconds(ms);
    while (pid_ > 0) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        break;
      }
      if (Steady::now() >= deadline) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return exit_code_;
  }

 private:
  pid_t pid_ = -1;
  int exit_code_ = -1;
};

class StationAcrossProcesses : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/velloquin-e2e-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  // Starts the simulator with `args`; the ports it reports ready, in order
  // (none if it ended or did not get ready in time).
  std::vector<int> StartSimulator(const std::vector<std::string>& args) {
    sim_ = std::make_unique<Process>(args, dir_ / "sim.out", dir_,
                                     std::vector<std::pair<std::string, std::string>>{
                                         {"VELLOQUIN_BOOT_DIR", kDemoDir.string() + "/"}});
    std::vector<int> ports;
    const std::string ready = "listening 127.0.0.1:";
    for (int i = 0; i < 500 && sim_->Wait(0) < 0; ++i) {
      const std::string text = ReadText(dir_ / "sim.out");
      ports.clear();
      for (size_t at = text.find(ready); at != std::string::npos; at = text.find(ready, at + 1)) {
        ports.push_back(std::atoi(text.c_str() + at + ready.size()));
      }
      if (!ports.empty() && text.back() == '\n') return ports;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return {};
  }
  std::string SimulatorErrors() { return ReadText(dir_ / "sim.out.err"); }
  // Stops the simulator as an operator would; its exit code.
  int StopSimulator() {
    sim_->Signal(SIGTERM);
    return sim_->Wait(15000);
  }

  fs::path dir_;
  std::unique_ptr<Process> sim_;
};

// "t_ms" of the first JSON line of `row` whose status holds `text`, or -1.
long FirstTime(const std::string& json, int row, const std::string& text) {
  std::istringstream lines(json);
  const std::string row_field = "\"row\": " + std::to_string(row) + ",";
  for (std::string line; std::getline(lines, line);) {
    const std::string time_field = "\"t_ms\": ";
    const size_t at = line.find(time_field);
    if (line.find(row_field) == std::string::npos || line.find(text) == std::string::npos ||
        at == std::string::npos) {
      continue;
    }
    return std::atol(line.c_str() + at + time_field.size());
  }
  return -1;
}

TEST_F(StationAcrossProcesses, RowProgramsAPrinterServedByAnotherProcess) {
  // A small image with every byte value in it (0xFF is doubled on the wire).
  std::vector<uint8_t> image(3000);
  for (size_t i = 0; i < image.size(); ++i)
    image[i] = static_cast<uint8_t>((i * 167 + 5) ^ (i >> 8));
  {
    std::ofstream out(dir_ / "tiny.bot", std::ios::binary);
    out.write(reinterpret_cast<const char*>(image.data()),
              static_cast<std::streamsize>(image.size()));
  }
  Process ver(
      {VELLOQUIN_SIM_PATH, "ver", (dir_ / "tiny.bot").string(), (dir_ / "tiny.ver").string()},
      dir_ / "ver.out", dir_, {});
  ASSERT_EQ(ver.Wait(10000), 0);

  const std::string spec = "sim:flash_ms=100";
  const std::vector<int> ports = StartSimulator(
      {VELLOQUIN_SIM_PATH, "--listen", "127.0.0.1:0", spec, "--images", dir_.string()});
  ASSERT_EQ(ports.size(), 1u) << SimulatorErrors();
  {
    std::ofstream reg(dir_ / "settings.reg");
    reg << "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane\\IOCommZambrix\\Ports]\r\n"
        << "\"COM1\"=\"rfc2217://127.0.0.1:" << ports[0] << "\"\r\n"
        << "\"COM2\"=\"" << spec << "\"\r\n"
        << "\"COM3\"=\"" << spec << ",seed=3\"\r\n"
        << "\"COM4\"=\"" << spec << ",seed=4\"\r\n";
  }
  Process station(
      {VELLOQUIN_CLI_PATH, "--firmware", (dir_ / "tiny.bot").string(), "--printers", "1", "--json"},
      dir_ / "cli.out", dir_,
      {{"VELLOQUIN_REGISTRY", (dir_ / "settings.reg").string()},
       {"VELLOQUIN_BOOT_DIR", kDemoDir.string() + "/"}});
  ASSERT_TRUE(station.started());
  EXPECT_EQ(station.Wait(60000), 0);
  const std::string json = ReadText(dir_ / "cli.out");

  const long network_done = FirstTime(json, 1, "*** DONE PROGRAMMING PRINTER ***");
  const long local_done = FirstTime(json, 2, "*** DONE PROGRAMMING PRINTER ***");
  EXPECT_GT(network_done, 0) << json;
  EXPECT_GT(local_done, 0);
  EXPECT_EQ(FirstTime(json, 1, "\"state\": \"Failed\""), -1);
  // The same printer story locally and across the network: one full cycle
  // each, from the start of the station to the row's Done.
  std::printf("one cycle, %s: rfc2217 on loopback %ld ms, local sim: port %ld ms\n", spec.c_str(),
              network_done, local_done);
  RecordProperty("cycle_rfc2217_ms", static_cast<int>(network_done));
  RecordProperty("cycle_local_ms", static_cast<int>(local_done));

  ASSERT_EQ(StopSimulator(), 0);
  const std::string report = ReadText(dir_ / "sim.out");
  EXPECT_NE(report.find("printer 1: received 3000 bytes, 1 flash write(s), main program stored"),
            std::string::npos)
      << report;
  const std::string received = ReadText(dir_ / (std::to_string(ports[0]) + "-1.bin"));
  EXPECT_EQ(received, std::string(image.begin(), image.end())) << "byte for byte";
}

TEST_F(StationAcrossProcesses, SeveralPrintersOnePortEachAndACleanStop) {
  // A range of two ports, each its own bench, and a third port picked freely.
  // The range may be taken by somebody else: then another one is tried.
  std::vector<int> ports;
  int first = 0;
  for (int attempt = 0; attempt < 5 && ports.empty(); ++attempt) {
    first = 20000 + static_cast<int>((::getpid() * 7919 + attempt * 104729) % 40000);
    const std::string range =
        "127.0.0.1:" + std::to_string(first) + "-" + std::to_string(first + 1);
    ports = StartSimulator({VELLOQUIN_SIM_PATH, "--listen", range, "sim:", "sim:mode=normal",
                            "--listen", "localhost:0", "sim:"});
  }
  ASSERT_EQ(ports.size(), 3u) << SimulatorErrors();
  EXPECT_EQ(ports[0], first);
  EXPECT_EQ(ports[1], first + 1);
  EXPECT_NE(ports[2], 0);
  ASSERT_EQ(StopSimulator(), 0) << SimulatorErrors();
  const std::string report = ReadText(dir_ / "sim.out");
  for (int port : ports) {
    EXPECT_NE(report.find(":" + std::to_string(port) + " printer 1: received 0 bytes"),
              std::string::npos)
        << report;
  }
}

TEST_F(StationAcrossProcesses, BadListenArgumentsAreRefused) {
  const std::vector<std::vector<std::string>> cases = {
      {"--listen", "10.0.0.9:4001", "sim:"},                        // not loopback
      {"--listen", "127.0.0.1:4001"},                               // no spec
      {"--listen", "127.0.0.1:70000", "sim:"},                      // no such port
      {"--listen", "127.0.0.1:4002-4001", "sim:"},                  // empty range
      {"--listen", "127.0.0.1:4001-4002", "sim:", "sim:", "sim:"},  // three specs, two ports
      {"--listen", "127.0.0.1:4001", "sim:colour=red"},             // a spec that does not parse
      {"--listen", "127.0.0.1:4001", "sim:", "--listen", "127.0.0.1:4001", "sim:"},
      {"--listen", "127.0.0.1:4001", "sim:", "--verbose"},
  };
  for (const auto& args : cases) {
    std::vector<std::string> argv = {VELLOQUIN_SIM_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    Process sim(argv, dir_ / "bad.out", dir_, {});
    EXPECT_EQ(sim.Wait(5000), 2) << args[1];
    EXPECT_EQ(ReadText(dir_ / "bad.out"), "") << "nothing listens";
  }
}

}  // namespace
}  // namespace velloquin
