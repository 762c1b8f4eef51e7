// The station's side of a simulated port: a SerialDevice whose reads and
// writes take the wire time of their bytes in the clock's time. Writes go
// into a 4096-byte transmit queue that drains at wire speed, as on a Linux
// tty: a write returns at once while there is room and otherwise waits for
// room until its time-out. Reads wait until the next byte arrives or their
// time-out passes, with the meaning of COMMTIMEOUTS (an interval of
// 0xFFFFFFFF returns at once with no totals, and at the first byte with
// them). With no time-out at all a read waits as long as a tty would: for
// ever, looking again every second of the clock. Closing waits (up to
// 30 s, a tty's closing wait) until the queue has drained, then drops DTR and
// RTS.
#pragma once

#include <memory>

#include "platform/serial_device.h"
#include "sim/sim_bench.h"

namespace velloquin::sim {

class SimSerialDevice final : public SerialDevice {
 public:
  SimSerialDevice(std::shared_ptr<SimBench> bench, int handle);
  ~SimSerialDevice() override;

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
  // Sleeps until `t_ns` with the lock released; false if the port was closed
  // meanwhile by another thread.
  bool SleepUntil(std::unique_lock<std::mutex>& lock, int64_t t_ns);

  std::shared_ptr<SimBench> bench_;
  int handle_;
};

}  // namespace velloquin::sim
