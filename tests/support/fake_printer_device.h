// A scriptable, recording printer device (USB or parallel) for channel
// tests, in virtual time.
//
// A FakePrinter is the device a test controls: the answers of the status
// requests (in sequence), how each overlapped write completes (at once,
// after a delay, never), the chunks an overlapped read receives and when,
// and what the plain transfers of a parallel port take. It records every
// transfer, every wait with the time-out asked for, and every cancel. A wait
// that sees nothing complete advances the clock by its whole time-out, one
// that completes advances it to the completion, so timing stays exact.
// Meant for one thread.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/printer_device.h"
#include "support/fake_serial_device.h"  // Bytes, WriteRecord

namespace velloquin::testing_support {

class FakePrinter {
 public:
  explicit FakePrinter(Clock* clock) : clock_(clock) {}

  // ---- Script. ----
  int open_error = 0;      // Open fails with this errno
  int timeouts_error = 0;  // SetTimeouts fails with this errno
  int close_error = 0;     // every Close fails with this errno
  // Successive byte counts of the USB status request (the last one repeats).
  std::deque<uint32_t> status_counts{2};
  // Successive parallel status bytes (the last one repeats); -1 is a
  // request that fails.
  std::deque<int> parallel_status{0x80};
  int comm_status_error = 0;  // GetStatus fails with this errno
  CommStatus comm_status;     // what GetStatus reports (error word, queue)

  // Overlapped writes: fail to start with this errno, or complete at once
  // (write_delay_ms < 0), or after write_delay_ms (past the wait: never).
  int write_start_error = 0;
  int64_t write_delay_ms = -1;
  int write_result_error = 0;  // a completed write reports this failure
  uint32_t max_write = UINT32_MAX;  // a write takes at most this many bytes (plain ones too)
  int plain_write_error = 0;        // plain writes fail with this errno

  // Overlapped reads: each chunk arrives delay_ms after its read starts (0:
  // at once); a chunk with an error completes its read with that failure. A
  // read finds no chunk: it never completes. A read of fewer bytes than the
  // chunk leaves the rest for the next read, at once.
  struct Chunk {
    int64_t delay_ms = 0;
    Bytes bytes;
    int error = 0;
  };
  std::deque<Chunk> read_chunks;
  int read_start_error = 0;
  // Bytes for plain reads; a plain read short of its size waits out its
  // total time-out, as a real port would.
  Bytes plain_input;

  // ---- Record. ----
  std::vector<WriteRecord> writes;  // what the device took, overlapped or plain
  std::vector<int> write_waits;     // time-outs of the overlapped waits, in ms
  std::vector<int> read_waits;
  std::vector<uint32_t> read_sizes;  // sizes of the overlapped reads started
  std::vector<CommTimeoutValues> timeouts;
  std::vector<std::string> opened_names;
  std::vector<PrinterKind> opened_kinds;
  int opens = 0;
  int closes = 0;
  int cancels = 0;
  int status_requests = 0;
  int parallel_queries = 0;
  int plain_reads = 0;
  bool is_open = false;

  Bytes AllWritten() const;
  Clock* GetClock() { return clock_; }

 private:
  friend class FakePrinterDevice;
  Clock* clock_;
};

class FakePrinterDevice final : public PrinterDevice {
 public:
  FakePrinterDevice(std::shared_ptr<FakePrinter> printer, int handle)
      : printer_(std::move(printer)), handle_(handle) {}
  ~FakePrinterDevice() override;
  int Handle() const override { return handle_; }
  int SetTimeouts(const CommTimeoutValues& timeouts) override;
  IoResult Write(const uint8_t* data, uint32_t length) override;
  IoResult Read(uint8_t* buffer, uint32_t size) override;
  TransferStart StartWrite(const uint8_t* data, uint32_t length) override;
  TransferStart StartRead(uint8_t* buffer, uint32_t size) override;
  int Wait(Direction direction, int timeout_ms) override;
  IoResult Result(Direction direction) override;
  void Cancel() override;
  uint32_t UsbStatusRequest() override;
  int QueryParallelStatus(uint8_t* status) override;
  int GetStatus(CommStatus* status) override;
  int Close() override;

 private:
  IoResult TakeWrite(const uint8_t* data, uint32_t length);
  IoResult TakeChunk(uint8_t* buffer, uint32_t size);

  std::shared_ptr<FakePrinter> printer_;
  int handle_;
  bool closed_ = false;
  CommTimeoutValues timeouts_{500, 40, 300, 30, 300};
  // The pending transfers.
  bool write_pending_ = false;
  Bytes write_bytes_;
  bool read_pending_ = false;
  uint8_t* read_buffer_ = nullptr;
  uint32_t read_size_ = 0;
  IoResult write_result_, read_result_;
  bool write_done_ = false, read_done_ = false;
};

// Opens FakePrinters by name; others fail with ENOENT. An open printer
// refuses a second open with EBUSY.
class FakePrinterOpener final : public PrinterOpener {
 public:
  void Add(const std::string& name, std::shared_ptr<FakePrinter> printer) {
    printers_[name] = std::move(printer);
  }
  std::unique_ptr<PrinterDevice> Open(const std::string& name, PrinterKind kind,
                                      int* error) override;
  std::vector<std::string> opened_names;

 private:
  std::map<std::string, std::shared_ptr<FakePrinter>> printers_;
  int next_handle_ = 300;
};

}  // namespace velloquin::testing_support
