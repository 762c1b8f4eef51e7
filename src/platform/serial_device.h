// The serial device seam: what a serial channel needs from the operating
// system. The operations carry the meaning of the Windows communication calls
// they stand in for, so the channel logic above can be written once; failures
// come back as the operating system's error number (errno on Linux).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/comm_config.h"

namespace velloquin {

// Result of one read or write: ok with the count transferred, or the error
// number. A read that times out is ok with count 0; a write that times out is
// ok with the count that went out before the time-out.
struct IoResult {
  bool ok = false;
  uint32_t count = 0;
  int error = 0;
};

// Modem status bits, as GetCommModemStatus reports them.
inline constexpr uint32_t kModemCtsOn = 0x10;
inline constexpr uint32_t kModemDsrOn = 0x20;
inline constexpr uint32_t kModemRingOn = 0x40;
inline constexpr uint32_t kModemRlsdOn = 0x80;

// Port state, as ClearCommError reports it.
inline constexpr uint32_t kHoldCtsHold = 0x1;
inline constexpr uint32_t kHoldDsrHold = 0x2;
inline constexpr uint32_t kHoldRlsdHold = 0x4;
inline constexpr uint32_t kHoldXoffHold = 0x8;  // output held: XOFF received
inline constexpr uint32_t kHoldXoffSent = 0x10;  // input held: XOFF sent
struct CommStatus {
  uint32_t errors = 0;     // line errors since the last call (framing, overrun, parity)
  uint32_t hold = 0;       // kHold* bits
  uint32_t in_queue = 0;   // bytes received, not yet read
  uint32_t out_queue = 0;  // bytes written, not yet on the wire
};

// Control-line functions, as EscapeCommFunction takes them.
enum class LineFunction { kSetDtr, kClearDtr, kSetRts, kClearRts };

// One open serial device. Destroying it closes it (errors ignored); Close()
// reports the error so that the channel can retry once as it does on Windows.
class SerialDevice {
 public:
  virtual ~SerialDevice() = default;

  // A number that identifies the open device, never 0 (the fd on Linux).
  virtual int Handle() const = 0;

  // The configuration the device runs with now (GetCommConfig).
  virtual int GetConfig(CommConfigRecord* config) = 0;
  // Applies speed, frame, flow control and control-line modes (SetCommConfig).
  // Returns 0 or the error number; a configuration the device cannot take
  // (an unsupported speed, say) is refused with an error.
  virtual int SetConfig(const CommConfigRecord& config) = 0;
  virtual int SetTimeouts(const CommTimeoutValues& timeouts) = 0;

  virtual IoResult Write(const uint8_t* data, uint32_t length) = 0;
  virtual IoResult Read(uint8_t* buffer, uint32_t size) = 0;

  // Modem lines (kModem* bits); returns 0 or the error number.
  virtual int GetModemStatus(uint32_t* status) = 0;
  // Drives DTR or RTS; returns 0 or the error number.
  virtual int EscapeFunction(LineFunction function) = 0;
  // Line errors, hold state and queue counts; returns 0 or the error number.
  virtual int GetStatus(CommStatus* status) = 0;

  // Closes the device; returns 0 or the error number. After a successful
  // close every other call fails with EBADF.
  virtual int Close() = 0;
};

// Opens serial devices by the name the channel hands over. Opening is
// exclusive: a device held by another opener (this process or another) is
// refused with EBUSY.
class SerialOpener {
 public:
  virtual ~SerialOpener() = default;
  // On failure returns null and stores the error number in *error.
  virtual std::unique_ptr<SerialDevice> Open(const std::string& name, int* error) = 0;
};

}  // namespace velloquin
