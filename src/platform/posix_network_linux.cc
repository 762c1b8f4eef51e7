// TCP connections on Linux. Every socket is non-blocking for its whole life
// and every wait is one poll() to a deadline, so no call can hold a row
// longer than the time-out it was given:
// - connect() starts the handshake and poll(POLLOUT) waits for it; the
//   outcome is the socket's SO_ERROR. (A blocking connect to a host that does
//   not answer would sit through the kernel's SYN retries, about two minutes.)
// - send() and recv() never wait; the channel waits with WaitWritable and
//   WaitReadable first, as it does with select() on Windows.
// - MSG_NOSIGNAL: a peer that has gone makes send() fail with EPIPE instead
//   of killing the station with SIGPIPE.
// - TCP_NODELAY: the printer protocol is short commands each answered by a
//   reply, which Nagle's algorithm would hold back waiting for an ACK.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "platform/network.h"
#include "platform/sys_retry.h"

namespace velloquin {
namespace {

// Waits for `events` on `fd` until `deadline_ms` of `clock`. Returns 0 when
// they came (an error or hang-up condition counts: the next call reports it),
// ETIMEDOUT, or the error number of poll().
int PollUntil(Clock& clock, int fd, short events, int64_t deadline_ms) {
  for (;;) {
    int64_t left = deadline_ms - clock.NowMs();
    if (left < 0) left = 0;
    pollfd entry{fd, events, 0};
    int result = ::poll(&entry, 1, static_cast<int>(left > INT_MAX ? INT_MAX : left));
    if (result > 0) return 0;
    // The kernel's own time-out is trusted; only a signal makes us go again.
    if (result == 0) return ETIMEDOUT;
    if (errno != EINTR) return errno;
  }
}

class PosixTcpConnection final : public TcpConnection {
 public:
  PosixTcpConnection(int fd, Clock& clock) : fd_(fd), clock_(clock) {}
  ~PosixTcpConnection() override { Close(); }

  int Handle() const override { return fd_; }

  int WaitWritable(int timeout_ms) override { return Wait(POLLOUT, timeout_ms); }
  int WaitReadable(int timeout_ms) override { return Wait(POLLIN, timeout_ms); }

  IoResult Send(const uint8_t* data, uint32_t length) override {
    if (fd_ < 0) return {false, 0, EBADF};
    ssize_t n = RetryOnInterrupt(
        [&] { return ::send(fd_, data, length, MSG_NOSIGNAL | MSG_DONTWAIT); });
    if (n < 0) return {false, 0, errno};
    return {true, static_cast<uint32_t>(n), 0};
  }

  IoResult Receive(uint8_t* buffer, uint32_t size) override {
    if (fd_ < 0) return {false, 0, EBADF};
    ssize_t n = RetryOnInterrupt([&] { return ::recv(fd_, buffer, size, MSG_DONTWAIT); });
    if (n < 0) return {false, 0, errno};
    return {true, static_cast<uint32_t>(n), 0};
  }

  int Shutdown() override {
    if (fd_ < 0) return EBADF;
    return ::shutdown(fd_, SHUT_RDWR) == 0 ? 0 : errno;
  }

  int Close() override {
    if (fd_ < 0) return EBADF;
    int result = ::close(fd_) == 0 ? 0 : errno;
    fd_ = -1;  // released even when close() reports an error
    return result;
  }

 private:
  int Wait(short events, int timeout_ms) {
    if (fd_ < 0) return EBADF;
    return PollUntil(clock_, fd_, events, clock_.NowMs() + (timeout_ms > 0 ? timeout_ms : 0));
  }

  int fd_;
  Clock& clock_;
};

class PosixNetwork final : public Network {
 public:
  explicit PosixNetwork(Clock& clock) : clock_(clock) {}

  std::unique_ptr<TcpConnection> Connect(const Ipv4Endpoint& peer, int timeout_ms,
                                         int* error) override {
    int64_t deadline = clock_.NowMs() + (timeout_ms > 0 ? timeout_ms : 0);
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      *error = errno;
      return nullptr;
    }
    auto connection = std::make_unique<PosixTcpConnection>(fd, clock_);
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(peer.port);
    address.sin_addr.s_addr = htonl(peer.address);
    // A non-blocking connect() interrupted by a signal goes on in the
    // background, just as one that reports EINPROGRESS.
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
        errno != EINPROGRESS && errno != EINTR) {
      *error = errno;
      return nullptr;
    }
    int waited = PollUntil(clock_, fd, POLLOUT, deadline);
    if (waited != 0) {
      *error = waited;
      return nullptr;
    }
    int so_error = 0;
    socklen_t length = sizeof so_error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_error, &length) != 0) so_error = errno;
    if (so_error != 0) {
      *error = so_error;
      return nullptr;
    }
    *error = 0;
    return connection;
  }

 private:
  Clock& clock_;
};

}  // namespace

std::unique_ptr<Network> MakeSystemNetwork(Clock& clock) {
  return std::make_unique<PosixNetwork>(clock);
}

}  // namespace velloquin
