// A serial port on a network serial server, spoken to over Telnet with the
// COM-PORT-OPTION (RFC 2217), behind the serial device seam. Port names have
// the form "rfc2217://HOST:PORT", HOST being a dotted IPv4 address or
// "localhost" (no name lookups).
//
// What each seam operation means here:
// - Open connects (bounded), asks WILL COM-PORT-OPTION with BINARY and SGA
//   both ways, and refuses to go on unless the server answers DO
//   COM-PORT-OPTION in time (EPROTO when it stays silent, EPROTONOSUPPORT
//   when it says no). It then asks for DSR and CTS notifications, line-error
//   notifications, purges the server's buffers and waits briefly for the
//   first modem state.
// - SetConfig sends only what changed since the last one (speed, data size,
//   parity, stop size, outbound flow control, and DTR and RTS as the DCB's
//   control modes ask), then waits a short bounded time for the replies. A
//   well-formed reply with another value refuses the configuration (EINVAL).
// - EscapeFunction sends SET-CONTROL DTR/RTS ON/OFF and waits likewise.
//   A command the server has left unanswered once is not waited for again
//   on that connection, so a server that never replies costs one wait.
// - Read and Write keep the COMMTIMEOUTS meaning (comm_config.h) with
//   deadlines from the injected Clock; a write is complete once queued, as on
//   a tty, and GetStatus's out_queue counts the bytes not yet taken by the
//   network (ours and the socket's). A write with no time-out set still gives
//   up (ETIMEDOUT) after Rfc2217Options::write_stall_limit_ms without room.
// - GetModemStatus reports the last NOTIFY-MODEMSTATE (all lines off until
//   one came).
// - A lost connection fails the next Read, Write or query with its errno
//   (ECONNRESET when the server closed it), after any data already received
//   has been read, so the channel's reconnect back-off reopens it.
// - Received data is kept up to rfc2217::kMaxClientInput bytes and outgoing
//   bytes up to Rfc2217Options::max_outgoing; a flooding or stalled server
//   therefore never makes memory grow, and every call ends by its time-out.
// The clock must tell real time (SystemClock): the waits are real polls. A
// poll that runs its full time-out ends the wait even if the clock has not
// moved, so a wrongly injected virtual clock cannot hang a call.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/clock.h"
#include "platform/rfc2217_protocol.h"
#include "platform/serial_device.h"

namespace velloquin {

struct Rfc2217Options {
  int64_t connect_timeout_ms = 3000;
  int64_t negotiation_timeout_ms = 3000;  // for the server's DO COM-PORT-OPTION
  int64_t reply_timeout_ms = 300;         // for each batch of command replies
  int64_t write_stall_limit_ms = 30000;   // a write without time-outs set
  // Bytes queued ahead of the socket. Kept small, with a small socket send
  // buffer, so that little is in flight when the far end sends XOFF.
  size_t max_outgoing = 4096;
};

// IPv4 address and port, both in host order.
struct Rfc2217Address {
  uint32_t ip = 0;
  uint16_t port = 0;
  bool operator==(const Rfc2217Address&) const = default;
};

// Parses "rfc2217://HOST:PORT" (scheme without regard to case, one trailing
// "/" allowed); nothing for any other text.
std::optional<Rfc2217Address> ParseRfc2217Name(const std::string& name);

class Rfc2217Opener final : public SerialOpener {
 public:
  explicit Rfc2217Opener(Clock& clock, Rfc2217Options options = {});
  ~Rfc2217Opener() override;
  // EINVAL for a name that does not parse, EBUSY while a device opened here
  // holds the same address, the connect's errno (ECONNREFUSED, ETIMEDOUT),
  // EPROTO / EPROTONOSUPPORT when the server does not take the option.
  std::unique_ptr<SerialDevice> Open(const std::string& name, int* error) override;

  class Claims;  // addresses held open, shared with the devices

 private:
  Clock& clock_;
  const Rfc2217Options options_;
  std::shared_ptr<Claims> claims_;
};

class Rfc2217Device final : public SerialDevice {
 public:
  // Takes a connected non-blocking socket; `release` runs when the device
  // closes (gives the address back to its opener).
  Rfc2217Device(int fd, Clock& clock, const Rfc2217Options& options,
                std::shared_ptr<void> release);
  ~Rfc2217Device() override;
  Rfc2217Device(const Rfc2217Device&) = delete;
  Rfc2217Device& operator=(const Rfc2217Device&) = delete;

  // The opening exchange described above; 0 or the errno.
  int Negotiate();

  int Handle() const override { return fd_; }
  int GetConfig(CommConfigRecord* config) override;
  int SetConfig(const CommConfigRecord& config) override;
  int SetTimeouts(const CommTimeoutValues& timeouts) override;
  IoResult Write(const uint8_t* data, uint32_t length) override;
  IoResult Read(uint8_t* buffer, uint32_t size) override;
  int GetModemStatus(uint32_t* status) override;
  int EscapeFunction(LineFunction function) override;
  int GetStatus(CommStatus* status) override;
  // Asks the server to drop DTR and RTS, as closing a serial port does,
  // hands what is queued to the socket without waiting, and closes it.
  int Close() override;

 private:
  enum class Wait { kProgress, kTimedOut, kLost };
  // Sends what the socket takes, then waits until the socket can take more
  // or has something to read, or `deadline_ms` passes (no wait when it has),
  // and reads a bounded amount.
  Wait Exchange(int64_t deadline_ms);
  template <typename Done>
  Wait WaitFor(Done done, int64_t deadline_ms);
  void Flush();
  void ReadAvailable();
  // Waits a short bounded time for the awaited replies (and, with
  // `need_modem_state`, for the first modem state); 0 or the lost
  // connection's errno.
  int AwaitReplies(bool need_modem_state);
  int UsableError() const;

  int fd_;
  Clock& clock_;
  const Rfc2217Options options_;
  std::shared_ptr<void> release_;
  rfc2217::ComPortClient client_;
  int lost_error_ = 0;  // errno of the lost connection, 0 while it lives
  CommTimeoutValues timeouts_;
  std::optional<CommConfigRecord> config_;          // the last one applied
  std::optional<rfc2217::LineSettings> settings_;  // what the server runs with
  std::optional<bool> dtr_, rts_;                   // the levels last asked for
};

}  // namespace velloquin
