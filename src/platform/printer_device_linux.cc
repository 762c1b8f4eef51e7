// Printer-class devices on Linux: /dev/usb/lpN (the USB printer driver) and
// /dev/lpN (the parallel printer driver).
//
// - The descriptor is non-blocking for its whole life. A blocking write to a
//   parallel printer that is off line waits inside the driver until a signal
//   comes, which would hang a row for good; here every transfer has a
//   deadline and is retried in steps of at most 10 ms until it.
// - Between attempts the device is polled. The parallel driver has no poll of
//   its own and always reports "ready"; once a "ready" is proved wrong by the
//   next attempt, the device is waited on by plain sleeps instead.
// - Overlapped transfers: Windows hands the transfer to the driver and
//   signals its completion. Here a transfer that would block is kept (a copy
//   of the bytes to write, the address of the read buffer) and attempted
//   again while it is waited for; it completes with the attempt that moves
//   bytes. Cancelling forgets it: nothing of it was given to the driver.
// - Status: both drivers answer LPGETSTATUS with the lines of the printer
//   port (the USB driver asks the printer with its class request), mapped
//   here onto the answers the channel's rules test: the count of bytes of the
//   USB vendor request, the parallel status byte, the error word.
#include <fcntl.h>
#include <linux/lp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "platform/printer_device.h"
#include "platform/sys_retry.h"

namespace velloquin {
namespace {

constexpr int64_t kRetryStepMs = 10;

bool WouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

// The printer has no paper, is not selected or reports an error.
bool LinesSayNotReady(int lines) {
  return (lines & LP_POUTPA) || !(lines & LP_PSELECD) || !(lines & LP_PERRORP);
}

// Errors with which the drivers say the device has been unplugged.
bool DeviceGone(int error) {
  return error == ENODEV || error == ENXIO || error == ESHUTDOWN || error == EBADF;
}

class LinuxPrinterDevice final : public PrinterDevice {
 public:
  LinuxPrinterDevice(int fd, Clock& clock) : fd_(fd), clock_(clock) {}
  ~LinuxPrinterDevice() override { Close(); }

  int Handle() const override { return fd_; }

  int SetTimeouts(const CommTimeoutValues& timeouts) override {
    if (fd_ < 0) return EBADF;
    timeouts_ = timeouts;
    return 0;
  }

  IoResult Write(const uint8_t* data, uint32_t length) override {
    if (fd_ < 0) return {false, 0, EBADF};
    const int64_t deadline = Deadline(timeouts_.write_total_constant,
                                      timeouts_.write_total_multiplier, length);
    uint32_t done = 0;
    while (done < length) {
      IoResult step = WriteOnce(data + done, length - done);
      if (!step.ok && !WouldBlock(step.error)) return {false, done, step.error};
      done += step.count;
      if (step.count > 0) continue;
      if (clock_.NowMs() >= deadline) break;
      PauseBeforeRetry(POLLOUT, deadline);
    }
    return {true, done, 0};
  }

  IoResult Read(uint8_t* buffer, uint32_t size) override {
    if (fd_ < 0) return {false, 0, EBADF};
    const CommTimeoutValues& t = timeouts_;
    const bool at_once =
        t.read_interval == UINT32_MAX && t.read_total_constant == 0 && t.read_total_multiplier == 0;
    int64_t deadline = at_once ? clock_.NowMs()
                               : Deadline(t.read_total_constant, t.read_total_multiplier, size);
    uint32_t got = 0;
    while (got < size) {
      IoResult step = ReadOnce(buffer + got, size - got);
      if (!step.ok && !WouldBlock(step.error)) return {false, got, step.error};
      if (step.ok && step.count == 0) break;  // end of data
      if (step.count > 0) {
        got += step.count;
        // Once bytes have come, a gap of the interval time-out ends the read.
        if (t.read_interval != 0 && t.read_interval != UINT32_MAX) {
          deadline = std::min<int64_t>(deadline, clock_.NowMs() + t.read_interval);
        }
        continue;
      }
      if (clock_.NowMs() >= deadline) break;
      PauseBeforeRetry(POLLIN, deadline);
    }
    return {true, got, 0};
  }

  TransferStart StartWrite(const uint8_t* data, uint32_t length) override {
    if (fd_ < 0) return {TransferStart::kFailed, 0, EBADF};
    if (write_.pending) return {TransferStart::kFailed, 0, EBUSY};
    IoResult attempt = WriteOnce(data, length);
    if (attempt.ok && attempt.count > 0) return {TransferStart::kDone, attempt.count, 0};
    if (!attempt.ok && !WouldBlock(attempt.error)) return {TransferStart::kFailed, 0, attempt.error};
    write_ = Pending{};
    write_.pending = true;
    write_.bytes.assign(data, data + length);
    return {TransferStart::kPending, 0, 0};
  }

  TransferStart StartRead(uint8_t* buffer, uint32_t size) override {
    if (fd_ < 0) return {TransferStart::kFailed, 0, EBADF};
    if (read_.pending) return {TransferStart::kFailed, 0, EBUSY};
    IoResult attempt = ReadOnce(buffer, size);
    if (attempt.ok) return {TransferStart::kDone, attempt.count, 0};
    if (!WouldBlock(attempt.error)) return {TransferStart::kFailed, 0, attempt.error};
    read_ = Pending{};
    read_.pending = true;
    read_.buffer = buffer;
    read_.size = size;
    return {TransferStart::kPending, 0, 0};
  }

  int Wait(Direction direction, int timeout_ms) override {
    Pending& p = direction == Direction::kWrite ? write_ : read_;
    if (fd_ < 0) return EBADF;
    if (!p.pending) return p.completed ? 0 : EINVAL;
    const int64_t deadline = clock_.NowMs() + std::max(timeout_ms, 0);
    const short events = direction == Direction::kWrite ? POLLOUT : POLLIN;
    for (;;) {
      IoResult attempt = direction == Direction::kWrite
                             ? WriteOnce(p.bytes.data(), static_cast<uint32_t>(p.bytes.size()))
                             : ReadOnce(p.buffer, p.size);
      bool moved = attempt.ok && (attempt.count > 0 || direction == Direction::kRead);
      if (moved || (!attempt.ok && !WouldBlock(attempt.error))) {
        p.pending = false;
        p.completed = true;
        p.result = attempt;
        return 0;
      }
      if (clock_.NowMs() >= deadline) return ETIMEDOUT;
      PauseBeforeRetry(events, deadline);
    }
  }

  IoResult Result(Direction direction) override {
    Pending& p = direction == Direction::kWrite ? write_ : read_;
    if (!p.completed) return {false, 0, p.pending ? EINPROGRESS : EINVAL};
    IoResult result = p.result;
    p = Pending{};
    return result;
  }

  void Cancel() override {
    write_ = Pending{};
    read_ = Pending{};
  }

  uint32_t UsbStatusRequest() override {
    int lines = 0;
    int error = ReadLines(&lines);
    if (error != 0) return DeviceGone(error) ? 0 : 1;
    return LinesSayNotReady(lines) ? 1 : 2;
  }

  int QueryParallelStatus(uint8_t* status) override {
    int lines = 0;
    int error = ReadLines(&lines);
    if (error == 0) *status = ParallelStatusFromLines(lines);
    return error;
  }

  int GetStatus(CommStatus* status) override {
    int lines = 0;
    int error = ReadLines(&lines);
    if (error != 0) return error;
    *status = CommStatus{};
    if (!(lines & LP_PSELECD)) status->errors |= kCommErrorDeviceNotSelected;
    if (lines & LP_POUTPA) status->errors |= kCommErrorOutOfPaper;
    return 0;  // the drivers keep no output queue the station could count
  }

  int Close() override {
    if (fd_ < 0) return EBADF;
    Cancel();
    int result = ::close(fd_) == 0 ? 0 : errno;
    fd_ = -1;  // released even when close() reports an error
    return result;
  }

 private:
  struct Pending {
    bool pending = false;
    bool completed = false;
    std::vector<uint8_t> bytes;  // a write's own copy
    uint8_t* buffer = nullptr;   // a read's destination
    uint32_t size = 0;
    IoResult result;
  };

  int64_t Deadline(uint32_t constant, uint32_t multiplier, uint32_t count) const {
    return clock_.NowMs() + static_cast<int64_t>(constant) +
           static_cast<int64_t>(multiplier) * static_cast<int64_t>(count);
  }

  IoResult WriteOnce(const uint8_t* data, uint32_t length) {
    ssize_t n = RetryOnInterrupt([&] { return ::write(fd_, data, length); });
    if (n < 0) return {false, 0, errno};
    return {true, static_cast<uint32_t>(n), 0};
  }

  IoResult ReadOnce(uint8_t* buffer, uint32_t size) {
    ssize_t n = RetryOnInterrupt([&] { return ::read(fd_, buffer, size); });
    if (n < 0) return {false, 0, errno};
    return {true, static_cast<uint32_t>(n), 0};
  }

  int ReadLines(int* lines) {
    if (fd_ < 0) return EBADF;
    return RetryOnInterrupt([&] { return ::ioctl(fd_, LPGETSTATUS, lines); }) == 0 ? 0 : errno;
  }

  // Waits for the next attempt: one step of poll, or of sleep once the
  // device's poll has shown that it does not tell (see the top of the file).
  void PauseBeforeRetry(short events, int64_t deadline) {
    int64_t step = std::min(kRetryStepMs, deadline - clock_.NowMs());
    if (step <= 0) return;
    if (poll_says_ready_) poll_trusted_ = false;  // the last "ready" was wrong
    poll_says_ready_ = false;
    if (!poll_trusted_) {
      clock_.SleepMs(step);
      return;
    }
    pollfd entry{fd_, events, 0};
    if (RetryOnInterrupt([&] { return ::poll(&entry, 1, static_cast<int>(step)); }) > 0) {
      poll_says_ready_ = true;
    }
  }

  int fd_;
  Clock& clock_;
  CommTimeoutValues timeouts_{500, 40, 300, 30, 300};
  Pending write_;
  Pending read_;
  bool poll_trusted_ = true;
  bool poll_says_ready_ = false;
};

class LinuxPrinterOpener final : public PrinterOpener {
 public:
  explicit LinuxPrinterOpener(Clock& clock) : clock_(clock) {}

  std::unique_ptr<PrinterDevice> Open(const std::string& name, PrinterKind /*kind*/,
                                      int* error) override {
    int fd = RetryOnInterrupt(
        [&] { return ::open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); });
    if (fd < 0) {
      *error = errno;
      return nullptr;
    }
    auto device = std::make_unique<LinuxPrinterDevice>(fd, clock_);
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
      *error = errno;
      return nullptr;
    }
    if (!S_ISCHR(info.st_mode)) {
      *error = ENODEV;  // only devices are opened, never a file of that name
      return nullptr;
    }
    // Exclusive among the openers that ask: a second row on the same device
    // is refused instead of interleaving its bytes with the first.
    if (RetryOnInterrupt([&] { return ::flock(fd, LOCK_EX | LOCK_NB); }) != 0) {
      *error = WouldBlock(errno) ? EBUSY : errno;
      return nullptr;
    }
    *error = 0;
    return device;
  }

 private:
  Clock& clock_;
};

}  // namespace

uint8_t ParallelStatusFromLines(int lines) {
  const int inputs = lines & (LP_PBUSY | LP_PACK | LP_POUTPA | LP_PSELECD | LP_PERRORP);
  // Every input floating high (the busy bit reads inverted): no cable or no
  // printer at the other end.
  if (inputs == (LP_PACK | LP_POUTPA | LP_PSELECD | LP_PERRORP)) return kParallelNotConnected;
  // Acknowledge, paper-out, select and the error line all pulled low: a
  // printer that is attached but switched off.
  if ((inputs & (LP_PACK | LP_POUTPA | LP_PSELECD | LP_PERRORP)) == 0) return kParallelPowerOff;
  uint8_t status = 0;
  if (!(inputs & LP_PBUSY)) status |= kParallelBusy;
  if (inputs & LP_PSELECD) status |= kParallelSelected;
  if (inputs & LP_POUTPA) status |= kParallelPaperEmpty;
  // Deselected, or the printer signals an error: either way it takes nothing.
  if (!(inputs & LP_PSELECD) || !(inputs & LP_PERRORP)) status |= kParallelOffLine;
  return status;
}

std::unique_ptr<PrinterOpener> MakeSystemPrinterOpener(Clock& clock) {
  return std::make_unique<LinuxPrinterOpener>(clock);
}

}  // namespace velloquin
