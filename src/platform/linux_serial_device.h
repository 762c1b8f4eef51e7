// Serial devices on Linux: a tty driven with termios, ioctl and poll behind the
// serial device seam. How the Windows time-out rules map onto poll is written
// down at the top of linux_serial_device_linux.cc.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/clock.h"
#include "platform/comm_config.h"
#include "platform/serial_device.h"

struct termios;

namespace velloquin {

// Line-error bits of CommStatus::errors, as ClearCommError reports them.
inline constexpr uint32_t kCommErrorRxOver = 0x1;   // input buffer overflow
inline constexpr uint32_t kCommErrorOverrun = 0x2;  // UART overrun
inline constexpr uint32_t kCommErrorParity = 0x4;
inline constexpr uint32_t kCommErrorFrame = 0x8;
inline constexpr uint32_t kCommErrorBreak = 0x10;

// The mapping between a DCB and a tty's termios, on its own so that every
// frame can be checked (a pseudo-terminal keeps only some of the bits).
// DcbToTermios builds on top of `tio` and returns 0, or EINVAL for a setting
// the line cannot take (a rate that is not a termios speed, 1.5 stop bits, a
// byte size outside 5..8, an unknown parity code); `tio` is then of no use.
int DcbToTermios(const Dcb& dcb, termios* tio);
// `modem_bits` are TIOCM_* bits, used only when `have_modem`.
Dcb TermiosToDcb(const termios& tio, int modem_bits, bool have_modem);

// Opens a tty by path, exclusively and in raw mode:
// - O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC; every wait is a poll, so the
//   descriptor stays non-blocking for its whole life.
// - Not a tty: ENOTTY (the descriptor is closed again).
// - Exclusive against this process and others: flock(LOCK_EX | LOCK_NB) on
//   the open file (EBUSY when held, which also covers root, whom the kernel
//   lets past TIOCEXCL), then TIOCEXCL so that other programs get EBUSY
//   from open() itself. Nothing of the line is touched before the lock is
//   ours, so a refused open never disturbs the holder.
// - Raw 8N1 line, CREAD, CLOCAL (DCD is ignored: a printer adapter does not
//   drive it) and HUPCL kept on: the last close drops DTR and RTS, as closing
//   a COM port does on Windows, so a station that exits or crashes leaves the
//   adapter's lines down instead of latched in whatever state the cycle had
//   them. (Opening a tty raises DTR and RTS whatever we do; the configuration
//   applied right after the open sets them as the DCB asks.)
// Every failure returns the errno of the call that failed.
class LinuxSerialOpener final : public SerialOpener {
 public:
  // `clock` gives every read and write deadline of the devices opened here;
  // it must tell real time (SystemClock), since the waits are real polls.
  explicit LinuxSerialOpener(Clock& clock) : clock_(clock) {}
  std::unique_ptr<SerialDevice> Open(const std::string& path, int* error) override;

 private:
  Clock& clock_;
};

class LinuxSerialDevice final : public SerialDevice {
 public:
  // Takes ownership of `fd`, a non-blocking tty prepared by LinuxSerialOpener.
  LinuxSerialDevice(int fd, Clock& clock);
  ~LinuxSerialDevice() override;
  LinuxSerialDevice(const LinuxSerialDevice&) = delete;
  LinuxSerialDevice& operator=(const LinuxSerialDevice&) = delete;

  int Handle() const override { return fd_; }
  int GetConfig(CommConfigRecord* config) override;
  int SetConfig(const CommConfigRecord& config) override;
  int SetTimeouts(const CommTimeoutValues& timeouts) override;
  IoResult Write(const uint8_t* data, uint32_t length) override;
  IoResult Read(uint8_t* buffer, uint32_t size) override;
  int GetModemStatus(uint32_t* status) override;
  int EscapeFunction(LineFunction function) override;
  int GetStatus(CommStatus* status) override;
  // Closes once. The descriptor is released even when close() reports an
  // error (Linux frees it regardless), so the device counts as closed either
  // way and a second Close() fails with EBADF instead of closing a number
  // that may belong to somebody else by then.
  int Close() override;

 private:
  // Line-error counters of the driver (TIOCGICOUNT), to report differences.
  struct ErrorCounts {
    int frame = 0, overrun = 0, parity = 0, brk = 0, buf_overrun = 0;
  };

  // Waits until the descriptor is ready for `events` or `deadline_ms` passes
  // (kNoDeadline: no limit). 1 ready, 0 deadline passed, -1 failed (errno).
  int WaitReady(short events, int64_t deadline_ms);
  bool ReadErrorCounts(ErrorCounts* counts) const;

  int fd_;
  Clock& clock_;
  CommTimeoutValues timeouts_;
  CommConfigRecord config_;
  bool config_applied_ = false;
  ErrorCounts last_counts_;
  bool have_counts_ = false;
};

}  // namespace velloquin
