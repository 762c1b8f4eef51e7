// The network seam: what a channel to a network printer needs from the
// operating system. A connection is one TCP stream to an IPv4 address; every
// wait on it is bounded, and failures come back as the operating system's
// error number (errno on Linux). Host names are never looked up here: the
// caller hands over a numeric address.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/clock.h"
#include "platform/serial_device.h"  // IoResult

namespace velloquin {

// An IPv4 address and port, both in host byte order.
struct Ipv4Endpoint {
  uint32_t address = 0;  // 10.0.0.5 is 0x0A000005
  uint16_t port = 0;
  bool operator==(const Ipv4Endpoint&) const = default;
};

// One connected TCP stream. Destroying it closes it (errors ignored).
class TcpConnection {
 public:
  virtual ~TcpConnection() = default;

  // A number that identifies the connection (the fd on Linux).
  virtual int Handle() const = 0;

  // Wait until the stream can take data, or until data (or the peer's close)
  // can be read, for at most timeout_ms. Return 0 when it can, ETIMEDOUT when
  // the time ran out first, or the error number of a failed wait.
  virtual int WaitWritable(int timeout_ms) = 0;
  virtual int WaitReadable(int timeout_ms) = 0;

  // One send and one receive, neither of which waits: Send may take fewer
  // bytes than offered; Receive reports ok with count 0 when the peer has
  // closed its side. A peer that has gone never raises a signal.
  virtual IoResult Send(const uint8_t* data, uint32_t length) = 0;
  virtual IoResult Receive(uint8_t* buffer, uint32_t size) = 0;

  // Shuts both directions down; returns 0 or the error number.
  virtual int Shutdown() = 0;
  // Releases the connection; returns 0 or the error number. Never retried:
  // after it, every other call fails with EBADF.
  virtual int Close() = 0;
};

class Network {
 public:
  virtual ~Network() = default;
  // Connects to `peer`, giving up after timeout_ms. On failure returns null
  // and stores the error number in *error (ETIMEDOUT when the time ran out).
  virtual std::unique_ptr<TcpConnection> Connect(const Ipv4Endpoint& peer, int timeout_ms,
                                                 int* error) = 0;
};

// The operating system's sockets. `clock` must tell real time (SystemClock):
// a wait interrupted by a signal goes on to the same deadline.
std::unique_ptr<Network> MakeSystemNetwork(Clock& clock);

}  // namespace velloquin
