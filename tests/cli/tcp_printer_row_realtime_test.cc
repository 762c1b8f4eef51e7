// A row of the headless station pointed at a network printer: a listener on
// loopback stands in for the printer. The row opens the connection through
// the network kind of its channel, and then waits for a printer on DSR
// without end (a network printer has no DSR line), until the station stops.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace {

using ::testing::HasSubstr;

class Listener {
 public:
  Listener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(fd_, 4);
    socklen_t length = sizeof address;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~Listener() {
    for (int fd : accepted_) ::close(fd);
    ::close(fd_);
  }
  int Port() const { return port_; }
  // Accepts what arrives within `ms`; returns the count accepted so far.
  int AcceptFor(int ms) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, ms) > 0) {
      int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) accepted_.push_back(fd);
    }
    return static_cast<int>(accepted_.size());
  }

 private:
  int fd_ = -1;
  int port_ = 0;
  std::vector<int> accepted_;
};

TEST(StationOverTcp, RowOpensTheNetworkPrinterAndWaitsForAPrinter) {
  Listener printer;
  const auto dir = std::filesystem::temp_directory_path() /
                   ("velloquin-tcp-row-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string registry = (dir / "settings.reg").string();
  std::ofstream(registry) << "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane\\IOCommZambrix]\r\n";
  const std::string out_path = (dir / "out.json").string();
  const std::string address = "127.0.0.1:" + std::to_string(printer.Port());

  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(out, STDOUT_FILENO);
    ::chdir(dir.c_str());
    ::setenv("VELLOQUIN_REGISTRY", registry.c_str(), 1);
    ::setenv("VELLOQUIN_BOOT_DIR", (std::string(VELLOQUIN_SOURCE_DIR) + "/demo/").c_str(), 1);
    const std::string cli = std::string(VELLOQUIN_BINARY_DIR) + "/velloquin-cli";
    const std::string port_arg = "1=" + address;
    ::execl(cli.c_str(), cli.c_str(), "--json", "--port", port_arg.c_str(), "--port",
            "2=/dev/null", "--port", "3=/dev/null", "--port", "4=/dev/null",
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int accepted = 0;
  for (int i = 0; i < 50 && accepted == 0; ++i) accepted = printer.AcceptFor(100);
  EXPECT_GE(accepted, 1) << "the row connected to the network printer";
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  ::kill(child, SIGTERM);
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);

  std::ifstream in(out_path);
  std::string json((std::istreambuf_iterator<char>(in)), {});
  EXPECT_THAT(json, HasSubstr("{\"t_ms\": "));
  EXPECT_THAT(json, HasSubstr("\"row\": 1, \"port\": \"" + address +
                              "\", \"state\": \"LookingForPrinter\", \"state_value\": 2, "
                              "\"status\": \"Looking for Printer to be connected.\"}"));
  EXPECT_THAT(json, HasSubstr("\"status\": \"Process Terminated.\""));
  EXPECT_THAT(json, HasSubstr("{\"summary\": "));
  std::filesystem::remove_all(dir);
}

}  // namespace
