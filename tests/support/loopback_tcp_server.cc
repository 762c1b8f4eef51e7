#include "support/loopback_tcp_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace velloquin::testing_support {
namespace {

// Test support may stop the test outright when the system lets it down.
void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "LoopbackTcpServer: %s failed, errno %d\n", what, errno);
    std::abort();
  }
}

void SendAll(int fd, const LoopbackTcpServer::Bytes& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    sent += static_cast<size_t>(n);
  }
}

}  // namespace

LoopbackTcpServer::LoopbackTcpServer() {
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  Check(listen_fd_ >= 0, "socket");
  int one = 1;
  ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  Check(::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0, "bind");
  Check(::listen(listen_fd_, 4) == 0, "listen");
  socklen_t length = sizeof address;
  Check(::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0,
        "getsockname");
  port_ = ntohs(address.sin_port);
  Check(::pipe2(wake_fds_, O_CLOEXEC) == 0, "pipe2");
  thread_ = std::thread([this] { Run(); });
}

LoopbackTcpServer::~LoopbackTcpServer() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  Wake();
  thread_.join();
  if (client_fd_ >= 0) ::close(client_fd_);
  ::close(listen_fd_);
  ::close(wake_fds_[0]);
  ::close(wake_fds_[1]);
}

void LoopbackTcpServer::Wake() {
  const char byte = 1;
  while (::write(wake_fds_[1], &byte, 1) < 0 && errno == EINTR) {
  }
}

void LoopbackTcpServer::SetResponder(Responder responder) {
  std::lock_guard<std::mutex> lock(mutex_);
  responder_ = std::move(responder);
}

void LoopbackTcpServer::SetGreeting(const Bytes& greeting) {
  std::lock_guard<std::mutex> lock(mutex_);
  greeting_ = greeting;
}

void LoopbackTcpServer::CloseConnection() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    close_requested_ = true;
  }
  Wake();
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return !close_requested_; });
}

LoopbackTcpServer::Bytes LoopbackTcpServer::WaitForReceived(size_t count, int timeout_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                    [&] { return received_.size() >= count; });
  return received_;
}

bool LoopbackTcpServer::WaitForAccepted(int count, int timeout_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                           [&] { return accepted_ >= count; });
}

bool LoopbackTcpServer::WaitForClientClose(int timeout_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                           [&] { return client_closed_by_peer_; });
}

int LoopbackTcpServer::Accepted() {
  std::lock_guard<std::mutex> lock(mutex_);
  return accepted_;
}

void LoopbackTcpServer::DropClient() {
  if (client_fd_ >= 0) ::close(client_fd_);
  client_fd_ = -1;
}

void LoopbackTcpServer::Run() {
  for (;;) {
    int client;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stop_) return;
      if (close_requested_) {
        DropClient();
        close_requested_ = false;
        changed_.notify_all();
      }
      client = client_fd_;
    }
    pollfd entries[3] = {{listen_fd_, POLLIN, 0}, {wake_fds_[0], POLLIN, 0}, {client, POLLIN, 0}};
    int result = ::poll(entries, client >= 0 ? 3 : 2, -1);
    if (result < 0) {
      Check(errno == EINTR, "poll");
      continue;
    }
    if (entries[1].revents) {
      char drain[16];
      (void)!::read(wake_fds_[0], drain, sizeof drain);
    }
    if (entries[0].revents & POLLIN) {
      int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        Bytes greeting;
        {
          std::lock_guard<std::mutex> lock(mutex_);
          DropClient();
          client_fd_ = fd;
          client_closed_by_peer_ = false;
          ++accepted_;
          greeting = greeting_;
          changed_.notify_all();
        }
        SendAll(fd, greeting);
      }
      continue;
    }
    if (client >= 0 && entries[2].revents) {
      uint8_t buffer[4096];
      ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
      if (n < 0 && errno == EINTR) continue;
      Responder responder;
      Bytes chunk;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (n <= 0) {
          client_closed_by_peer_ = true;
          DropClient();
        } else {
          chunk.assign(buffer, buffer + n);
          received_.insert(received_.end(), chunk.begin(), chunk.end());
          responder = responder_;
        }
        changed_.notify_all();
      }
      if (responder) SendAll(client, responder(chunk));
    }
  }
}

}  // namespace velloquin::testing_support
