// A tiny network printer for tests: a TCP listener on 127.0.0.1 (a free port
// chosen by the system), served by a thread of its own. It takes one
// connection at a time (a new one replaces the old), records every byte it
// receives, greets each connection if told to, answers what it receives
// through a responder, and can close the connection from its side.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace velloquin::testing_support {

class LoopbackTcpServer {
 public:
  using Bytes = std::vector<uint8_t>;
  // Called on the server's thread with each chunk received; returns the
  // bytes to send back (may be empty).
  using Responder = std::function<Bytes(const Bytes& received)>;

  LoopbackTcpServer();
  ~LoopbackTcpServer();
  LoopbackTcpServer(const LoopbackTcpServer&) = delete;
  LoopbackTcpServer& operator=(const LoopbackTcpServer&) = delete;

  uint16_t Port() const { return port_; }
  std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }

  void SetResponder(Responder responder);
  // Sent to every connection as soon as it is accepted.
  void SetGreeting(const Bytes& greeting);
  // Closes the current connection from the server's side.
  void CloseConnection();

  // Waits (real time) until at least `count` bytes have come in all, or
  // timeout_ms has passed; returns all bytes received so far.
  Bytes WaitForReceived(size_t count, int timeout_ms);
  // Waits until `count` connections have been accepted in all; returns
  // whether they were.
  bool WaitForAccepted(int count, int timeout_ms);
  // Waits until the current connection has been closed by the client.
  bool WaitForClientClose(int timeout_ms);
  int Accepted();

 private:
  void Run();
  void Wake();
  void DropClient();  // with mutex_ held

  int listen_fd_ = -1;
  int wake_fds_[2] = {-1, -1};
  uint16_t port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  int client_fd_ = -1;
  bool client_closed_by_peer_ = false;
  bool close_requested_ = false;
  bool stop_ = false;
  int accepted_ = 0;
  Bytes received_;
  Bytes greeting_;
  Responder responder_;
};

}  // namespace velloquin::testing_support
