// The printer device seam: what the USB and parallel kinds of a channel need
// from the operating system. The operations carry the meaning of the Windows
// device calls they stand in for (plain and overlapped ReadFile/WriteFile,
// the vendor USB status request, the parallel port status query,
// ClearCommError), so the readiness and line-state rules above can be written
// once and checked case by case; failures come back as the operating
// system's error number.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/clock.h"
#include "platform/comm_config.h"
#include "platform/serial_device.h"  // IoResult, CommStatus

namespace velloquin {

// How a printer device is driven: a USB printer with overlapped transfers
// (started, waited for, cancelled), a parallel port with plain ones.
enum class PrinterKind { kUsb, kParallel };

// Bits of the parallel port status byte.
inline constexpr uint8_t kParallelPaperEmpty = 0x04;
inline constexpr uint8_t kParallelOffLine = 0x08;
inline constexpr uint8_t kParallelPowerOff = 0x10;
inline constexpr uint8_t kParallelNotConnected = 0x20;
inline constexpr uint8_t kParallelBusy = 0x40;
inline constexpr uint8_t kParallelSelected = 0x80;

// Bits of CommStatus::errors that a printer port reports.
inline constexpr uint32_t kCommErrorDeviceNotSelected = 0x0800;  // CE_DNS
inline constexpr uint32_t kCommErrorOutOfPaper = 0x1000;         // CE_OOP

// How an overlapped transfer started.
struct TransferStart {
  enum State { kDone, kPending, kFailed };
  State state = kFailed;
  uint32_t count = 0;  // kDone: bytes transferred at once
  int error = 0;       // kFailed: the error number
};

enum class Direction { kWrite, kRead };

// One open printer device. Destroying it closes it (errors ignored).
class PrinterDevice {
 public:
  virtual ~PrinterDevice() = default;

  // A number that identifies the open device (the fd on Linux).
  virtual int Handle() const = 0;
  // Read and write time-outs of the plain transfers (SetCommTimeouts).
  // Returns 0 or the error number.
  virtual int SetTimeouts(const CommTimeoutValues& timeouts) = 0;

  // Plain transfers, each bounded by the time-outs; as SerialDevice: a
  // transfer that times out is ok with the count moved before it did.
  virtual IoResult Write(const uint8_t* data, uint32_t length) = 0;
  virtual IoResult Read(uint8_t* buffer, uint32_t size) = 0;

  // Overlapped transfers: at most one pending per direction. A pending read
  // fills `buffer` when it completes, so the buffer must stay valid until
  // the read's Result or a Cancel; a pending write keeps its own copy.
  virtual TransferStart StartWrite(const uint8_t* data, uint32_t length) = 0;
  virtual TransferStart StartRead(uint8_t* buffer, uint32_t size) = 0;
  // Waits for the pending transfer of one direction: 0 when it completed,
  // ETIMEDOUT when the time ran out first, else the error number.
  virtual int Wait(Direction direction, int timeout_ms) = 0;
  // The outcome of a completed transfer, without waiting.
  virtual IoResult Result(Direction direction) = 0;
  // Cancels every pending transfer of the device.
  virtual void Cancel() = 0;

  // The vendor status request of a USB printer: the number of bytes it
  // returns, 2 when the printer is ready, 1 when it is not, 0 when the
  // device has gone.
  virtual uint32_t UsbStatusRequest() = 0;
  // The parallel port status byte (kParallel* bits); returns 0 or the error
  // number.
  virtual int QueryParallelStatus(uint8_t* status) = 0;
  // The port's error word (kCommError* bits) and its output queue, as
  // ClearCommError reports them; returns 0 or the error number.
  virtual int GetStatus(CommStatus* status) = 0;

  // Closes the device; returns 0 or the error number. After a successful
  // close every other call fails with EBADF.
  virtual int Close() = 0;
};

// Opens printer devices by the name the channel hands over, for reading and
// writing, exclusively: a device held elsewhere is refused with EBUSY.
class PrinterOpener {
 public:
  virtual ~PrinterOpener() = default;
  // On failure returns null and stores the error number in *error.
  virtual std::unique_ptr<PrinterDevice> Open(const std::string& name, PrinterKind kind,
                                              int* error) = 0;
};

// The status byte of a parallel printer from the lines of its port, as the
// Linux printer driver reports them (LPGETSTATUS: LP_PBUSY 0x80 set when the
// printer is NOT busy, LP_PACK 0x40, LP_POUTPA 0x20, LP_PSELECD 0x10,
// LP_PERRORP 0x08 set when there is NO error).
uint8_t ParallelStatusFromLines(int lines);

// The Linux printer-class devices (/dev/usb/lpN, /dev/lpN). `clock` must
// tell real time (SystemClock): it gives every transfer its deadline.
std::unique_ptr<PrinterOpener> MakeSystemPrinterOpener(Clock& clock);

}  // namespace velloquin
