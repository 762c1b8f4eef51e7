// A serial port served over TCP with Telnet and the COM-PORT-OPTION
// (RFC 2217): the far end of platform/rfc2217_device.h. `velloquin-sim
// --listen` puts a simulated printer's port behind one, so that a station and
// its printers can run as separate processes; any SerialDevice can be served.
//
// What a client gets:
// - Its WILL COM-PORT-OPTION is answered with DO (and a DO with WILL);
//   BINARY and SGA are agreed both ways, ECHO is refused. Once the option is
//   agreed the current modem state is sent unasked.
// - SET-BAUDRATE, SET-DATASIZE, SET-PARITY and SET-STOPSIZE change the port's
//   configuration (SetConfig); SET-CONTROL sets the flow control and drives
//   DTR and RTS (EscapeFunction). Each is answered with the command plus 100
//   and the value in effect afterwards, which is the old value when the port
//   refused the new one; a value of 0 only asks.
// - Data and these commands reach the port in the order they were sent: a
//   command waits until the data before it has gone to the port, and a change
//   of speed or frame also waits (up to settings_drain_limit_ms) until the
//   port's transmit queue is empty, so that bytes sent before it do not go out
//   at the new speed.
// - NOTIFY-MODEMSTATE whenever DSR, CTS, RI or CD change, with the change
//   bits, as far as SET-MODEMSTATE-MASK lets through (all by default); a
//   NOTIFY-MODEMSTATE from the client asks for the state now.
//   NOTIFY-LINESTATE for framing, parity, overrun and break errors the port
//   reports, as SET-LINESTATE-MASK lets through (none by default).
//   FLOWCONTROL-SUSPEND / -RESUME while the port holds its output after an
//   XOFF from the device.
// - PURGE-DATA drops the client data not yet handed to the port (transmit)
//   and what the port has received (receive). The port's own transmit queue
//   is beyond the serial seam and drains as it would.
// - 0xFF is doubled in data and values both ways.
//
// Bounds: data from the client is read from the socket only while the port's
// transmit queue has room and little is waiting for it, and the socket's
// receive buffer is small, so that an XOFF from the device holds the client's
// writes back across the network. Bytes for the client are kept up to
// max_outgoing; beyond that the port is not read (its receive buffer
// overflows, as a UART's does). A client that takes none of our bytes for
// stall_limit_ms is dropped. Sub-negotiations are bounded by the parser.
//
// One client at a time: others wait in the listen backlog until it has gone.
// A client that goes away (or is dropped) closes the port, as a station
// closing its port does; the next one opens it again.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/clock.h"
#include "platform/rfc2217_protocol.h"
#include "platform/serial_device.h"
#include "sim/sim_bench.h"

namespace velloquin::sim {

struct Rfc2217ServerOptions {
  // How often a connected session looks at the port (received bytes, lines)
  // while anything moves, and after idle_after_ms of quiet.
  int service_ms = 1;
  int idle_service_ms = 10;
  int64_t idle_after_ms = 200;
  // The port's transmit queue: data goes to the port only while it has room.
  size_t port_queue = kTxQueueSize;
  // Client data decoded but not yet on the port: more is read below this.
  size_t port_backlog = 1024;
  // SO_RCVBUF of a client's socket (the kernel doubles it).
  int socket_receive_buffer = 4096;
  // Bytes kept for the client (replies, notices, escaped data).
  size_t max_outgoing = 16384;
  // A client that takes none of our bytes this long is dropped.
  int64_t stall_limit_ms = 30000;
  // Longest wait for the port to drain before a change of speed or frame.
  int64_t settings_drain_limit_ms = 2000;
  // After the client has gone: how long its last bytes may take to reach the
  // port before they are dropped.
  int64_t closing_limit_ms = 5000;
};

// The protocol state of one connection, over an open port, without the
// socket: fed with received bytes, drained of bytes to send.
class ComPortSession final : private rfc2217::TelnetHandler {
 public:
  ComPortSession(SerialDevice& port, Clock& clock, const Rfc2217ServerOptions& options);

  // Sets the port's time-outs and queues the opening requests; 0 or errno.
  int Start();
  // Whether the owner should read more from the client now.
  bool WantsInput() const;
  void Receive(const uint8_t* data, size_t length);
  // Hands data and commands whose turn has come to the port, reads the port,
  // and queues notices.
  void Service();
  // Wire bytes for the client, in order; the owner erases what it has sent.
  rfc2217::Bytes& outgoing() { return outgoing_; }
  // Client data or commands not yet handed to the port.
  bool HasWorkForPort() const { return !for_port_.empty() || !commands_.empty(); }
  size_t buffered_for_port() const { return for_port_.size(); }
  // Something is on its way in either direction.
  bool Busy() const { return HasWorkForPort() || port_queued_ > 0 || !outgoing_.empty(); }
  // The errno of a failed port call; the session cannot go on after one.
  int port_error() const { return port_error_; }

 private:
  struct Command {
    uint64_t at;  // the count of client data bytes sent before it
    uint8_t code;
    rfc2217::Bytes value;
    int64_t due_ms = -1;  // when its turn came, while it waits for a drain
  };

  void OnData(const uint8_t* data, size_t length) override;
  void OnNegotiation(uint8_t verb, uint8_t option) override;
  void OnSubnegotiation(uint8_t option, const uint8_t* payload, size_t length) override;

  void MoveToPort();
  // Carries out a queued command; false while it has to wait.
  bool Apply(Command& command);
  void ApplyFrame(uint8_t code, const rfc2217::Bytes& value);
  void ApplyControl(uint8_t value);
  void Purge(uint8_t value);
  // Reconfigures the port with `change`, keeping the control lines and the
  // flow control as the client set them; 0 or errno.
  int ChangeConfig(const std::function<void(Dcb&)>& change);
  std::optional<Dcb> CurrentDcb();
  void ReadPort();
  void CheckModemLines(bool force);
  void ReportStatus(const CommStatus& status);
  void Reply(uint8_t code, const rfc2217::Bytes& value);
  void Fail(int error);

  SerialDevice& port_;
  Clock& clock_;
  const Rfc2217ServerOptions& options_;
  rfc2217::TelnetParser parser_;
  rfc2217::TelnetOptions telnet_;
  rfc2217::Bytes outgoing_;
  std::deque<uint8_t> for_port_;
  uint64_t data_received_ = 0;  // client data bytes decoded so far
  uint64_t data_to_port_ = 0;   // of them, handed to the port (or purged)
  std::deque<Command> commands_;
  size_t port_queued_ = 0;  // the port's transmit queue, last seen
  bool agreed_ = false;     // the COM-PORT-OPTION is on
  uint8_t modem_mask_ = 0xFF;
  uint8_t line_mask_ = 0;
  uint8_t modem_lines_ = 0;  // line bits last seen
  bool modem_known_ = false;
  bool held_ = false;  // FLOWCONTROL-SUSPEND sent, not yet resumed
  bool client_suspended_ = false;
  // An opened port has DTR and RTS on; the client changes them from there.
  bool dtr_ = true;
  bool rts_ = true;
  uint8_t outbound_flow_ = rfc2217::kControlFlowNone;
  uint8_t inbound_flow_ = 0;  // set from the port's configuration in Start
  int port_error_ = 0;
};

// Opens the served port for a client; null with *error (errno) when it cannot.
using PortOpener = std::function<std::unique_ptr<SerialDevice>(int* error)>;

class Rfc2217Server {
 public:
  // Listens on `ip`:`port` (host order; a loopback address only, else
  // EADDRNOTAVAIL; port 0 picks a free one) and serves the port that `open`
  // opens, on a thread of its own. Null with *error (errno) on failure.
  static std::unique_ptr<Rfc2217Server> Start(uint32_t ip, uint16_t port, PortOpener open,
                                              Clock& clock, Rfc2217ServerOptions options,
                                              int* error);
  // Stops and waits for the thread.
  ~Rfc2217Server();
  Rfc2217Server(const Rfc2217Server&) = delete;
  Rfc2217Server& operator=(const Rfc2217Server&) = delete;

  uint16_t port() const { return port_; }
  // Asks the thread to end: the client is dropped and the port closed.
  // Returns at once.
  void Stop();
  // Waits up to `timeout_ms` (real time) for the thread to end.
  bool WaitStopped(int64_t timeout_ms);

  // Clients that have had the port so far; whether one has it now; the most
  // client data that has waited here for the port at once.
  int clients() const { return clients_.load(); }
  bool connected() const { return connected_.load(); }
  size_t max_buffered_for_port() const { return max_buffered_.load(); }

 private:
  Rfc2217Server(int listener, uint16_t port, PortOpener open, Clock& clock,
                Rfc2217ServerOptions options);
  void Run();
  void Serve(int fd);

  const int listener_;
  const uint16_t port_;
  const PortOpener open_;
  Clock& clock_;
  const Rfc2217ServerOptions options_;
  std::atomic<bool> stop_{false};
  std::atomic<int> clients_{0};
  std::atomic<bool> connected_{false};
  std::atomic<size_t> max_buffered_{0};
  std::mutex mutex_;
  std::condition_variable ended_signal_;
  bool ended_ = false;
  std::thread thread_;
};

}  // namespace velloquin::sim
