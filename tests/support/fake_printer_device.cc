#include "support/fake_printer_device.h"

#include <algorithm>
#include <cerrno>

namespace velloquin::testing_support {
namespace {

// The front of a script sequence; the last value repeats.
template <typename T>
T Next(std::deque<T>& sequence) {
  T value = sequence.front();
  if (sequence.size() > 1) sequence.pop_front();
  return value;
}

}  // namespace

Bytes FakePrinter::AllWritten() const {
  Bytes all;
  for (const auto& w : writes) all.insert(all.end(), w.bytes.begin(), w.bytes.end());
  return all;
}

FakePrinterDevice::~FakePrinterDevice() {
  if (!closed_) printer_->is_open = false;
}

int FakePrinterDevice::SetTimeouts(const CommTimeoutValues& timeouts) {
  if (closed_) return EBADF;
  if (printer_->timeouts_error) return printer_->timeouts_error;
  timeouts_ = timeouts;
  printer_->timeouts.push_back(timeouts);
  return 0;
}

IoResult FakePrinterDevice::TakeWrite(const uint8_t* data, uint32_t length) {
  uint32_t n = std::min(length, printer_->max_write);
  printer_->writes.push_back({printer_->clock_->NowMs(), Bytes(data, data + n)});
  return {true, n, 0};
}

IoResult FakePrinterDevice::TakeChunk(uint8_t* buffer, uint32_t size) {
  FakePrinter::Chunk& chunk = printer_->read_chunks.front();
  if (chunk.error) {
    int error = chunk.error;
    printer_->read_chunks.pop_front();
    return {false, 0, error};
  }
  uint32_t n = std::min<uint32_t>(size, static_cast<uint32_t>(chunk.bytes.size()));
  std::copy_n(chunk.bytes.begin(), n, buffer);
  chunk.bytes.erase(chunk.bytes.begin(), chunk.bytes.begin() + n);
  chunk.delay_ms = 0;
  if (chunk.bytes.empty()) printer_->read_chunks.pop_front();
  return {true, n, 0};
}

IoResult FakePrinterDevice::Write(const uint8_t* data, uint32_t length) {
  if (closed_) return {false, 0, EBADF};
  if (printer_->plain_write_error) return {false, 0, printer_->plain_write_error};
  return TakeWrite(data, length);
}

IoResult FakePrinterDevice::Read(uint8_t* buffer, uint32_t size) {
  if (closed_) return {false, 0, EBADF};
  ++printer_->plain_reads;
  Bytes& input = printer_->plain_input;
  uint32_t n = std::min<uint32_t>(size, static_cast<uint32_t>(input.size()));
  std::copy_n(input.begin(), n, buffer);
  input.erase(input.begin(), input.begin() + n);
  if (n < size) {
    printer_->clock_->SleepMs(static_cast<int64_t>(timeouts_.read_total_constant) +
                              static_cast<int64_t>(timeouts_.read_total_multiplier) * size);
  }
  return {true, n, 0};
}

TransferStart FakePrinterDevice::StartWrite(const uint8_t* data, uint32_t length) {
  if (closed_) return {TransferStart::kFailed, 0, EBADF};
  if (write_pending_) return {TransferStart::kFailed, 0, EBUSY};
  if (printer_->write_start_error) return {TransferStart::kFailed, 0, printer_->write_start_error};
  if (printer_->write_delay_ms < 0) {
    IoResult r = TakeWrite(data, length);
    return {TransferStart::kDone, r.count, 0};
  }
  write_pending_ = true;
  write_done_ = false;
  write_bytes_.assign(data, data + length);
  return {TransferStart::kPending, 0, 0};
}

TransferStart FakePrinterDevice::StartRead(uint8_t* buffer, uint32_t size) {
  if (closed_) return {TransferStart::kFailed, 0, EBADF};
  if (read_pending_) return {TransferStart::kFailed, 0, EBUSY};
  printer_->read_sizes.push_back(size);
  if (printer_->read_start_error) return {TransferStart::kFailed, 0, printer_->read_start_error};
  auto& chunks = printer_->read_chunks;
  if (!chunks.empty() && chunks.front().delay_ms == 0 && chunks.front().error == 0) {
    IoResult r = TakeChunk(buffer, size);
    return {TransferStart::kDone, r.count, 0};
  }
  read_pending_ = true;
  read_done_ = false;
  read_buffer_ = buffer;
  read_size_ = size;
  return {TransferStart::kPending, 0, 0};
}

int FakePrinterDevice::Wait(Direction direction, int timeout_ms) {
  if (closed_) return EBADF;
  Clock* clock = printer_->clock_;
  if (direction == Direction::kWrite) {
    printer_->write_waits.push_back(timeout_ms);
    if (!write_pending_) return EINVAL;
    if (printer_->write_delay_ms > timeout_ms) {
      clock->SleepMs(timeout_ms);
      return ETIMEDOUT;
    }
    clock->SleepMs(printer_->write_delay_ms);
    write_pending_ = false;
    write_done_ = true;
    write_result_ = printer_->write_result_error
                        ? IoResult{false, 0, printer_->write_result_error}
                        : TakeWrite(write_bytes_.data(), static_cast<uint32_t>(write_bytes_.size()));
    return 0;
  }
  printer_->read_waits.push_back(timeout_ms);
  if (!read_pending_) return EINVAL;
  auto& chunks = printer_->read_chunks;
  if (chunks.empty() || chunks.front().delay_ms > timeout_ms) {
    clock->SleepMs(timeout_ms);
    if (!chunks.empty()) chunks.front().delay_ms -= timeout_ms;
    return ETIMEDOUT;
  }
  clock->SleepMs(chunks.front().delay_ms);
  read_pending_ = false;
  read_done_ = true;
  read_result_ = TakeChunk(read_buffer_, read_size_);
  return 0;
}

IoResult FakePrinterDevice::Result(Direction direction) {
  bool& done = direction == Direction::kWrite ? write_done_ : read_done_;
  if (!done) return {false, 0, EINVAL};
  done = false;
  return direction == Direction::kWrite ? write_result_ : read_result_;
}

void FakePrinterDevice::Cancel() {
  ++printer_->cancels;
  write_pending_ = read_pending_ = false;
  read_buffer_ = nullptr;
}

uint32_t FakePrinterDevice::UsbStatusRequest() {
  if (closed_) return 0;
  ++printer_->status_requests;
  return Next(printer_->status_counts);
}

int FakePrinterDevice::QueryParallelStatus(uint8_t* status) {
  if (closed_) return EBADF;
  ++printer_->parallel_queries;
  int value = Next(printer_->parallel_status);
  if (value < 0) return EIO;
  *status = static_cast<uint8_t>(value);
  return 0;
}

int FakePrinterDevice::GetStatus(CommStatus* status) {
  if (closed_) return EBADF;
  if (printer_->comm_status_error) return printer_->comm_status_error;
  *status = printer_->comm_status;
  return 0;
}

int FakePrinterDevice::Close() {
  if (closed_) return EBADF;
  if (printer_->close_error) return printer_->close_error;
  closed_ = true;
  printer_->is_open = false;
  ++printer_->closes;
  return 0;
}

std::unique_ptr<PrinterDevice> FakePrinterOpener::Open(const std::string& name, PrinterKind kind,
                                                       int* error) {
  opened_names.push_back(name);
  auto it = printers_.find(name);
  if (it == printers_.end()) {
    *error = ENOENT;
    return nullptr;
  }
  FakePrinter& printer = *it->second;
  printer.opened_names.push_back(name);
  printer.opened_kinds.push_back(kind);
  if (printer.open_error || printer.is_open) {
    *error = printer.open_error ? printer.open_error : EBUSY;
    return nullptr;
  }
  printer.is_open = true;
  ++printer.opens;
  return std::make_unique<FakePrinterDevice>(it->second, next_handle_++);
}

}  // namespace velloquin::testing_support
