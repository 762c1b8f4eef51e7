#include "support/fake_serial_device.h"

#include <algorithm>
#include <cerrno>

namespace velloquin::testing_support {

void FakePort::QueueInput(const Bytes& bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  input_.insert(input_.end(), bytes.begin(), bytes.end());
}

void FakePort::SetResponder(Responder responder) {
  std::lock_guard<std::mutex> lock(mutex_);
  responder_ = std::move(responder);
}

Bytes FakePort::AllWritten() const {
  Bytes all;
  for (const auto& w : writes) all.insert(all.end(), w.bytes.begin(), w.bytes.end());
  return all;
}

std::vector<size_t> FakePort::WriteSizes() const {
  std::vector<size_t> sizes;
  for (const auto& w : writes) sizes.push_back(w.bytes.size());
  return sizes;
}

void FakePort::ClearRecords() {
  writes.clear();
  line_events.clear();
  configs.clear();
  timeouts.clear();
  opened_names.clear();
}

FakeSerialDevice::FakeSerialDevice(std::shared_ptr<FakePort> port, int handle)
    : port_(std::move(port)), handle_(handle) {}

FakeSerialDevice::~FakeSerialDevice() {
  if (!closed_) {
    std::lock_guard<std::mutex> lock(port_->mutex_);
    port_->is_open = false;
  }
}

int FakeSerialDevice::GetConfig(CommConfigRecord* config) {
  if (closed_) return EBADF;
  std::lock_guard<std::mutex> lock(port_->mutex_);
  *config = port_->config;
  return 0;
}

int FakeSerialDevice::SetConfig(const CommConfigRecord& config) {
  if (closed_) return EBADF;
  std::lock_guard<std::mutex> lock(port_->mutex_);
  if (port_->config_error) return port_->config_error;
  port_->config = config;
  port_->configs.push_back(config);
  return 0;
}

int FakeSerialDevice::SetTimeouts(const CommTimeoutValues& timeouts) {
  if (closed_) return EBADF;
  std::lock_guard<std::mutex> lock(port_->mutex_);
  if (port_->timeouts_error) return port_->timeouts_error;
  timeouts_ = timeouts;
  port_->timeouts.push_back(timeouts);
  return 0;
}

IoResult FakeSerialDevice::Write(const uint8_t* data, uint32_t length) {
  if (closed_) return {false, 0, EBADF};
  std::lock_guard<std::mutex> lock(port_->mutex_);
  if (port_->write_error) return {false, 0, port_->write_error};
  if (port_->write_failures_left > 0) {
    --port_->write_failures_left;
    return {false, 0, EIO};
  }
  uint32_t n = std::min(length, port_->max_write);
  Bytes written(data, data + n);
  port_->writes.push_back({port_->clock_->NowMs(), written});
  if (port_->responder_) {
    Bytes reply;
    port_->responder_(written, &reply);
    port_->input_.insert(port_->input_.end(), reply.begin(), reply.end());
  }
  return {true, n, 0};
}

IoResult FakeSerialDevice::Read(uint8_t* buffer, uint32_t size) {
  if (closed_) return {false, 0, EBADF};
  int64_t wait_ms = 0;
  IoResult result;
  {
    std::lock_guard<std::mutex> lock(port_->mutex_);
    ++port_->reads;
    if (port_->read_error) return {false, 0, port_->read_error};
    if (port_->read_failures_left > 0) {
      --port_->read_failures_left;
      return {false, 0, EIO};
    }
    uint32_t n = std::min<uint32_t>(size, static_cast<uint32_t>(port_->input_.size()));
    std::copy_n(port_->input_.begin(), n, buffer);
    port_->input_.erase(port_->input_.begin(), port_->input_.begin() + n);
    result = {true, n, 0};
    if (n < size) {
      // Nothing more will come: a real port waits out its time-out. With some
      // bytes read the interval time-out ends the read, else the total one.
      if (n > 0 && timeouts_.read_interval != 0 && timeouts_.read_interval != UINT32_MAX) {
        wait_ms = timeouts_.read_interval;
      } else if (!(timeouts_.read_interval == UINT32_MAX &&
                   timeouts_.read_total_constant == 0 &&
                   timeouts_.read_total_multiplier == 0)) {
        wait_ms = static_cast<int64_t>(timeouts_.read_total_constant) +
                  static_cast<int64_t>(timeouts_.read_total_multiplier) * size;
      }
    }
  }
  port_->clock_->SleepMs(wait_ms);
  return result;
}

int FakeSerialDevice::GetModemStatus(uint32_t* status) {
  if (closed_) return EBADF;
  std::lock_guard<std::mutex> lock(port_->mutex_);
  if (port_->modem_error) return port_->modem_error;
  *status = port_->modem_status;
  return 0;
}

int FakeSerialDevice::EscapeFunction(LineFunction function) {
  if (closed_) return EBADF;
  std::lock_guard<std::mutex> lock(port_->mutex_);
  if (port_->escape_error) return port_->escape_error;
  port_->line_events.push_back({port_->clock_->NowMs(), function});
  switch (function) {
    case LineFunction::kSetDtr: port_->dtr = true; break;
    case LineFunction::kClearDtr: port_->dtr = false; break;
    case LineFunction::kSetRts: port_->rts = true; break;
    case LineFunction::kClearRts: port_->rts = false; break;
  }
  return 0;
}

int FakeSerialDevice::GetStatus(CommStatus* status) {
  if (closed_) return EBADF;
  std::lock_guard<std::mutex> lock(port_->mutex_);
  ++port_->get_status_calls;
  if (port_->status_error) return port_->status_error;
  *status = port_->status;
  if (!port_->out_queue_sequence.empty()) {
    status->out_queue = port_->out_queue_sequence.front();
    if (port_->out_queue_sequence.size() > 1) port_->out_queue_sequence.pop_front();
  }
  return 0;
}

int FakeSerialDevice::Close() {
  std::lock_guard<std::mutex> lock(port_->mutex_);
  if (closed_) return port_->close_retry_error ? port_->close_retry_error : EBADF;
  if (port_->close_failures_left > 0) {
    --port_->close_failures_left;
    if (port_->close_retry_error) {
      closed_ = true;
      port_->is_open = false;
      ++port_->closes;
    }
    return EIO;
  }
  closed_ = true;
  port_->is_open = false;
  ++port_->closes;
  return 0;
}

std::unique_ptr<SerialDevice> FakeSerialOpener::Open(const std::string& name, int* error) {
  opened_names.push_back(name);
  auto it = ports_.find(name);
  std::shared_ptr<FakePort> port = it != ports_.end() ? it->second : default_port_;
  if (!port) {
    *error = ENOENT;
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(port->Mutex());
  port->opened_names.push_back(name);
  if (port->open_error) {
    *error = port->open_error;
    return nullptr;
  }
  if (port->is_open) {
    *error = EBUSY;
    return nullptr;
  }
  port->is_open = true;
  ++port->opens;
  return std::make_unique<FakeSerialDevice>(port, next_handle_++);
}

}  // namespace velloquin::testing_support
