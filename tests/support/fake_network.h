// A scriptable, recording network for channel tests, in virtual time.
//
// A FakePeer is a network printer at one address: whether it accepts a
// connection, whether it takes data, what it has to say, and whether it has
// closed its side. It records every connection, every send and every wait
// with the time-out asked for. A wait that sees nothing advances the clock
// by its whole time-out. Meant for one thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/network.h"
#include "support/fake_serial_device.h"  // Bytes, WriteRecord

namespace velloquin::testing_support {

class FakePeer {
 public:
  explicit FakePeer(Clock* clock) : clock_(clock) {}

  // ---- Script. ----
  int connect_error = 0;      // connecting fails at once with this errno
  bool connect_hangs = false;  // connecting takes the whole time-out (ETIMEDOUT)
  bool writable = true;       // false: every wait to write times out
  int send_error = 0;         // every send fails with this errno
  uint32_t max_send = UINT32_MAX;
  int receive_error = 0;      // every receive fails with this errno
  bool peer_closed = false;   // the printer has closed its side
  void QueueInput(const Bytes& bytes) { input_.insert(input_.end(), bytes.begin(), bytes.end()); }

  // ---- Record. ----
  std::vector<WriteRecord> sends;
  std::vector<int> connect_timeouts;
  std::vector<int> write_waits;
  std::vector<int> read_waits;
  int connections = 0;
  int shutdowns = 0;
  int closes = 0;
  bool connected = false;

  Bytes AllSent() const;

 private:
  friend class FakeTcpConnection;
  friend class FakeNetwork;
  Clock* clock_;
  Bytes input_;
};

class FakeTcpConnection final : public TcpConnection {
 public:
  FakeTcpConnection(std::shared_ptr<FakePeer> peer, int handle)
      : peer_(std::move(peer)), handle_(handle) {}
  ~FakeTcpConnection() override;
  int Handle() const override { return handle_; }
  int WaitWritable(int timeout_ms) override;
  int WaitReadable(int timeout_ms) override;
  IoResult Send(const uint8_t* data, uint32_t length) override;
  IoResult Receive(uint8_t* buffer, uint32_t size) override;
  int Shutdown() override;
  int Close() override;

 private:
  std::shared_ptr<FakePeer> peer_;
  int handle_;
  bool closed_ = false;
};

// Connects to FakePeers by address; any other address refuses the
// connection (ECONNREFUSED).
class FakeNetwork final : public Network {
 public:
  void Add(const Ipv4Endpoint& endpoint, std::shared_ptr<FakePeer> peer) {
    peers_[{endpoint.address, endpoint.port}] = std::move(peer);
  }
  std::unique_ptr<TcpConnection> Connect(const Ipv4Endpoint& peer, int timeout_ms,
                                         int* error) override;
  std::vector<Ipv4Endpoint> attempts;  // every Connect, in order

 private:
  std::map<std::pair<uint32_t, uint16_t>, std::shared_ptr<FakePeer>> peers_;
  int next_handle_ = 500;
};

}  // namespace velloquin::testing_support
