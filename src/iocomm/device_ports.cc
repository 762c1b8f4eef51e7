// The printer device kinds of the channel: a USB printer driven with
// overlapped transfers and questioned with its status request, and a
// parallel port driven with plain transfers, whose state comes from its
// status byte (NT family) or its error word (9x family).
#include <algorithm>
#include <cerrno>
#include <climits>

#include "iocomm/io_comm.h"

namespace velloquin {
namespace {

constexpr int kUsbWriteWaitMs = 5000;
constexpr uint32_t kUsbReadWaitBytes = 10;  // the read wait grows for at most this many bytes
// A read that completed short asks for its rest while the device keeps
// delivering; this bounds how often, so that a device that trickles cannot
// hold a row for ever (5000 bytes in 64-byte packets take 79 reads).
constexpr int kMaxFurtherUsbReads = 100;
constexpr int kBusyPolls = 10;
constexpr int kBusyPollPauseMs = 30;
constexpr uint8_t kParallelTroubleMask =
    kParallelPaperEmpty | kParallelOffLine | kParallelPowerOff | kParallelNotConnected;

bool Has(uint8_t status, uint8_t bits) { return (status & bits) != 0; }

bool SelectedAndBusy(uint8_t status) {
  return Has(status, kParallelSelected) && Has(status, kParallelBusy);
}

// Major version 5 of the NT family answers these for a printer that works.
bool Version5ReadyStatus(uint8_t status) { return status == 0x04 || status == 0x44; }

}  // namespace

bool IOComm::OpenPrinterDevice(const std::string& name, PrinterKind kind) {
  int error = ENODEV;
  if (env_.printers) printer_ = env_.printers->Open(DeviceNameFor(name), kind, &error);
  if (!printer_) {
    last_os_error_ = error;
    return false;
  }
  IOHandle = printer_->Handle();
  return true;
}

int IOComm::UsbIsReady() {
  if (!printer_) return 0;
  uint32_t count = printer_->UsbStatusRequest();
  if (count == 0) {
    Close();  // the device has gone
    return 0;
  }
  return count % 2 == 0 ? 1 : 0;
}

int IOComm::UsbWriteBlock(const uint8_t* data, uint32_t length, uint32_t* written) {
  *written = 0;
  if (!printer_) {
    last_os_error_ = EBADF;
    return 0;
  }
  TransferStart start = printer_->StartWrite(data, length);
  if (start.state == TransferStart::kDone) {
    *written = start.count;
    last_os_error_ = 0;
    return 1;
  }
  if (start.state == TransferStart::kFailed) {
    last_os_error_ = start.error;
    return 0;
  }
  int waited = printer_->Wait(Direction::kWrite, kUsbWriteWaitMs);
  if (waited != 0) {
    // Never left pending: the next write would find the device busy.
    printer_->Cancel();
    last_os_error_ = waited;
    return 0;
  }
  IoResult result = printer_->Result(Direction::kWrite);
  last_os_error_ = result.ok ? 0 : result.error;
  if (!result.ok) return 0;
  *written = result.count;
  return 1;
}

int IOComm::UsbReadOnce(uint8_t* buffer, uint32_t size, uint32_t* count, bool* was_pending) {
  *count = 0;
  *was_pending = false;
  if (!printer_) {
    last_os_error_ = EBADF;
    return 0;
  }
  TransferStart start = printer_->StartRead(buffer, size);
  if (start.state == TransferStart::kDone) {
    *count = start.count;
    return 1;
  }
  if (start.state == TransferStart::kFailed) {
    last_os_error_ = start.error;
    return 0;
  }
  *was_pending = true;
  uint64_t wait_ms =
      static_cast<uint64_t>(std::min(size, kUsbReadWaitBytes)) * CommTimeouts.read_total_multiplier +
      CommTimeouts.read_total_constant;
  int waited = printer_->Wait(Direction::kRead, static_cast<int>(std::min<uint64_t>(wait_ms, INT_MAX)));
  if (waited != 0) {
    // A read left pending would later fill a buffer its caller has let go.
    printer_->Cancel();
    last_os_error_ = waited;
    return 0;
  }
  IoResult result = printer_->Result(Direction::kRead);
  if (!result.ok) {
    last_os_error_ = result.error;
    return 0;
  }
  *count = std::min(result.count, size);
  return 1;
}

int IOComm::UsbReadBlock(uint8_t* buffer, uint32_t size, uint32_t* read) {
  *read = 0;
  uint32_t got = 0;
  bool was_pending = false;
  if (!UsbReadOnce(buffer, size, &got, &was_pending)) return 0;
  // A read that had to be waited for and came short asks for its rest,
  // straight behind the bytes already there, while the device delivers.
  for (int further = 0; was_pending && got < size && further < kMaxFurtherUsbReads; ++further) {
    uint32_t more = 0;
    if (!UsbReadOnce(buffer + got, size - got, &more, &was_pending) || more == 0) break;
    got += more;
  }
  *read = got;
  return 1;
}

int IOComm::QueryParallelStatus(uint8_t* status) {
  return printer_ ? printer_->QueryParallelStatus(status) : EBADF;
}

uint8_t IOComm::ParallelBusyWait(uint8_t status) {
  for (int poll = 0; poll < kBusyPolls && Has(status, kParallelBusy); ++poll) {
    env_.clock->SleepMs(kBusyPollPauseMs);
    uint8_t again = 0;
    if (QueryParallelStatus(&again) == 0) status = again;  // a failed reading keeps the last
  }
  return status;
}

int IOComm::ParallelIsReady() {
  if (!OsVersionInfo.nt_family) {
    CommStatus port;
    if (!printer_ || printer_->GetStatus(&port) != 0) return 1;
    return (port.errors & (kCommErrorDeviceNotSelected | kCommErrorOutOfPaper)) ? 0 : 1;
  }
  uint8_t status = 0;
  if (QueryParallelStatus(&status) != 0) return 1;
  if (OsVersionInfo.major == 5 && (status == 0x00 || Version5ReadyStatus(status))) return 1;
  if (Has(status, kParallelTroubleMask)) return 0;
  if (!Has(status, kParallelSelected)) return 0;
  if (!Has(status, kParallelBusy)) return 1;
  return Has(ParallelBusyWait(status), kParallelBusy) ? 0 : 1;
}

uint32_t IOComm::ParallelLineStatus() {
  if (!OsVersionInfo.nt_family) {
    CommStatus port;
    if (!printer_ || printer_->GetStatus(&port) != 0) return 0;
    uint32_t lines = LineConnected;
    if (port.errors & kCommErrorDeviceNotSelected) {
      lines &= ~LineConnected;
    } else {
      lines |= LineSelected;
    }
    if (port.errors & kCommErrorOutOfPaper) lines = (lines & ~LineConnected) | LinePaperEmpty;
    return lines;
  }
  uint8_t status = 0;
  if (QueryParallelStatus(&status) != 0) return 0;
  if (OsVersionInfo.major == 5 && Version5ReadyStatus(status)) return LineConnected;
  uint32_t lines = Has(status, kParallelTroubleMask) ? 0 : LineConnected;
  if (SelectedAndBusy(status)) {
    status = ParallelBusyWait(status);
    if (Has(status, kParallelBusy)) lines &= ~LineConnected;
  }
  if (Has(status, kParallelSelected)) lines |= LineSelected;
  if (Has(status, kParallelBusy)) lines |= LineBusy;
  if (Has(status, kParallelPaperEmpty)) lines |= LinePaperEmpty;
  if (Has(status, kParallelOffLine)) lines |= LineOffLine;
  if (Has(status, kParallelPowerOff)) lines |= LinePowerOff;
  if (Has(status, kParallelNotConnected)) lines |= LineNotConnected;
  return lines;
}

int IOComm::ParallelInputPending() {
  if (OsVersionInfo.nt_family) return -1;
  CommStatus port;
  return PendingFromStatus(printer_ ? printer_->GetStatus(&port) : EBADF, port);
}

}  // namespace velloquin
