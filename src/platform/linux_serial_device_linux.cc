// Serial devices on Linux: termios for the line, ioctl for the modem lines and
// the queues, poll for every wait.
//
// How the Windows time-out rules (COMMTIMEOUTS) map onto poll
// ----------------------------------------------------------
// The descriptor is non-blocking and the line raw with VMIN = 1 (so that an
// empty queue reads as EAGAIN and a hung-up line as 0): the kernel never waits
// on our behalf. Each Read or Write loops over a non-blocking read()/write()
// and, when that would block (EAGAIN), one poll() whose time-out is the
// distance from the injected Clock's NowMs() to the nearest deadline,
// recomputed before every poll (also when a signal interrupts it). NowMs()
// is checked again after each poll, so an early or late wake-up only costs a
// loop turn, never a wrong result.
//
// Read(buffer, size), with RI = read interval, RTM/RTC = read total
// multiplier/constant:
// - RI = 0xFFFFFFFF, RTM = RTC = 0: take what is buffered and return at once
//   (the deadline is "now"; no poll).
// - RI = RTM = 0xFFFFFFFF, 0 < RTC < 0xFFFFFFFF: return as soon as at least
//   one byte has come, or with 0 after RTC.
// - Otherwise a total deadline of start + RTC + RTM x size when either is
//   non-zero (none when both are 0), and, once the first byte has come, an
//   interval deadline of (time of the last byte received) + RI when RI is
//   non-zero. poll waits until the earlier of the two; with neither, it waits
//   without limit, as Windows does. A read ends when `size` bytes have come
//   or a deadline passes, and is then a success with the bytes it has
//   (possibly 0): a time-out is not a failure.
// - A failure after some bytes have come returns those bytes as a success
//   (the caller would otherwise drop data it already holds); the next call
//   reports the failure. A hung-up line (read() returning 0: the device went
//   away) fails with EIO so that it is not mistaken for a quiet line forever.
// Write(data, length): a total deadline of start + WTC + WTM x length when
// either is non-zero, else none. Bytes go into the tty's output queue as room
// allows; when it is full, poll(POLLOUT) waits for room until the deadline.
// On the deadline the write succeeds with the count that went in. A failure
// returns the count written so far with the error, so nothing is sent twice.
// Like a Linux tty (and unlike a Windows COM port), a write is complete when
// the bytes are queued, not when they are on the wire; the output-queue count
// (GetStatus) tells what is still waiting.
#include "platform/linux_serial_device.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <utility>

#include "platform/sys_retry.h"

namespace velloquin {
namespace {

constexpr uint32_t kMaxDword = 0xFFFFFFFF;
constexpr int64_t kNoDeadline = -1;
// Totals beyond this (about 31 years) count as no limit; keeps the sums exact.
constexpr uint64_t kLongestWaitMs = uint64_t{1} << 40;

struct SpeedCode {
  uint32_t baud;
  speed_t code;
};
// The termios speeds; other rates (14400, 56000, 128000, ...) are refused.
constexpr SpeedCode kSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

bool SpeedFor(uint32_t baud, speed_t* code) {
  for (const SpeedCode& s : kSpeeds) {
    if (s.baud == baud) {
      *code = s.code;
      return true;
    }
  }
  return false;
}

uint32_t BaudFor(speed_t code) {
  for (const SpeedCode& s : kSpeeds) {
    if (s.code == code) return s.baud;
  }
  return 0;
}

// Raw line, receiver on, DCD ignored, lines dropped on the last close. VMIN 1
// on a non-blocking descriptor: an empty queue reads as EAGAIN (with VMIN 0
// it would read as 0, like a hung-up line) and every wait is our own poll.
void MakeRaw(termios* tio) {
  cfmakeraw(tio);
  tio->c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
  tio->c_cflag |= CREAD | CLOCAL | HUPCL;
  tio->c_cc[VMIN] = 1;
  tio->c_cc[VTIME] = 0;
}

int Ioctl(int fd, unsigned long request, void* arg) {
  return RetryOnInterrupt([&] { return ::ioctl(fd, request, arg); });
}

// Raises (`on`) or drops one modem control line.
int DriveLine(int fd, int line, bool on) {
  return Ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line) == 0 ? 0 : errno;
}

// A driver without modem control lines (a pseudo-terminal) refuses the modem
// ioctls with one of these; the line settings still apply there.
bool NoModemLines(int error) { return error == ENOTTY || error == EINVAL; }

// DTR and RTS as the DCB's control modes ask. Linux has no DTR/DSR input
// handshake, so DTR handshake just raises DTR; RTS handshake is CRTSCTS's
// business and RTS toggle has no equivalent, so both leave RTS alone.
int ApplyControlLines(int fd, const Dcb& dcb) {
  int error = DriveLine(fd, TIOCM_DTR, (dcb.flags & kDcbDtrControlMask) != 0);
  if (error != 0) return NoModemLines(error) ? 0 : error;
  switch (dcb.flags & kDcbRtsControlMask) {
    case 0: error = DriveLine(fd, TIOCM_RTS, false); break;
    case kDcbRtsControlEnable: error = DriveLine(fd, TIOCM_RTS, true); break;
    default: break;
  }
  return NoModemLines(error) ? 0 : error;
}

// now + constant + multiplier x count, or kNoDeadline when both are 0.
int64_t TotalDeadline(int64_t now, uint32_t constant, uint32_t multiplier, uint32_t count) {
  if (constant == 0 && multiplier == 0) return kNoDeadline;
  const uint64_t total = uint64_t{constant} + uint64_t{multiplier} * count;  // < 2^64
  if (total > kLongestWaitMs) return kNoDeadline;
  return now + static_cast<int64_t>(total);
}

int64_t Earlier(int64_t a, int64_t b) {
  if (a == kNoDeadline) return b;
  if (b == kNoDeadline) return a;
  return std::min(a, b);
}

IoResult Failed(int error, uint32_t count = 0) { return IoResult{false, count, error}; }

// Owns a descriptor while an open is under way.
class FdGuard {
 public:
  explicit FdGuard(int fd) : fd_(fd) {}
  ~FdGuard() {
    if (fd_ >= 0) ::close(fd_);
  }
  FdGuard(const FdGuard&) = delete;
  FdGuard& operator=(const FdGuard&) = delete;
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

}  // namespace

int DcbToTermios(const Dcb& dcb, termios* tio) {
  speed_t speed;
  if (!SpeedFor(dcb.baud_rate, &speed)) return EINVAL;
  static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  if (dcb.byte_size < 5 || dcb.byte_size > 8) return EINVAL;
  if (dcb.stop_bits != kOneStopBit && dcb.stop_bits != kTwoStopBits) return EINVAL;
  tcflag_t parity;
  switch (dcb.parity) {
    case kNoParity: parity = 0; break;
    case kOddParity: parity = PARENB | PARODD; break;
    case kEvenParity: parity = PARENB; break;
    case kMarkParity: parity = PARENB | CMSPAR | PARODD; break;
    case kSpaceParity: parity = PARENB | CMSPAR; break;
    default: return EINVAL;
  }

  MakeRaw(tio);
  if (cfsetispeed(tio, speed) != 0 || cfsetospeed(tio, speed) != 0) return EINVAL;
  tio->c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  tio->c_cflag |= kSizes[dcb.byte_size - 5] | parity;
  if (dcb.stop_bits == kTwoStopBits) tio->c_cflag |= CSTOPB;
  if (dcb.Has(kDcbParity) && parity != 0) tio->c_iflag |= INPCK;
  // Linux has no DSR output flow control and no "continue on XOFF" switch:
  // fOutxDsrFlow, fDsrSensitivity and fTXContinueOnXoff have no effect here
  // (the channel checks DSR itself before it writes with hardware handshake).
  if (dcb.Has(kDcbOutX)) tio->c_iflag |= IXON;
  if (dcb.Has(kDcbInX)) tio->c_iflag |= IXOFF;
  tio->c_cc[VSTART] = dcb.xon_char != 0 ? dcb.xon_char : kXonChar;
  tio->c_cc[VSTOP] = dcb.xoff_char != 0 ? dcb.xoff_char : kXoffChar;
  const bool rts_handshake = (dcb.flags & kDcbRtsControlMask) == kDcbRtsControlHandshake;
  if (dcb.Has(kDcbOutxCtsFlow) || rts_handshake) tio->c_cflag |= CRTSCTS;
  return 0;
}

Dcb TermiosToDcb(const termios& tio, int modem_bits, bool have_modem) {
  Dcb dcb;
  dcb.length = kDcbSize;
  dcb.baud_rate = BaudFor(cfgetospeed(&tio));
  dcb.Set(kDcbBinary);
  switch (tio.c_cflag & CSIZE) {
    case CS5: dcb.byte_size = 5; break;
    case CS6: dcb.byte_size = 6; break;
    case CS7: dcb.byte_size = 7; break;
    default: dcb.byte_size = 8; break;
  }
  if (!(tio.c_cflag & PARENB)) {
    dcb.parity = kNoParity;
  } else if (tio.c_cflag & CMSPAR) {
    dcb.parity = (tio.c_cflag & PARODD) ? kMarkParity : kSpaceParity;
  } else {
    dcb.parity = (tio.c_cflag & PARODD) ? kOddParity : kEvenParity;
  }
  if (tio.c_iflag & INPCK) dcb.Set(kDcbParity);
  dcb.stop_bits = (tio.c_cflag & CSTOPB) ? kTwoStopBits : kOneStopBit;
  if (tio.c_iflag & IXON) dcb.Set(kDcbOutX);
  if (tio.c_iflag & IXOFF) dcb.Set(kDcbInX);
  dcb.xon_char = tio.c_cc[VSTART];
  dcb.xoff_char = tio.c_cc[VSTOP];
  // A line without modem control (a pseudo-terminal) reports DTR and RTS as
  // enabled: that is how opening a tty leaves them.
  const bool dtr = !have_modem || (modem_bits & TIOCM_DTR);
  const bool rts = !have_modem || (modem_bits & TIOCM_RTS);
  if (dtr) dcb.Set(kDcbDtrControlEnable);
  if (tio.c_cflag & CRTSCTS) {
    dcb.Set(kDcbOutxCtsFlow | kDcbRtsControlHandshake);
  } else if (rts) {
    dcb.Set(kDcbRtsControlEnable);
  }
  return dcb;
}

std::unique_ptr<SerialDevice> LinuxSerialOpener::Open(const std::string& path, int* error) {
  auto fail = [error](int code) -> std::unique_ptr<SerialDevice> {
    if (error != nullptr) *error = code;
    return nullptr;
  };
  FdGuard fd(RetryOnInterrupt(
      [&] { return ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); }));
  if (fd.get() < 0) return fail(errno);
  termios tio;
  if (RetryOnInterrupt([&] { return ::tcgetattr(fd.get(), &tio); }) != 0) {
    return fail(errno == EINVAL ? ENOTTY : errno);
  }
  if (RetryOnInterrupt([&] { return ::flock(fd.get(), LOCK_EX | LOCK_NB); }) != 0) {
    return fail(errno == EWOULDBLOCK ? EBUSY : errno);
  }
  MakeRaw(&tio);
  if (RetryOnInterrupt([&] { return ::tcsetattr(fd.get(), TCSANOW, &tio); }) != 0) {
    return fail(errno);
  }
  // Last, so that no failure path has to undo it.
  if (Ioctl(fd.get(), TIOCEXCL, nullptr) != 0) return fail(errno);
  if (error != nullptr) *error = 0;
  return std::make_unique<LinuxSerialDevice>(fd.release(), clock_);
}

LinuxSerialDevice::LinuxSerialDevice(int fd, Clock& clock) : fd_(fd), clock_(clock) {
  // Line errors are reported from the open on.
  have_counts_ = ReadErrorCounts(&last_counts_);
}

LinuxSerialDevice::~LinuxSerialDevice() { Close(); }

int LinuxSerialDevice::Close() {
  if (fd_ < 0) return EBADF;
  const int fd = std::exchange(fd_, -1);
  // Give up the exclusive mark first: on a pseudo-terminal the tty outlives
  // our descriptor while the other side stays open.
  Ioctl(fd, TIOCNXCL, nullptr);
  return ::close(fd) == 0 ? 0 : errno;  // never retried, see sys_retry.h
}

int LinuxSerialDevice::GetConfig(CommConfigRecord* config) {
  if (fd_ < 0) return EBADF;
  if (config_applied_) {
    *config = config_;
    return 0;
  }
  termios tio;
  if (RetryOnInterrupt([&] { return ::tcgetattr(fd_, &tio); }) != 0) return errno;
  int bits = 0;
  const bool have_modem = Ioctl(fd_, TIOCMGET, &bits) == 0;
  *config = CommConfigRecord{};
  config->size = kCommConfigSize;
  config->version = 1;
  config->dcb = TermiosToDcb(tio, bits, have_modem);
  return 0;
}

int LinuxSerialDevice::SetConfig(const CommConfigRecord& config) {
  if (fd_ < 0) return EBADF;
  termios before;
  if (RetryOnInterrupt([&] { return ::tcgetattr(fd_, &before); }) != 0) return errno;
  termios wanted = before;
  if (int error = DcbToTermios(config.dcb, &wanted); error != 0) return error;
  if (RetryOnInterrupt([&] { return ::tcsetattr(fd_, TCSANOW, &wanted); }) != 0) return errno;
  // tcsetattr succeeds when any part was taken; a driver that cannot do the
  // speed quietly keeps another one. Refuse that and put the line back.
  termios now;
  if (RetryOnInterrupt([&] { return ::tcgetattr(fd_, &now); }) != 0) return errno;
  if (cfgetospeed(&now) != cfgetospeed(&wanted)) {
    RetryOnInterrupt([&] { return ::tcsetattr(fd_, TCSANOW, &before); });
    return EINVAL;
  }
  if (int error = ApplyControlLines(fd_, config.dcb); error != 0) return error;
  config_ = config;
  config_applied_ = true;
  return 0;
}

int LinuxSerialDevice::SetTimeouts(const CommTimeoutValues& timeouts) {
  if (fd_ < 0) return EBADF;
  timeouts_ = timeouts;
  return 0;
}

int LinuxSerialDevice::WaitReady(short events, int64_t deadline_ms) {
  pollfd entry{fd_, events, 0};
  int ready = RetryOnInterrupt([&] {
    int timeout = -1;
    if (deadline_ms != kNoDeadline) {
      const int64_t left = deadline_ms - clock_.NowMs();
      if (left <= 0) return 0;
      timeout = static_cast<int>(std::min<int64_t>(left, INT_MAX));
    }
    return ::poll(&entry, 1, timeout);
  });
  if (ready <= 0) return ready;
  if (entry.revents & POLLNVAL) {
    errno = EBADF;
    return -1;
  }
  // POLLERR and POLLHUP count as ready: the read or write says what happened.
  return 1;
}

IoResult LinuxSerialDevice::Read(uint8_t* buffer, uint32_t size) {
  if (fd_ < 0) return Failed(EBADF);
  if (size == 0) return IoResult{true, 0, 0};
  const CommTimeoutValues& t = timeouts_;
  const int64_t start = clock_.NowMs();
  int64_t total_deadline;
  bool first_byte_ends = false;
  if (t.read_interval == kMaxDword && t.read_total_multiplier == 0 &&
      t.read_total_constant == 0) {
    total_deadline = start;
  } else if (t.read_interval == kMaxDword && t.read_total_multiplier == kMaxDword &&
             t.read_total_constant != 0 && t.read_total_constant != kMaxDword) {
    total_deadline = start + t.read_total_constant;
    first_byte_ends = true;
  } else {
    total_deadline = TotalDeadline(start, t.read_total_constant, t.read_total_multiplier, size);
  }

  uint32_t got = 0;
  int64_t last_byte_ms = 0;
  while (got < size) {
    const ssize_t n = RetryOnInterrupt([&] { return ::read(fd_, buffer + got, size - got); });
    if (n > 0) {
      got += static_cast<uint32_t>(n);
      last_byte_ms = clock_.NowMs();
      if (first_byte_ends) break;
      continue;
    }
    if (n == 0 || errno != EAGAIN) {
      const int error = n == 0 ? EIO : errno;  // 0: hung up
      if (got > 0) break;
      return Failed(error);
    }
    int64_t deadline = total_deadline;
    if (got > 0 && t.read_interval != 0) {
      deadline = Earlier(deadline, last_byte_ms + t.read_interval);
    }
    const int ready = WaitReady(POLLIN, deadline);
    if (ready < 0 && got == 0) return Failed(errno);
    if (ready <= 0) break;
  }
  return IoResult{true, got, 0};
}

IoResult LinuxSerialDevice::Write(const uint8_t* data, uint32_t length) {
  if (fd_ < 0) return Failed(EBADF);
  const CommTimeoutValues& t = timeouts_;
  const int64_t deadline =
      TotalDeadline(clock_.NowMs(), t.write_total_constant, t.write_total_multiplier, length);
  uint32_t sent = 0;
  while (sent < length) {
    const ssize_t n = RetryOnInterrupt([&] { return ::write(fd_, data + sent, length - sent); });
    if (n > 0) {
      sent += static_cast<uint32_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN) return Failed(errno, sent);
    const int ready = WaitReady(POLLOUT, deadline);
    if (ready < 0) return Failed(errno, sent);
    if (ready == 0) break;
  }
  return IoResult{true, sent, 0};
}

int LinuxSerialDevice::GetModemStatus(uint32_t* status) {
  if (fd_ < 0) return EBADF;
  int bits = 0;
  if (Ioctl(fd_, TIOCMGET, &bits) != 0) return errno;
  *status = ((bits & TIOCM_CTS) ? kModemCtsOn : 0) | ((bits & TIOCM_DSR) ? kModemDsrOn : 0) |
            ((bits & TIOCM_RNG) ? kModemRingOn : 0) | ((bits & TIOCM_CAR) ? kModemRlsdOn : 0);
  return 0;
}

int LinuxSerialDevice::EscapeFunction(LineFunction function) {
  if (fd_ < 0) return EBADF;
  switch (function) {
    case LineFunction::kSetDtr: return DriveLine(fd_, TIOCM_DTR, true);
    case LineFunction::kClearDtr: return DriveLine(fd_, TIOCM_DTR, false);
    case LineFunction::kSetRts: return DriveLine(fd_, TIOCM_RTS, true);
    case LineFunction::kClearRts: return DriveLine(fd_, TIOCM_RTS, false);
  }
  return EINVAL;
}

bool LinuxSerialDevice::ReadErrorCounts(ErrorCounts* counts) const {
  serial_icounter_struct icount{};
  if (Ioctl(fd_, TIOCGICOUNT, &icount) != 0) return false;
  *counts = ErrorCounts{icount.frame, icount.overrun, icount.parity, icount.brk,
                        icount.buf_overrun};
  return true;
}

int LinuxSerialDevice::GetStatus(CommStatus* status) {
  if (fd_ < 0) return EBADF;
  int out_queue = 0;
  int in_queue = 0;
  if (Ioctl(fd_, TIOCOUTQ, &out_queue) != 0) return errno;
  if (Ioctl(fd_, FIONREAD, &in_queue) != 0) return errno;
  *status = CommStatus{};
  status->out_queue = static_cast<uint32_t>(std::max(out_queue, 0));
  status->in_queue = static_cast<uint32_t>(std::max(in_queue, 0));
  // Linux does not expose whether output is held by a received XOFF or
  // whether the line discipline has sent XOFF, so `hold` stays 0; a port held
  // by XOFF shows up as an output queue that does not drain.
  ErrorCounts counts;
  if (ReadErrorCounts(&counts)) {
    if (have_counts_) {
      if (counts.frame != last_counts_.frame) status->errors |= kCommErrorFrame;
      if (counts.overrun != last_counts_.overrun) status->errors |= kCommErrorOverrun;
      if (counts.parity != last_counts_.parity) status->errors |= kCommErrorParity;
      if (counts.brk != last_counts_.brk) status->errors |= kCommErrorBreak;
      if (counts.buf_overrun != last_counts_.buf_overrun) status->errors |= kCommErrorRxOver;
    }
    last_counts_ = counts;
    have_counts_ = true;
  }
  return 0;
}

}  // namespace velloquin
