// The simulated bench behind one port: the programming adapter with its
// control lines and button, the line in both directions, and the printers
// that are plugged in one after another. Nothing here runs on a thread of
// its own: every call first brings the simulation up to the clock's time,
// computing what happened in between from the recorded inputs.
//
// All members except the constructor expect the caller to hold mutex().
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/clock.h"
#include "platform/serial_device.h"
#include "sim/printer_model.h"
#include "sim/sim_events.h"
#include "sim/wire_queue.h"

namespace velloquin::sim {

// Line error bits, as ClearCommError reports them.
inline constexpr uint32_t kCeRxOver = 0x1;
inline constexpr uint32_t kCeFrame = 0x8;

inline constexpr size_t kTxQueueSize = 4096;  // the station's transmit queue
inline constexpr size_t kRxBufferSize = 4096;  // the station's receive buffer

class SimBench final : public PrinterPort {
 public:
  // `mains`: the main program each printer arrives with (none when empty).
  SimBench(SimOptions options, Clock* clock, std::shared_ptr<const UnlockKeyTable> key,
           std::vector<std::optional<ByteVector>> mains);

  std::mutex& mutex() { return mutex_; }
  Clock* clock() { return clock_; }
  int64_t NowNs() { return clock_->NowMs() * kNsPerMs; }

  // Runs every event up to `t_ns`.
  void AdvanceTo(int64_t t_ns);
  // Runs events up to `limit_ns` until a byte is on its way to the station;
  // returns when that byte arrives, or kNever.
  int64_t RunUntilStationBound(int64_t limit_ns);
  // Runs events up to `limit_ns` until the transmit queue holds at most
  // `size` bytes; returns when it does, or kNever.
  int64_t RunUntilTxAtMost(size_t size, int64_t limit_ns);

  // The station's side of the port.
  bool IsOpen(int handle) const { return open_ && handle == handle_; }
  // Opens the port; 0 or EBUSY.
  int OpenPort(int* handle);
  void ClosePort();
  const CommConfigRecord& config() const { return config_; }
  void ApplyConfig(const CommConfigRecord& config);
  CommTimeoutValues timeouts;
  void SetControlLine(ControlLine line, bool on, LineCause cause);
  // Puts as much as fits into the transmit queue; returns the count.
  uint32_t QueueTx(const uint8_t* data, uint32_t length);
  size_t tx_size() const { return station_tx_.size(); }
  // Takes received bytes, oldest first.
  uint32_t TakeRx(uint8_t* buffer, uint32_t size);
  size_t rx_size() const { return rx_.size(); }
  int64_t last_rx_arrival_ns() const { return last_rx_arrival_ns_; }
  uint32_t ModemStatus();
  CommStatus TakeStatus();

  // Scripting and inspection.
  bool PlugInNext();
  void UnplugNow();
  void SetButtonHeld(bool held) { button_held_ = held; }
  int current_printer() const { return current_ ? current_->number() : 0; }
  const std::vector<std::unique_ptr<PrinterModel>>& printers() const { return printers_; }
  const BoundedHistory<SimEvent>& events() const { return events_; }
  const BoundedHistory<LineLevelChange>& line_levels() const { return line_levels_; }
  const BoundedHistory<LineSettingsChange>& line_settings() const { return line_settings_; }

  // PrinterPort
  void Send(const ByteVector& bytes, const LineFrame& frame, int64_t not_before_ns) override;
  void Log(int printer, SimEventKind kind, std::string detail, int64_t t_ns) override;
  void LeaveAt(int64_t t_ns) override;
  void PressButton(int64_t from_ns, int64_t until_ns) override;

 private:
  int64_t NextEventNs() const;
  void RunNextEvent();
  void PlugIn(int64_t t_ns);
  void Unplug(int64_t t_ns);
  void DeliverToPrinter(const WireQueue::Item& item, int64_t t_ns);
  void DeliverToStation(const WireQueue::Item& item, int64_t t_ns);
  bool ButtonDown(int64_t t_ns) const;

  std::mutex mutex_;
  SimOptions options_;
  Clock* clock_;
  std::shared_ptr<const UnlockKeyTable> key_;
  std::vector<std::optional<ByteVector>> mains_;
  int64_t processed_ns_;

  // The bench: printers_[i] is the (i+1)-th printer, kept after it leaves.
  std::vector<std::unique_ptr<PrinterModel>> printers_;
  PrinterModel* current_ = nullptr;
  int64_t next_arrival_ns_ = kNever;
  int64_t leave_ns_ = kNever;
  std::vector<std::pair<int64_t, int64_t>> presses_;
  bool button_held_ = false;

  // The line.
  WireQueue station_tx_;
  WireQueue printer_tx_;
  std::deque<uint8_t> rx_;
  int64_t last_rx_arrival_ns_ = 0;
  uint32_t errors_ = 0;

  // The station's port.
  bool open_ = false;
  int handle_ = 0;
  int opens_ = 0;
  CommConfigRecord config_;
  bool dtr_ = false;
  bool rts_ = false;

  BoundedHistory<SimEvent> events_;
  BoundedHistory<LineLevelChange> line_levels_;
  BoundedHistory<LineSettingsChange> line_settings_;
};

}  // namespace velloquin::sim
