// A scriptable, recording serial device for channel and protocol tests.
//
// A FakePort is the "other end" a test controls: it records every Write with
// its exact bytes and boundary, the DTR/RTS changes, the configurations and
// time-outs applied, and serves input that the test queues up front or that a
// responder produces in reply to what was written. Failures can be injected
// per operation. A read with nothing to deliver advances the clock by its
// total time-out, as a real port would block, so timing stays exact in
// virtual time.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/serial_device.h"

namespace velloquin::testing_support {

using Bytes = std::vector<uint8_t>;

struct WriteRecord {
  int64_t time_ms = 0;
  Bytes bytes;  // what the device took (after a short write: only those)
};

struct LineEvent {
  int64_t time_ms = 0;
  LineFunction function;
};

class FakePort {
 public:
  explicit FakePort(Clock* clock) : clock_(clock) {}

  // ---- Script: what the station will see. ----
  // Bytes that can be read from now on.
  void QueueInput(const Bytes& bytes);
  // Called after every successful write with the bytes written; it may queue
  // input (a reply). Runs under the port's lock: use the `reply` argument.
  using Responder = std::function<void(const Bytes& written, Bytes* reply)>;
  void SetResponder(Responder responder);

  int open_error = 0;           // Open fails with this errno
  int config_error = 0;         // SetConfig fails with this errno
  int timeouts_error = 0;       // SetTimeouts fails with this errno
  int write_error = 0;          // every Write fails with this errno ...
  int write_failures_left = 0;  // ... or only the next N writes (when write_error is 0: EIO)
  int read_error = 0;           // every Read fails with this errno
  int read_failures_left = 0;   // or only the next N reads (EIO)
  uint32_t max_write = UINT32_MAX;  // a write takes at most this many bytes
  int modem_error = 0;          // GetModemStatus fails with this errno
  uint32_t modem_status = 0;    // kModemCtsOn / kModemDsrOn
  int status_error = 0;         // GetStatus fails with this errno
  CommStatus status;            // what GetStatus reports
  // Successive out_queue values GetStatus reports (the last one repeats).
  std::deque<uint32_t> out_queue_sequence;
  int close_failures_left = 0;  // the next N closes fail with EIO
  // When set, a failed close releases the device all the same (as Linux
  // does), and the next close fails with this errno (EBADF).
  int close_retry_error = 0;
  int escape_error = 0;         // EscapeFunction fails with this errno
  CommConfigRecord config;      // what GetConfig reports until SetConfig

  // ---- Record: what the station did. ----
  std::vector<WriteRecord> writes;
  std::vector<LineEvent> line_events;
  std::vector<CommConfigRecord> configs;     // every SetConfig that succeeded
  std::vector<CommTimeoutValues> timeouts;   // every SetTimeouts that succeeded
  std::vector<std::string> opened_names;     // every Open, in order
  int opens = 0;
  int closes = 0;
  int reads = 0;
  int get_status_calls = 0;
  bool is_open = false;
  bool dtr = false;
  bool rts = false;

  // All bytes written, joined.
  Bytes AllWritten() const;
  // The write boundaries: the size of each write in order.
  std::vector<size_t> WriteSizes() const;
  void ClearRecords();

  std::mutex& Mutex() { return mutex_; }
  Clock* GetClock() { return clock_; }

 private:
  friend class FakeSerialDevice;
  Clock* clock_;
  std::mutex mutex_;
  std::deque<uint8_t> input_;
  Responder responder_;
};

class FakeSerialDevice final : public SerialDevice {
 public:
  FakeSerialDevice(std::shared_ptr<FakePort> port, int handle);
  ~FakeSerialDevice() override;
  int Handle() const override { return handle_; }
  int GetConfig(CommConfigRecord* config) override;
  int SetConfig(const CommConfigRecord& config) override;
  int SetTimeouts(const CommTimeoutValues& timeouts) override;
  IoResult Write(const uint8_t* data, uint32_t length) override;
  IoResult Read(uint8_t* buffer, uint32_t size) override;
  int GetModemStatus(uint32_t* status) override;
  int EscapeFunction(LineFunction function) override;
  int GetStatus(CommStatus* status) override;
  int Close() override;

 private:
  std::shared_ptr<FakePort> port_;
  int handle_;
  bool closed_ = false;
  CommTimeoutValues timeouts_;
};

// Opens FakePorts by name. Names without a port of their own get the default
// port (when set); others fail with ENOENT. An open port refuses a second
// open with EBUSY, as a real exclusive open does.
class FakeSerialOpener final : public SerialOpener {
 public:
  explicit FakeSerialOpener(std::shared_ptr<FakePort> default_port = nullptr)
      : default_port_(std::move(default_port)) {}
  void Add(const std::string& name, std::shared_ptr<FakePort> port) { ports_[name] = port; }
  std::unique_ptr<SerialDevice> Open(const std::string& name, int* error) override;
  std::vector<std::string> opened_names;

 private:
  std::shared_ptr<FakePort> default_port_;
  std::map<std::string, std::shared_ptr<FakePort>> ports_;
  int next_handle_ = 100;
};

}  // namespace velloquin::testing_support
